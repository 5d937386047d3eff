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
if [ -n "$changes" ]; then
    echo "release: the working tree has changes that are not committed; commit or remove them first:" >&2
    sed 's/^/  /' <<<"$changes" >&2
    exit 1
fi

cmake --preset windows -B build/package -DBUILD_TESTING=OFF >/dev/null
cmake --build build/package --target release -j"$(nproc)" | grep -F 'win32.zip:'
