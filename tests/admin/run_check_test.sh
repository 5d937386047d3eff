#!/usr/bin/env bash
# admin/check.cmd under Wine: it lists exactly the instances the program writes, with the flag as it
# is, changes nothing, and exits 0 only when every controller in CurrentControlSet holds REG_DWORD 1.
# usage: run_check_test.sh CHECK.cmd PROGRAM.exe SEED_DIR  (in a prepared WINEPREFIX)
set -euo pipefail

check=$1 program=$2 seeds=$3
: "${WINEPREFIX:?WINEPREFIX must name the prepared prefix}"
export WINEDEBUG=-all

source "$(dirname "$0")/../wine_registry_cases.sh"

# run_check EXPECTED_STATUS: the listing goes to $work/listing.txt as "SET|NAME|WHAT" lines, WHAT
# being the flag as shown, or "unreadable" (a name reg cannot be given), or "refused" (an instance
# reg will not read), or "no class key".
run_check() {
    run_script "$check" "$1"
    tr -d '\r' < "$work/output.txt" | awk '
        /^[^ ].*: no USB class key$/ { sub(/: no USB class key$/, ""); print $0 "|-|no class key"; next }
        /^[^ ].*:$/ { set = substr($0, 1, length($0) - 1); next }
        /^  [^ ].*: could not be read/ { name = substr($0, 3); sub(/: could not be read.*/, "", name); print set "|" name "|unreadable"; next }
        /^  [^ ].*: cannot be read with these rights/ { name = substr($0, 3); sub(/: cannot be read with these rights.*/, "", name); print set "|" name "|refused"; next }
        /^      ForceHCResetOnResume: / { sub(/^      ForceHCResetOnResume: /, ""); print set "|" name "|" $0; next }
        /^  / { name = substr($0, 3); next }
        { print "unexpected line: " $0 }
    ' > "$work/listing.txt"
}

# expect_listing LINES: the listing must be exactly these "SET|NAME|WHAT" lines, in any order.
expect_listing() {
    diff <(sort "$work/listing.txt") <(printf '%s\n' "$@" | sort) >"$work/diff.txt" \
        || fail "listing differs (< got, > expected): $(cat "$work/diff.txt")"
}

# Every set holds the same instances: the controllers (first byte 01 as reg shows each type, at most
# 1,024 bytes) and the rest (a nested key, 1,025 bytes, no data, first byte 00, a low byte 00, a
# REG_SZ, which reg shows as text and the script does not judge). No REG_QWORD: Wine 8's reg shows
# its data as "(null)".
case_name="value types"
seed_templates "ControlSet001 ControlSet002 CurrentControlSet" controller_kinds.reg.txt
export_class_keys "$work/before"
run_check 1
export_class_keys "$work/after-check"
diff -r "$work/before" "$work/after-check" >/dev/null || fail "check.cmd changed the registry"
expected=()
for set in "${control_sets[@]}"; do
    expected+=("$set|binary|missing" "$set|binary 1024 bytes|missing" "$set|none|REG_SZ"
               "$set|dword 0x201|REG_DWORD 0x0")
done
expect_listing "${expected[@]}"

case_name="value types, after the program"
wine "$program" || fail "the program failed"
run_check 0
expected=()
for set in "${control_sets[@]}"; do
    for name in binary "binary 1024 bytes" none "dword 0x201"; do
        expected+=("$set|$name|REG_DWORD 0x1")
    done
done
expect_listing "${expected[@]}"

# Only CurrentControlSet decides the status: a controller left unwritten elsewhere does not count.
case_name="only CurrentControlSet decides"
wine reg delete "$(class_key ControlSet001)\\binary" /v ForceHCResetOnResume /f >/dev/null 2>&1 \
    || fail "could not remove a flag from ControlSet001"
run_check 0
wine reg delete "$(class_key CurrentControlSet)\\binary" /v ForceHCResetOnResume /f >/dev/null 2>&1 \
    || fail "could not remove a flag from CurrentControlSet"
run_check 1

# Awkward names are listed as they are; a name with a quote cannot be given to reg, and one with a
# character outside the console code page arrives as "?": both are named as unreadable, and as they
# may be controllers, the status is 1. (An instance reg refuses to read cannot be made under Wine.)
case_name="awkward names, ControlSet002 missing"
seed_templates "ControlSet001 CurrentControlSet" awkward_names.reg.txt non_ascii_names.reg.txt
wine "$program" || fail "the program failed"
run_check 1
expected=("ControlSet002|-|no class key")
for set in ControlSet001 CurrentControlSet; do
    for name in 0000 0002 0003 "a  b" 'x&y(z)^!w!' 'p%PATH%q;r,s=t'; do
        expected+=("$set|$name|REG_DWORD 0x1")
    done
    for name in 'q"r' '"' 'caf?' '???'; do
        expected+=("$set|$name|unreadable")
    done
done
expect_listing "${expected[@]}"

# Each kind of name alone makes the status 1: the quotes with every controller written ...
case_name="names with a quote alone"
seed_templates "CurrentControlSet" awkward_names.reg.txt
wine "$program" || fail "the program failed"
run_check 1
expected=("ControlSet001|-|no class key" "ControlSet002|-|no class key")
for name in 0000 0002 0003 "a  b" 'x&y(z)^!w!' 'p%PATH%q;r,s=t'; do
    expected+=("CurrentControlSet|$name|REG_DWORD 0x1")
done
expected+=('CurrentControlSet|q"r|unreadable' 'CurrentControlSet|"|unreadable')
expect_listing "${expected[@]}"

# ... and the names arriving as "?".
case_name="names outside the console code page alone"
seed_templates "CurrentControlSet" non_ascii_names.reg.txt
wine "$program" || fail "the program failed"
run_check 1
expect_listing "ControlSet001|-|no class key" "ControlSet002|-|no class key" \
    'CurrentControlSet|caf?|unreadable' 'CurrentControlSet|???|unreadable'

if [ "$failures" -ne 0 ]; then
    echo "check: $failures check(s) failed" >&2
    exit 1
fi
echo "check: all checks passed"
