#!/usr/bin/env bash
# ASLR as Windows applies it: a copy of the program moved to another base with its own relocations,
# checked to be loaded there, then run through the end-to-end cases. A fixup missing from .reloc
# leaves an address pointing into the old base, where nothing of the program is mapped.
# usage: check_relocated.sh PYTHON NEW_BASE PROGRAM.exe END_TO_END_SCRIPT [ITS ARGUMENTS AFTER THE PROGRAM...]
#        (in a prepared WINEPREFIX)
set -euo pipefail
python=$1 new_base=$2 program=$3 end_to_end=$4
shift 4
: "${WINEPREFIX:?WINEPREFIX must name the prepared prefix}"
here=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/relocated.XXXXXX")
trap 'rm -rf "$work"' EXIT
copy=$work/UsbResetOnResume.exe

"$python" "$here/relocate_image.py" "$program" "$new_base" "$copy"

# Wine names the base every module was mapped at; the copy must be at the new one, not moved again
# (eight hex digits for a 32-bit process, sixteen for a 64-bit one).
# Outside the end-to-end cases the prefix has no USB class key, so this run changes nothing.
expected=$(printf '%08X' "$new_base")
if ! loaded=$(WINEDEBUG=+loaddll wine "$copy" 2>&1 | tr -d '\r' | grep -F 'UsbResetOnResume.exe" at '); then
    echo "FAIL: Wine did not report loading the relocated copy" >&2
    exit 1
fi
if ! [[ "$loaded" =~ \ at\ 0*$expected: ]]; then
    echo "FAIL: the relocated copy was not loaded at $expected: $loaded" >&2
    exit 1
fi

"$end_to_end" "$copy" "$@"
echo "relocated: the program moved to $expected passes the end-to-end cases"
