# Shared by the tests that run the program and its companions under Wine on seeded control sets: the
# names of the class keys, the prefix's registry put back after every case and at the end, the class
# keys exported for comparison, and failures counted per case. Source it in a prepared WINEPREFIX.
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
# the control set) is imported for every present set as UTF-16 .reg text (the only encoding reg import
# takes non-ASCII names from); absent sets lose their class key.
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
            { printf '\xff\xfe'; sed "s/\\\\SET\\\\/\\\\$set\\\\/; s/\$/\r/" "$seeds/$text" | iconv -f UTF-8 -t UTF-16LE; } \
                > "$work/seed.reg"
            wine reg import "$(windows_path "$work/seed.reg")" >/dev/null 2>&1 || fail "could not import $text into $set"
        done
    done
}
