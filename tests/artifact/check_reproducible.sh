#!/usr/bin/env bash
# Two clean clones of the committed sources, at paths of different lengths (build_clean_clones.sh),
# built byte-identical programs; when the working tree has nothing uncommitted, the program built here
# is the same bytes again.
# usage: check_reproducible.sh SOURCE_DIR PROGRAM.exe CLONES_DIR
set -euo pipefail
source_dir=$1 program=$2 clones=$3

first=$clones/a/build/UsbResetOnResume.exe
second=$clones/second-clone-at-a-longer-path/build/UsbResetOnResume.exe

if ! cmp "$first" "$second"; then
    echo "FAIL: two clones built different programs" >&2
    exit 1
fi
if [ -z "$(git -C "$source_dir" status --porcelain)" ] && ! cmp "$first" "$program"; then
    echo "FAIL: the program built here differs from a clean clone's" >&2
    exit 1
fi
echo "reproducible: $(sha256sum "$first" | cut -d' ' -f1)"
