#!/usr/bin/env bash
# Builds the release package from the committed sources, through the windows preset without the tests:
# build/package/release/UsbResetOnResume-<version>-win32.zip and SHA256SUMS beside it. Installs what
# it lacks first (as root).
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in cmake git python3 i686-w64-mingw32-g++; do
    command -v "$tool" >/dev/null || { scripts/install-deps.sh release; break; }
done

# A zip from a tree with changes not committed would carry the commit's name, version and date with
# other bytes, and nobody could rebuild it.
if ! changes=$(git status --porcelain 2>&1); then
    echo "release: $PWD is not a git checkout; a release is built from committed sources" >&2
    exit 1
fi
# The zip carries every file under admin/, and .gitignore hides some that could be there (__pycache__/).
ignored=$(git status --porcelain --ignored=traditional --untracked-files=all admin | grep '^!!' || true)
changes=$(printf '%s\n' "$changes" "$ignored" | sed '/^$/d')
if [ -n "$changes" ]; then
    echo "release: the working tree has changes that are not committed, or files git ignores in admin/; commit or remove them first:" >&2
    sed 's/^/  /' <<<"$changes" >&2
    exit 1
fi
# The zip's time stamps are the commit's; another date would give a zip of the same name with other bytes.
if [ -n "${SOURCE_DATE_EPOCH+set}" ]; then
    echo "release: SOURCE_DATE_EPOCH is set ($SOURCE_DATE_EPOCH); a release is stamped with its commit's time: unset it" >&2
    exit 1
fi

# Configured afresh, so that settings left in the folder by an earlier run do not change the program.
cmake --preset windows -B build/package --fresh -DBUILD_TESTING=OFF >/dev/null
if ! built=$(cmake --build build/package --target release -j"$(nproc)" 2>&1); then
    printf '%s\n' "$built" | tail -n 20 >&2
    echo "release: the build failed" >&2
    exit 1
fi
grep -F 'win32.zip:' <<<"$built"
