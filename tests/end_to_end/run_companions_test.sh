#!/usr/bin/env bash
# The check and undo companions end to end under Wine, around the program, on control sets seeded
# with look-alike names, names a command line mistreats, controllers of odd types and sizes, values
# named like the setting and settings whose data is a key path: the check's listing and status agree
# with what the program then writes; after the program and the undo the class keys export exactly as
# before the program, less the settings removed; a second undo changes nothing; a listing written to a
# full disk gives status 2 and the work is done all the same, and no standard output at all is no
# failure. Each listing ends with a verdict that agrees with the status; device descriptions, hostile
# ones among them, are shown without breaking a line; and the administrator's guide's sample listing is
# what the check writes on the demo registry.
# usage: run_companions_test.sh CHECK.exe UNDO.exe PROGRAM.exe REGISTRY_HELPER.exe SEED_DIR
#        (in a prepared WINEPREFIX)
set -euo pipefail

check=$1 undo=$2 program=$3 helper=$4 seeds=$5
: "${WINEPREFIX:?WINEPREFIX must name the prepared prefix}"
export WINEDEBUG=-all

source "$(dirname "$0")/../wine_registry_cases.sh"
usb_class="\\Control\\Class\\$guid"

# The controllers of every seeded set (awkward_instances.reg.txt and the values added below), and
# their setting as the check lists it before the program runs.
before_flags=(
    "A|REG_DWORD 0x1" "Ā|absent" "Ｆ|absent" "on|absent" "off|REG_DWORD 0x1" "/?|absent" 'q"r|absent'
    "x&y(z)^!w!|absent" "p%PATH%q;r,s=t|absent" "0000|absent" "0001|REG_DWORD 0x0" "0003|REG_SZ, 100 bytes"
    "0010|absent" "0011|absent" "0012|absent" "0013|absent" "0014|absent" "0015|absent" "0017|absent" " |absent"
)
# Device descriptions as a driver package could write them, hostile ones among them, each given to a
# controller of the awkward set: NAME, DESCRIPTION and the description as the check lists it. None may
# break its line, move the name or seem to end early; letters that look like others are shown as
# themselves.
zero_width=$(printf '\xe2\x80\x8b') reversal=$(printf '\xe2\x80\xae')
fullwidth_quote=$(printf '\xef\xbc\x82') fullwidth_colon=$(printf '\xef\xbc\x9a')
cyrillic_nos=$(printf '\xd0\x9d\xd0\xbe\xd1\x95')
devices=(
    "A" "Standard Enhanced PCI to USB Host Controller" "Standard Enhanced PCI to USB Host Controller"
    "on" $'Hub\r\n  controller, ForceHCResetOnResume REG_DWORD 0x1: 0000'
         'Hub\u000D\u000A  controller, ForceHCResetOnResume REG_DWORD 0x1\u003A 0000'
    "0000" 'Host": 0001' 'Host\u0022\u003A 0001'
    "0010" "Hub$zero_width${reversal}0000" 'Hub\u200B\u202E0000'
    "0012" "Hub$fullwidth_quote$fullwidth_colon 0000" 'Hub\uFF02\uFF1A 0000'
    "0013" "${cyrillic_nos}t Controller" "${cyrillic_nos}t Controller"
)
declare -A device_listed=()
for ((i = 0; i < ${#devices[@]}; i += 3)); do
    device_listed[${devices[i]}]=${devices[i + 2]}
done

# listed_as NAME SETTING: what the check's line for the controller NAME says before the name.
listed_as() {
    echo "controller, ForceHCResetOnResume $2${device_listed[$1]+, \"${device_listed[$1]}\"}"
}

# The instance that is a registry link to a key that does not exist, as both companions name it: the
# link's target as the seeding helper stores it.
link_line="registry link to \\Registry\\Machine\\SOFTWARE\\UsbResetOnResumeTests\\NoSuchKey|0005"

# The name as the listing prints it: a space at either end as \u0020 (no other seeded name holds a
# character the listing escapes).
as_listed() {
    local name=$1 head='' tail=''
    if [ "${name:0:1}" = " " ]; then head='\u0020' name=${name:1}; fi
    if [ -n "$name" ] && [ "${name: -1}" = " " ]; then tail='\u0020' name=${name:0:-1}; fi
    printf '%s' "$head$name$tail"
}

# seed "SETS PRESENT": the template, then what .reg text cannot say: odd types and sizes, a name of
# one space, an instance that cannot be opened (a link to a missing key) and a name too long.
seed() {
    seed_templates "$1" awkward_instances.reg.txt
    local set key one=01 zeros i
    zeros=$(printf '00%.0s' $(seq 1023))
    for set in $1; do
        key="SYSTEM\\$set$usb_class"
        wine "$seeder" value "$key\\0010" Controller 5 01000000 &&       # REG_DWORD_BIG_ENDIAN
        wine "$seeder" value "$key\\0011" Controller 6 0100 &&           # REG_LINK
        wine "$seeder" value "$key\\0012" Controller 8 01020304 &&       # REG_RESOURCE_LIST
        wine "$seeder" value "$key\\0013" Controller 9 01 &&             # REG_FULL_RESOURCE_DESCRIPTOR
        wine "$seeder" value "$key\\0014" Controller 10 01 &&            # REG_RESOURCE_REQUIREMENTS_LIST
        wine "$seeder" value "$key\\0015" Controller 4660 01 &&          # a type with no name
        wine "$seeder" value "$key\\0016" Controller 4 "$one${zeros}00" && # REG_DWORD of 1,025 bytes
        wine "$seeder" value "$key\\0017" Controller 4 "$one$zeros" &&   # REG_DWORD of 1,024 bytes
        wine "$seeder" value "$key\\ " Controller 3 01 &&
        wine "$seeder" link "$key\\0005" 'SOFTWARE\UsbResetOnResumeTests\NoSuchKey' &&
        wine "$seeder" long-name "$key" 0006 || fail "could not seed $set"
        for ((i = 0; i < ${#devices[@]}; i += 3)); do
            wine "$seeder" value "$key\\${devices[i]}" DriverDesc 1 "$(utf16_hex "${devices[i + 1]}")0000" \
                || fail "could not describe ${devices[i]} in $set"
        done
    done
}

# The UTF-8 text as UTF-16LE bytes in hex, as the helper takes them.
utf16_hex() {
    printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | od -An -v -tx1 | tr -d ' \n'
}

# expect_verdict NAME LINE: the listing of the run NAME ends with this verdict.
expect_verdict() {
    [ "$(tail -n 1 "$work/$1.txt")" = "$2" ] || fail "$1: the last line is not '$2': $(tail -n 1 "$work/$1.txt")"
}

# expect_lines FILE WHAT LINE...: the file's lines must be exactly these, in any order.
expect_lines() {
    local file=$1 what=$2
    shift 2
    diff <(sort "$file") <(printf '%s\n' "$@" | sort) >"$work/diff.txt" \
        || fail "$what differs (< got, > expected): $(cat "$work/diff.txt")"
}

# The direct instances holding ForceHCResetOnResume = REG_DWORD 1 in an export, one name a line.
applied_in_export() {
    awk -v guid="$guid" '
        /^\[/ { key = substr($0, 2, length($0) - 2); at = index(key, guid "\\")
                rest = at ? substr(key, at + length(guid) + 1) : ""; instance = (rest != "" && index(rest, "\\") == 0) }
        instance && $0 == "\"ForceHCResetOnResume\"=dword:00000001" { print rest }' "$1"
}

# An export less ForceHCResetOnResume in every direct instance: what the undo must leave.
without_instance_flags() {
    awk -v guid="$guid" '
        /^\[/ { key = substr($0, 2, length($0) - 2); at = index(key, guid "\\")
                rest = at ? substr(key, at + length(guid) + 1) : ""; instance = (rest != "" && index(rest, "\\") == 0) }
        instance && /^"ForceHCResetOnResume"=/ { next }
        { print }' "$1"
}

check_case() {
    local present=$1 set name
    seed "$present"
    export_class_keys "$work/$case_name/before"

    # Before the program: every controller with its setting as it is, the instance that cannot be
    # opened and the name too long each named, status 1 (controllers without the setting).
    run check-before "$check" 1
    local expected=()
    for set in "${control_sets[@]}"; do
        if [[ " $present " != *" $set "* ]]; then
            expected+=("$set: no USB class key")
            continue
        fi
        for entry in "${before_flags[@]}"; do
            expected+=("$set|$(listed_as "${entry%%|*}" "${entry#*|}")|$(as_listed "${entry%%|*}")")
        done
        expected+=("$set|$link_line" "$set|not opened (error 2), skipped as the program skips it|0005")
        # Where the long name falls depends on the registry's order of names; that it is named counts.
        expected+=("$set|name longer than 255 characters, skipped as the program skips it|subkey number N")
    done
    { instance_lines "$work/check-before.txt" | sed 's/|subkey number [0-9]*$/|subkey number N/'
      grep '^[^ ].*: no USB class key$' "$work/check-before.txt" || true; } > "$work/listed.txt"
    expect_lines "$work/listed.txt" "the check's listing before the program" "${expected[@]}"
    # The verdict counts CurrentControlSet's controllers, two of which hold the setting already.
    local controllers=${#before_flags[@]} applied
    applied=$(printf '%s\n' "${before_flags[@]}" | grep -c '|REG_DWORD 0x1$')
    expect_verdict check-before "not done: $((controllers - applied)) of $controllers host controllers in CurrentControlSet lack the setting, see above"
    export_class_keys "$work/$case_name/after-check"
    diff -r "$work/$case_name/before" "$work/$case_name/after-check" >/dev/null || fail "the check changed the registry"

    # The program writes exactly the instances the check listed as controllers; then the check lists
    # the same instances, each with REG_DWORD 1, and exits 0.
    run program "$program" 0
    export_class_keys "$work/$case_name/after-program"
    for set in $present; do
        diff <(applied_in_export "$work/$case_name/after-program/$set.reg" | sort) \
             <(for entry in "${before_flags[@]}"; do echo "${entry%%|*}"; done | sort) >"$work/diff.txt" \
            || fail "$set: the program wrote other instances than the check listed: $(cat "$work/diff.txt")"
    done
    run check-after "$check" 0
    instance_lines "$work/check-after.txt" | grep '|controller, ' | sort > "$work/listed.txt" || true
    expected=()
    for set in $present; do
        for entry in "${before_flags[@]}"; do
            expected+=("$set|$(listed_as "${entry%%|*}" "REG_DWORD 0x1")|$(as_listed "${entry%%|*}")")
        done
    done
    expect_lines "$work/listed.txt" "the check's controllers after the program" "${expected[@]}"
    local done_verdict="done: $controllers of $controllers host controllers in CurrentControlSet hold the setting"
    expect_verdict check-after "$done_verdict"

    # Only CurrentControlSet decides the check's status.
    wine reg delete "$(class_key ControlSet001)\\on" /v ForceHCResetOnResume /f >/dev/null 2>&1 \
        || fail "could not remove a setting from ControlSet001"
    run check-other-set "$check" 0
    expect_verdict check-other-set "$done_verdict"
    wine reg delete "$(class_key CurrentControlSet)\\on" /v ForceHCResetOnResume /f >/dev/null 2>&1 \
        || fail "could not remove a setting from CurrentControlSet"
    run check-current-set "$check" 1
    expect_verdict check-current-set "not done: 1 of $controllers host controllers in CurrentControlSet lacks the setting, see above"
    run program-again "$program" 0

    # The undo removes every instance's setting and nothing else: the class keys are as before the
    # program, less the settings the instances had then. Nested keys and the class key keep theirs,
    # and a setting holding a key path creates no key.
    run undo "$undo" 0
    export_class_keys "$work/$case_name/after-undo"
    for set in "${control_sets[@]}"; do
        local before="$work/$case_name/before/$set.reg" after="$work/$case_name/after-undo/$set.reg"
        if [[ " $present " == *" $set "* ]]; then
            diff <(without_instance_flags "$before") "$after" >"$work/diff.txt" \
                || fail "$set: after the program and the undo, not as before less the settings: $(cat "$work/diff.txt")"
        else
            [ "$(cat "$after")" = missing ] || fail "$set was created"
        fi
    done
    expected=()
    for set in $present; do
        for entry in "${before_flags[@]}" "0002|"; do
            expected+=("$set|ForceHCResetOnResume removed|$(as_listed "${entry%%|*}")")
        done
        expected+=("$set|$link_line")
    done
    instance_lines "$work/undo.txt" | grep -v '|not opened\||name longer' > "$work/listed.txt" || true
    expect_lines "$work/listed.txt" "the undo's listing" "${expected[@]}"
    # Every controller's setting and 0002's, in every set there is.
    local sets_present
    sets_present=$(wc -w <<<"$present")
    expect_verdict undo "done: ForceHCResetOnResume removed from $(((controllers + 1) * sets_present)) instances, left on none"

    run undo-again "$undo" 0
    export_class_keys "$work/$case_name/after-second-undo"
    diff -r "$work/$case_name/after-undo" "$work/$case_name/after-second-undo" >/dev/null \
        || fail "a second undo changed the registry"
    ! grep -q 'removed:' "$work/undo-again.txt" || fail "a second undo removed something: $(cat "$work/undo-again.txt")"
    expect_verdict undo-again "done: ForceHCResetOnResume removed from 0 instances, left on none"

    # A listing that cannot be written whole (a full disk) gives status 2, and the work is done all
    # the same: the undo's removals show in the check that follows.
    run program-before-lost-listing "$program" 0
    # Started with no standard output at all, as a deployment agent may start it, nothing is lost:
    # the check gives its own status.
    without_output check-without-output "$check" 0
    lost_listing check-to-full-disk "$check"
    lost_listing undo-to-full-disk "$undo"
    run check-after-lost-listing "$check" 1
    expect_verdict check-after-lost-listing "not done: $controllers of $controllers host controllers in CurrentControlSet lack the setting, see above"
    ! grep -q '^  controller, ForceHCResetOnResume REG_DWORD 0x1[,:]' "$work/check-after-lost-listing.txt" \
        || fail "the undo whose listing was lost left settings: $(cat "$work/check-after-lost-listing.txt")"
}

# without_output NAME PROGRAM.exe EXPECTED_STATUS: run by the helper with no standard handles.
without_output() {
    local status=0
    wine "$helper" without-output "$(windows_path "$2")" 2>"$work/$1.err" || status=$?
    [ "$status" = "$3" ] || fail "$1: exit status $status, expected $3: $(head -c 200 "$work/$1.err")"
}

# lost_listing NAME PROGRAM.exe: run with standard output on a full disk, exit status 2 expected.
lost_listing() {
    local status=0
    wine "$2" </dev/null >/dev/full 2>"$work/$1.err" || status=$?
    [ "$status" = 2 ] || fail "$1: exit status $status, expected 2"
}

# The administrator's guide shows the check's listing on the demo registry (control_sets.reg.txt in each
# control set, as scripts/demo.sh seeds it) before the program runs: the sample must be exactly what the
# check writes there, so that it cannot drift from the program.
guide_sample_case() {
    local guide
    guide="$(dirname "$0")/../../docs/administrators.md"
    seed_templates "${control_sets[*]}" control_sets.reg.txt
    run guide-sample "$check" 1
    # The indented block after the sentence that introduces it.
    awk '/^The check, run on the project.s demo registry/ { intro = 1; next }
         intro && /^    / { print substr($0, 5); block = 1; next }
         block { exit }' "$guide" >"$work/sample.txt"
    [ -s "$work/sample.txt" ] || fail "no sample listing found in $guide"
    diff "$work/sample.txt" "$work/guide-sample.txt" >"$work/diff.txt" \
        || fail "the guide's sample is not what the check writes on the demo registry (< guide, > check): $(cat "$work/diff.txt")"
}

guest_cases=("all three control sets" "the guide's sample")
run_case "all three control sets" check_case "ControlSet001 ControlSet002 CurrentControlSet"
run_case "ControlSet002 missing" check_case "ControlSet001 CurrentControlSet"
run_case "the guide's sample" guide_sample_case

check_guest_cases_ran
if [ "$failures" -ne 0 ]; then
    echo "companions: $failures check(s) failed" >&2
    exit 1
fi
echo "companions: all checks passed"
