#!/usr/bin/env bash
# admin/undo.cmd under Wine on seeded control sets with awkward instance names: exactly the
# "ForceHCResetOnResume" values of direct instances go, everything else stays, the exit status says
# whether any is left, names it cannot handle are named, and it never waits for input.
# usage: run_undo_test.sh UNDO.cmd SEED_DIR  (in a prepared WINEPREFIX)
set -euo pipefail

undo=$1 seeds=$2
: "${WINEPREFIX:?WINEPREFIX must name the prepared prefix}"
export WINEDEBUG=-all

source "$(dirname "$0")/../wine_registry_cases.sh"

# The export as undo should leave it: no "ForceHCResetOnResume" in a direct instance of the class
# key, except in the instances named in $2 (one per line), which keep theirs.
expected_after() {
    awk -v guid="$guid" -v keep="$2" '
        BEGIN { n = split(keep, k, "\n"); for (i = 1; i <= n; i++) if (k[i] != "") kept[k[i]] = 1 }
        /^\[/ {
            key = substr($0, 2, length($0) - 2)
            at = index(key, guid "\\")
            rest = at ? substr(key, at + length(guid) + 1) : ""
            instance = (rest != "" && index(rest, "\\") == 0 && !(rest in kept))
        }
        instance && /^"ForceHCResetOnResume"=/ { next }
        { print }
    ' "$1"
}

# check_case "SETS PRESENT" EXPECTED_STATUS "NAMES LEFT" SEED_FILE...
check_case() {
    local present=$1 expected_status=$2 left=$3
    shift 3
    seed_templates "$present" "$@"
    export_class_keys "$work/$case_name/before"
    run_script "$undo" "$expected_status"
    export_class_keys "$work/$case_name/after"
    for set in "${control_sets[@]}"; do
        local before="$work/$case_name/before/$set.reg" after="$work/$case_name/after/$set.reg"
        if [[ " $present " == *" $set "* ]]; then
            grep -q '^"ForceHCResetOnResume"=' "$before" || fail "$set was not seeded"
            diff <(expected_after "$before" "$left") "$after" >"$work/diff.txt" \
                || fail "$set: not exactly the instances' ForceHCResetOnResume removed: $(cat "$work/diff.txt")"
        else
            [ "$(cat "$after")" = missing ] || fail "$set was created"
        fi
    done
    # Each name left must be named in the output, shown as the console can show it.
    while IFS= read -r name; do
        [ -n "$name" ] || continue
        local shown=${name//[^ -~]/?}
        grep -qF "CurrentControlSet\\$shown: not handled" <(tr -d '\r' < "$work/output.txt") \
            || fail "the name $name was not reported as not handled: $(tr -d '\r' < "$work/output.txt")"
    done <<< "$left"
}

case_name="awkward names in all three control sets"
check_case "ControlSet001 ControlSet002 CurrentControlSet" 0 "" awkward_names.reg.txt
# A second run finds nothing to remove, changes nothing, and succeeds.
cp -r "$work/$case_name/after" "$work/first-run"
run_script "$undo" 0
export_class_keys "$work/second-run"
diff -r "$work/first-run" "$work/second-run" >/dev/null || fail "a second run changed the registry"

case_name="ControlSet002 missing, names outside the console code page"
check_case "ControlSet001 CurrentControlSet" 1 $'café\nЖук' awkward_names.reg.txt non_ascii_names.reg.txt

# Instances without the value get no section, so one whose name arrives as "?" is neither reported
# nor counted against the status (on Windows this keeps out the Properties subkey, which only SYSTEM
# may read), and nothing about them changes.
case_name="instances without the value, names outside the console code page"
check_case "ControlSet001 CurrentControlSet" 0 "" awkward_names.reg.txt unflagged_names.reg.txt

# A class key with no instance at all: nothing to import, nothing left, the class key's own value kept.
case_name="no instances"
check_case "CurrentControlSet" 0 "" class_key_only.reg.txt

if [ "$failures" -ne 0 ]; then
    echo "undo: $failures check(s) failed" >&2
    exit 1
fi
echo "undo: all checks passed"
