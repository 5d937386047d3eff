# Shared by the tests that run the program and its companions under Wine on seeded control sets: the
# names of the class keys, the prefix's registry put back after every case and at the end, the class
# keys exported for comparison, keys that refuse access, the programs run and their listings read,
# and failures counted per case. Source it in a prepared WINEPREFIX, with `helper` set to the registry
# helper built for the image under test.
guid='{36FC9E60-C465-11CF-8056-444553540000}'
control_sets=(ControlSet001 ControlSet002 CurrentControlSet)
work=$(mktemp -d "${TMPDIR:-/tmp}/wine-registry-case.XXXXXX")
failures=0

fail() {
    echo "FAIL ($case_name): $*" >&2
    failures=$((failures + 1))
}

class_key() {
    echo "HKLM\\SYSTEM\\$1\\Control\\Class\\$guid"
}

# The helper that seeds runs on this machine: the image's own build, except where the 32-bit programs
# run in the emulated guest, whose machine side is wine64; then the helper's x86-64 build, which the
# windows preset makes beside the 32-bit one. What must happen where the programs run (restrict) uses
# the image's own build.
seeder=$helper
[ -z "${WINE_GUEST:-}" ] || seeder=${helper%.exe}-x86_64.exe

# Where the 32-bit programs run in the emulated guest each run takes seconds, so there a script that
# sets guest_cases runs only the cases it names, chosen so that the programs still run end to end.
# run_case NAME FUNCTION [ARGUMENT...]: FUNCTION ARGUMENT... as the case NAME, or a line saying why not.
cases_run=()
run_case() {
    case_name=$1
    shift
    if [ -n "${WINE_GUEST:-}" ] && [ -n "${guest_cases+set}" ] \
       && ! printf '%s\n' "${guest_cases[@]}" | grep -qxF "$case_name"; then
        echo "($case_name: not run in the emulated guest)"
        return
    fi
    cases_run+=("$case_name")
    "$@"
}

# Every name in guest_cases must be a case that ran, on every machine: a name that no longer matches
# one would leave the emulated guest running fewer cases than chosen, or none, and passing.
check_guest_cases_ran() {
    [ -n "${guest_cases+set}" ] || return 0
    local name
    for name in "${guest_cases[@]}"; do
        if ! printf '%s\n' "${cases_run[@]}" | grep -qxF "$name"; then
            case_name=$name
            fail "named in guest_cases, but no case of that name ran"
        fi
    done
}

# The registry is put back as it was after every case and at the end, as the other Wine tests expect.
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/wine-env.sh"
wine_registry_save "$work/pristine-system.reg"
restore_registry() {
    wine_registry_restore "$work/pristine-system.reg"
}
trap 'restore_registry; rm -rf "$work"' EXIT

# One file per control set: the class key exported as text, or "missing".
export_class_keys() {
    local into=$1
    mkdir -p "$into"
    for set in "${control_sets[@]}"; do
        if wine reg export "$(class_key "$set")" "$(windows_path "$into/$set.utf16")" /y >/dev/null 2>&1; then
            iconv -f UTF-16 -t UTF-8 "$into/$set.utf16" | tr -d '\r' > "$into/$set.reg"
        else
            echo missing > "$into/$set.reg"
        fi
    done
}

# seed_templates "SETS PRESENT" TEMPLATE...: each template in $seeds (.reg text whose keys say SET for
# the control set) is imported for every present set; absent sets lose their class key.
seed_templates() {
    local present=$1
    shift
    restore_registry
    for set in "${control_sets[@]}"; do
        if [[ " $present " != *" $set "* ]]; then
            wine reg delete "$(class_key "$set")" /f >/dev/null 2>&1 || true
            continue
        fi
        for text in "$@"; do
            import_reg_template "$seeds/$text" "$set" || fail "could not import $text into $set"
        done
    done
}

# restrict KEY SDDL [KEY SDDL...]: each key (below HKLM) gets the access control list its SDDL string
# spells, in the wineserver that runs the programs next: the helper runs where they run. Wine enforces
# such a list but never writes it to the prefix, so that server is kept running until unrestrict or
# the next restore_registry (in the emulated guest, the guest keeps its own running).
restrict() {
    if [ -z "${WINE_GUEST:-}" ]; then
        wine_server_stop
        wineserver -p
    fi
    # To a file, not through a pipe: the services this first program starts in the new server keep
    # whatever output it was given open as long as the server runs.
    wine "$helper" access "$@" >"$work/restrict.txt" 2>&1 \
        || fail "could not restrict $* (status $?): $(cat "$work/restrict.txt")"
}

# Ends the server that holds the lists, which writes the registry back without them.
unrestrict() {
    wine_server_stop
}

# run NAME PROGRAM.exe EXPECTED_STATUS: its output, CR removed, in $work/NAME.txt; nothing on standard
# error.
run() {
    local status=0
    wine "$2" </dev/null >"$work/$1.raw" 2>"$work/$1.err" || status=$?
    tr -d '\r' <"$work/$1.raw" >"$work/$1.txt"
    [ "$status" = "$3" ] || fail "$1: exit status $status, expected $3: $(cat "$work/$1.txt")"
    [ ! -s "$work/$1.err" ] || fail "$1 wrote to standard error: $(head -c 200 "$work/$1.err")"
}

# "SET|WHAT|NAME" for each instance line of a companion's listing: the name is all after the first ": ".
instance_lines() {
    awk '/^[^ ]/ { set = $0; sub(/:.*/, "", set); next }
         /^  / { line = substr($0, 3); i = index(line, ": ")
                 if (i) print set "|" substr(line, 1, i - 1) "|" substr(line, i + 2); else print set "|" line }' "$1"
}
