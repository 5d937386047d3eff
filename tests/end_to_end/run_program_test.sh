#!/usr/bin/env bash
# End to end: the built program under Wine, on control sets seeded from .reg text, checked by its exit
# status and by exporting the class keys before and after.
# usage: run_program_test.sh PROGRAM.exe REGISTRY_HELPER.exe SEED_DIR  (in a prepared WINEPREFIX)
set -euo pipefail

program=$1 helper=$2 seeds=$3
: "${WINEPREFIX:?WINEPREFIX must name the prepared prefix}"
export WINEDEBUG=-all

# Each case starts from the registry the prefix had before the test, and the test leaves it so: the
# dangling link the helper adds cannot be deleted with reg.exe.
source "$(dirname "$0")/../wine_registry_cases.sh"
usb_class="\\Control\\Class\\$guid"
# The instances of control_sets.reg.txt whose "Controller" begins with 0x01. Not among them: the class
# key itself, a nested key, non-controllers, an empty "Controller", and the two the helper adds.
controllers='0000 0002 0005'

# Seeds the control sets of $1 from the .reg template; with $2 = linked, ControlSet001 is a registry
# link to CurrentControlSet: two paths to one key, as on Windows, though there the link is
# CurrentControlSet (Wine 8 keeps CurrentControlSet as a real key).
seed() {
    local present=$1 linked=${2:-} said
    seed_templates "$present" control_sets.reg.txt
    if [ "$linked" = linked ]; then
        wine reg delete 'HKLM\SYSTEM\ControlSet001' /f >/dev/null 2>&1 || fail "could not remove ControlSet001"
        said=$(wine "$seeder" link 'SYSTEM\ControlSet001' 'SYSTEM\CurrentControlSet' 2>&1) \
            || fail "could not link ControlSet001 (status $?): $said"
    fi
    for set in $present; do
        [ "$linked" = linked ] && [ "$set" = ControlSet001 ] && continue
        # Ahead of the controllers 0002 and 0005: an instance that cannot be opened at all (a link to
        # a key that does not exist) and one whose name does not fit the program's buffer.
        said=$(wine "$seeder" link "SYSTEM\\$set$usb_class\\0001" 'SOFTWARE\UsbResetOnResumeTests\NoSuchKey' 2>&1) \
            || fail "could not add the unopenable instance to $set (status $?): $said"
        said=$(wine "$seeder" long-name "SYSTEM\\$set$usb_class" 0001 2>&1) \
            || fail "could not add the long-named instance to $set (status $?): $said"
    done
}

# "instance value" for every ForceHCResetOnResume in an export, instances relative to the class key.
reset_flags() {
    awk -v class='{36FC9E60-C465-11CF-8056-444553540000}' '
        /^\[/ { key = $0; sub(/^\[.*\{36FC9E60-C465-11CF-8056-444553540000\}\\?/, "", key); sub(/\]$/, "", key) }
        /^"ForceHCResetOnResume"=/ { value = $0; sub(/^[^=]*=/, "", value); print key, value }
    ' "$1"
}

without_reset_flags() {
    grep -v '^"ForceHCResetOnResume"=' "$1" || true
}

# Sets status to the exit status; the program itself must print nothing at all, on either stream.
run_program() {
    status=0
    wine "$program" "$@" >"$work/stdout" 2>"$work/stderr" || status=$?
    [ ! -s "$work/stdout" ] || fail "the program wrote to stdout: $(head -c 200 "$work/stdout")"
    [ ! -s "$work/stderr" ] || fail "the program wrote to stderr: $(head -c 200 "$work/stderr")"
}

# check_case "SETS PRESENT" [linked] [ARGUMENT...]: the first run gets the arguments, which the
# program ignores.
check_case() {
    local present=$1 linked=${2:-}
    shift $(($# < 2 ? $# : 2))
    seed "$present" "$linked"
    export_class_keys "$work/$case_name/before"

    local status
    run_program "$@"
    [ "$status" = 0 ] || fail "exit status $status, expected 0"
    export_class_keys "$work/$case_name/after"

    local expected_flags=""
    for instance in $controllers; do
        expected_flags+="$instance dword:00000001"$'\n'
    done
    for set in "${control_sets[@]}"; do
        local before="$work/$case_name/before/$set.reg" after="$work/$case_name/after/$set.reg"
        if [[ " $present " == *" $set "* ]]; then
            [ "$(cat "$before")" != missing ] || fail "$set was not seeded"
            diff <(reset_flags "$after") <(printf '%s' "$expected_flags") >/dev/null \
                || fail "$set: the reset flag is not exactly on $controllers as REG_DWORD 1: $(reset_flags "$after" | tr '\n' ';')"
            diff <(without_reset_flags "$before") <(without_reset_flags "$after") >/dev/null \
                || fail "$set: something besides ForceHCResetOnResume changed"
        else
            [ "$(cat "$after")" = missing ] || fail "$set was created by the program"
        fi
    done

    run_program
    [ "$status" = 0 ] || fail "second run: exit status $status, expected 0"
    export_class_keys "$work/$case_name/again"
    diff -r "$work/$case_name/after" "$work/$case_name/again" >/dev/null || fail "a second run changed the registry"
}

# Started from a terminal, as an administrator tries it by hand: the program runs and writes, whatever
# its output is.
terminal_case() {
    seed "ControlSet001 ControlSet002 CurrentControlSet"
    status=0
    script -qefc "wine $(printf '%q' "$program")" /dev/null >"$work/terminal.txt" 2>&1 </dev/null || status=$?
    [ "$status" = 0 ] || fail "exit status $status on a terminal, expected 0: $(head -c 200 "$work/terminal.txt")"
    export_class_keys "$work/$case_name/after"
    local expected_flags=""
    for instance in $controllers; do
        expected_flags+="$instance dword:00000001"$'\n'
    done
    diff <(reset_flags "$work/$case_name/after/CurrentControlSet.reg") <(printf '%s' "$expected_flags") >/dev/null \
        || fail "the reset flag is not exactly on $controllers after a run on a terminal"
}

guest_cases=("arguments are ignored" "started from a terminal")
run_case "all three control sets" check_case "ControlSet001 ControlSet002 CurrentControlSet"
run_case "ControlSet002 missing" check_case "ControlSet001 CurrentControlSet"
run_case "only CurrentControlSet" check_case "CurrentControlSet"
# Two paths to one key: every controller is written once through each, and each write stands alone.
run_case "ControlSet001 linked to CurrentControlSet" check_case "ControlSet001 ControlSet002 CurrentControlSet" linked
run_case "arguments are ignored" check_case "ControlSet001 ControlSet002 CurrentControlSet" "" /? /undo
run_case "started from a terminal" terminal_case

check_guest_cases_ran
if [ "$failures" -ne 0 ]; then
    echo "end-to-end: $failures check(s) failed" >&2
    exit 1
fi
echo "end-to-end: all checks passed"
