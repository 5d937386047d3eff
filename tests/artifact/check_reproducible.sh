#!/usr/bin/env bash
# Two clones of the committed sources, at paths of different lengths, build byte-identical programs;
# when the working tree has nothing uncommitted, the program built here is the same bytes again.
# usage: check_reproducible.sh SOURCE_DIR PROGRAM.exe
set -euo pipefail
source_dir=$1 program=$2

work=$(mktemp -d "${TMPDIR:-/tmp}/reproducible.XXXXXX")
trap 'rm -rf "$work"' EXIT

build_clone() {
    local clone=$1
    git clone --quiet "$source_dir" "$clone"
    cmake -S "$clone" -B "$clone/build" -DCMAKE_TOOLCHAIN_FILE="$clone/cmake/mingw-w64-i686.cmake" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$clone/build" --target UsbResetOnResume -j"$(nproc)" >/dev/null
}

build_clone "$work/a"
build_clone "$work/second-clone-at-a-longer-path"
first=$work/a/build/UsbResetOnResume.exe
second=$work/second-clone-at-a-longer-path/build/UsbResetOnResume.exe

if ! cmp "$first" "$second"; then
    echo "FAIL: two clones built different programs" >&2
    exit 1
fi
if [ -z "$(git -C "$source_dir" status --porcelain)" ] && ! cmp "$first" "$program"; then
    echo "FAIL: the program built here differs from a clean clone's" >&2
    exit 1
fi
echo "reproducible: $(sha256sum "$first" | cut -d' ' -f1)"
