#!/usr/bin/env bash
# Two clean clones of the committed sources, at paths of different lengths (build_clean_clones.sh),
# built byte-identical programs; when the working tree has nothing uncommitted, each program built
# here is the same bytes again.
# usage: check_reproducible.sh SOURCE_DIR CLONES_DIR PROGRAM.exe...
set -euo pipefail
source_dir=$1 clones=$2
shift 2

failures=0
for program in "$@"; do
    name=$(basename "$program")
    first=$clones/a/build/package/$name
    second="$clones/second clone, at a longer path/build/package/$name"
    if ! cmp "$first" "$second"; then
        echo "FAIL: two clones built different $name" >&2
        failures=$((failures + 1))
    elif [ -z "$(git -C "$source_dir" status --porcelain)" ] && ! cmp "$first" "$program"; then
        echo "FAIL: the $name built here differs from a clean clone's" >&2
        failures=$((failures + 1))
    else
        echo "reproducible: $name $(sha256sum <"$first" | cut -d' ' -f1)"
    fi
done
[ "$failures" -eq 0 ]
