#!/usr/bin/env bash
# Builds the release package from the committed sources, through the windows preset without the tests:
# build/package/release/UsbResetOnResume-<version>-win32.zip and SHA256SUMS beside it. Installs what
# it lacks first (as root).
set -euo pipefail
me=release
# shellcheck source-path=SCRIPTDIR source=release-helpers.sh
. "$(dirname "$0")/release-helpers.sh"
cd "$release_scripts/.."

require_tools cmake git python3 i686-w64-mingw32-g++

# A zip from a tree with changes not committed would carry the commit's name, version and date with
# other bytes, and nobody could rebuild it.
if ! changes=$(tree_changes .); then
    echo "release: git will not read $PWD, and a release is built from committed sources:" >&2
    sed 's/^/  /' <<<"$changes" >&2
    exit 1
fi
# The zip carries every file under admin/, and .gitignore hides some that could be there (__pycache__/).
ignored=$(git status --porcelain --ignored=traditional --untracked-files=all admin | sed -n 's/^!! \(.*\)/\1 (ignored)/p')
changes=$(printf '%s\n' "$changes" "$ignored" | sed '/^$/d')
if [ -n "$changes" ]; then
    echo "release: these files are not as the commit has them (changed, not tracked, hidden from git status, or ignored in admin/); commit, restore or remove them first:" >&2
    sed 's/^/  /' <<<"$changes" >&2
    exit 1
fi
# The zip's time stamps are the commit's; another date would give a zip of the same name with other bytes.
if [ -n "${SOURCE_DATE_EPOCH+set}" ]; then
    die "SOURCE_DATE_EPOCH is set ($SOURCE_DATE_EPOCH); a release is stamped with its commit's time: unset it"
fi

# Configured afresh, so that settings left in the folder by an earlier run do not change the program.
if ! built=$(in_build_environment cmake --preset windows -B build/package --fresh -DBUILD_TESTING=OFF 2>&1 \
        && in_build_environment cmake --build build/package --target release -j"$(nproc)" 2>&1); then
    printf '%s\n' "$built" | tail -n 20 >&2
    die "the build failed"
fi
grep -F 'win32.zip:' <<<"$built"
