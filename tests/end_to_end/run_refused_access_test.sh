#!/usr/bin/env bash
# Refused access end to end, on Wine's own registry: keys whose access control list refuses what the
# programs ask for (Wine enforces it while its wineserver runs). Each row restricts some keys of the
# seeded control sets, then runs the program, the check and the undo, and holds their exit statuses
# and listings to what the administrator's guide says; after the undo, each control set must be as
# seeded less the settings of its instances, or as seeded where its class key could not be listed.
# usage: run_refused_access_test.sh PROGRAM.exe CHECK.exe UNDO.exe REGISTRY_HELPER.exe SEED_DIR
#        (in a prepared WINEPREFIX)
set -euo pipefail

program=$1 check=$2 undo=$3 helper=$4 seeds=$5
: "${WINEPREFIX:?WINEPREFIX must name the prepared prefix}"
export WINEDEBUG=-all

source "$(dirname "$0")/../wine_registry_cases.sh"

# SDDL access control lists. None grants a write: no row's key holds the setting the program writes.
read_only='D:P(A;;KR;;;WD)'    # everyone may read, and nothing more (no administrator rights)
no_access='D:P'                # no one is granted anything, as the class key's "Properties" is
no_listing='D:P(A;;0x1;;;WD)'  # values may be read, subkeys not listed (KEY_QUERY_VALUE alone)

# The controllers of control_sets.reg.txt, none holding REG_DWORD 1, with their devices as it describes
# them, and an instance named like Windows' own that grants nothing, seeded in every set.
controllers='0000 0002 0005'
declare -A device=([0000]="Standard Enhanced PCI to USB Host Controller" [0002]="Standard OpenHCD USB Host Controller"
                   [0005]="USB xHCI Compliant Host Controller")
unreadable=Properties

# controller SET SETTING INSTANCE: the check's line for one of those controllers, as instance_lines gives it.
controller() {
    echo "$1|controller, ForceHCResetOnResume $2, \"${device[$3]}\"|$3"
}

seed() {
    local set
    seed_templates "${control_sets[*]}" control_sets.reg.txt
    for set in "${control_sets[@]}"; do
        wine reg add "$(class_key "$set")\\$unreadable" /f >/dev/null 2>&1 || fail "could not add $unreadable to $set"
    done
}

# An export less ForceHCResetOnResume in every direct instance of the class key.
without_instance_settings() {
    awk -v guid="$guid" '
        /^\[/ { key = substr($0, 2, length($0) - 2); at = index(key, guid "\\")
                rest = at ? substr(key, at + length(guid) + 1) : ""; instance = (rest != "" && index(rest, "\\") == 0) }
        instance && /^"ForceHCResetOnResume"=/ { next }
        { print }' "$1"
}

# expect_listed FILE WHAT LINE...: each line ("SET|WHAT|NAME", or a control set's own line) is listed.
expect_listed() {
    local file=$1 what=$2 line
    shift 2
    { instance_lines "$file"; grep '^[^ ]' "$file"; } > "$work/listed.txt"
    for line in "$@"; do
        grep -qxF "$line" "$work/listed.txt" || fail "$what does not list '$line': $(tr '\n' ';' < "$file")"
    done
}

# row PROGRAM CHECK UNDO UNLISTED_SET -- SET KEY ACCESS [SET KEY ACCESS...] -- EXPECTED_CHECK_LINE... --
#     EXPECTED_UNDO_LINE...   (each companion's verdict among its lines)
# The three exit statuses after the keys are restricted (KEY relative to the class key, "" for the class
# key itself); UNLISTED_SET is the control set whose class key refuses listing, or -. The check runs
# after the program, so every controller it lists holds REG_DWORD 1 unless a line below says otherwise.
row() {
    local program_status=$1 check_status=$2 undo_status=$3 unlisted=$4 restrictions=() check_lines=() undo_lines=()
    shift 5
    while [ "$1" != -- ]; do
        restrictions+=("SYSTEM\\$1\\Control\\Class\\$guid${2:+\\$2}" "$3")
        shift 3
    done
    shift
    while [ "$1" != -- ]; do check_lines+=("$1"); shift; done
    shift
    undo_lines=("$@")

    seed
    export_class_keys "$work/$case_name/before"
    # Restricted, then the three programs in a row: nothing in between may end the server that holds
    # the lists.
    restrict "${restrictions[@]}"
    run program "$program" "$program_status"
    run check "$check" "$check_status"
    run undo "$undo" "$undo_status"
    unrestrict
    export_class_keys "$work/$case_name/after-undo"

    # Every controller the check lists after the program holds REG_DWORD 1, except where a line says.
    local set instance line
    local -A listed_as=()
    for set in "${control_sets[@]}"; do
        [ "$set" = "$unlisted" ] && continue
        for instance in $controllers; do
            listed_as["$set|$instance"]=$(controller "$set" "REG_DWORD 0x1" "$instance")
        done
    done
    for line in "${check_lines[@]}"; do
        [[ "$line" != *"|controller, "* ]] || listed_as["${line%%|*}|${line##*|}"]=$line
    done
    diff <(instance_lines "$work/check.txt" | grep '|controller, ' | sort) <(printf '%s\n' "${listed_as[@]}" | sort) \
        >"$work/diff.txt" || fail "the check's controllers after the program differ (< got, > expected): $(cat "$work/diff.txt")"
    expect_listed "$work/check.txt" "the check after the program" "${check_lines[@]}"
    [ ${#undo_lines[@]} -eq 0 ] || expect_listed "$work/undo.txt" "the undo" "${undo_lines[@]}"

    for set in "${control_sets[@]}"; do
        local before="$work/$case_name/before/$set.reg" after="$work/$case_name/after-undo/$set.reg"
        if [ "$set" = "$unlisted" ]; then
            diff "$before" "$after" >"$work/diff.txt" || fail "$set, whose class key refuses listing, changed: $(cat "$work/diff.txt")"
        else
            diff <(without_instance_settings "$before") "$after" >"$work/diff.txt" \
                || fail "$set: after the program and the undo, not as seeded less the settings: $(cat "$work/diff.txt")"
        fi
    done
}

not_read="not opened (error 5), skipped as the program skips it"
# The undo's verdict where one class key could not be listed and no setting was left elsewhere.
undo_verdict_one_unlisted() {
    echo "not done: ForceHCResetOnResume removed from $1 instances, left on 0 instances, and 1 USB class" \
         "key could not be looked through to the end, see above"
}
# Where the status is not decided: the program and the check look at CurrentControlSet alone; the undo
# fails for a class key it could not list in any set.
run_case "refused only outside CurrentControlSet" \
    row 0 0 1 ControlSet002 -- ControlSet001 0000 "$read_only" ControlSet002 "" "$no_listing" \
        CurrentControlSet "$unreadable" "$no_access" -- \
        "$(controller ControlSet001 absent 0000)" \
        "ControlSet002: USB class key not opened (error 5)" "CurrentControlSet|$not_read|$unreadable" \
        "done: 3 of 3 host controllers in CurrentControlSet hold the setting" -- \
        "ControlSet002: USB class key not opened (error 5)" "CurrentControlSet|$not_read|$unreadable" \
        "$(undo_verdict_one_unlisted 5)"
# A controller left without the setting in the running set fails the program and the check; the undo
# has nothing to remove there.
run_case "a controller in CurrentControlSet refuses writing" \
    row 1 1 0 - -- CurrentControlSet 0000 "$read_only" -- \
        "$(controller CurrentControlSet absent 0000)" \
        "not done: 1 of 3 host controllers in CurrentControlSet lacks the setting, see above" -- \
        "done: ForceHCResetOnResume removed from 8 instances, left on none"
# A class key that cannot be listed may hide controllers: all three fail.
run_case "CurrentControlSet's class key refuses listing" \
    row 1 1 1 CurrentControlSet -- CurrentControlSet "" "$no_listing" -- \
        "CurrentControlSet: USB class key not opened (error 5)" \
        "not done: the USB class key of CurrentControlSet could not be opened (error 5), see above" -- \
        "CurrentControlSet: USB class key not opened (error 5)" \
        "$(undo_verdict_one_unlisted 6)"

if [ "$failures" -ne 0 ]; then
    echo "refused access: $failures check(s) failed" >&2
    exit 1
fi
echo "refused access: all checks passed"
