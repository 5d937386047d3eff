#!/usr/bin/env bash
# Two clones of the committed sources, at paths of different lengths, build byte-identical programs;
# when the working tree has nothing uncommitted, each program built here is the same bytes again.
# usage: check_reproducible.sh SOURCE_DIR PROGRAM.exe...
set -euo pipefail
source_dir=$1
shift

work=$(mktemp -d "${TMPDIR:-/tmp}/reproducible.XXXXXX")
trap 'rm -rf "$work"' EXIT

build_clone() {
    local clone=$1
    git clone --quiet "$source_dir" "$clone"
    cmake -S "$clone" -B "$clone/build" -DCMAKE_TOOLCHAIN_FILE="$clone/cmake/mingw-w64-i686.cmake" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$clone/build" --target UsbResetOnResume UsbResetOnResumeCheck UsbResetOnResumeUndo \
        -j"$(nproc)" >/dev/null
}

build_clone "$work/a"
build_clone "$work/second-clone-at-a-longer-path"
failures=0
for program in "$@"; do
    name=$(basename "$program")
    first=$work/a/build/$name
    second=$work/second-clone-at-a-longer-path/build/$name
    if ! cmp "$first" "$second"; then
        echo "FAIL: two clones built different $name" >&2
        failures=$((failures + 1))
    elif [ -z "$(git -C "$source_dir" status --porcelain)" ] && ! cmp "$first" "$program"; then
        echo "FAIL: the $name built here differs from a clean clone's" >&2
        failures=$((failures + 1))
    else
        echo "reproducible: $name $(sha256sum "$first" | cut -d' ' -f1)"
    fi
done
[ "$failures" -eq 0 ]
