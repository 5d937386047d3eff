#!/usr/bin/env bash
# Builds the program and runs it under Wine on a demo registry, the end-to-end tests' control set
# (tests/end_to_end/control_sets.reg.txt) in each of the three, showing the USB class instances
# before and after, and the exit status.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
source scripts/wine-env.sh
choose_wine_image
cmake --preset "$image_preset" >/dev/null
cmake --build --preset "$image_preset" --target UsbResetOnResume -j"$(nproc)" >/dev/null

echo "Preparing a fresh Wine prefix in build/demo ..."
wine_for "$image_arch" "$PWD/build/demo/wine-prefix"
scripts/wine-prefix.sh init
trap 'scripts/wine-prefix.sh stop' EXIT
for set in ControlSet001 ControlSet002 CurrentControlSet; do
    import_reg_template tests/end_to_end/control_sets.reg.txt "$set"
done

usb_class='Control\Class\{36FC9E60-C465-11CF-8056-444553540000}'

# One line per instance: its name, its "Controller" and "ForceHCResetOnResume" values, its description.
show() {
    echo
    echo "$1"
    for set in ControlSet001 ControlSet002 CurrentControlSet; do
        echo "  HKLM\\SYSTEM\\$set\\$usb_class"
        wine reg query "HKLM\\SYSTEM\\$set\\$usb_class" /s 2>/dev/null | tr -d '\r' | awk '
            function flush() {
                if (instance != "")
                    printf "    %-5s Controller=%-7s ForceHCResetOnResume=%-12s %s\n", instance, controller, flag, desc
            }
            /^HKEY_/ { flush(); n = split($0, parts, "\\"); instance = (parts[n] ~ /^\{/) ? "" : parts[n];
                       controller = "-"; flag = "-"; desc = "" }
            /^    / { split(substr($0, 5), field, "    ")
                      if (field[1] == "Controller") controller = field[3]
                      if (field[1] == "ForceHCResetOnResume") flag = field[2] == "REG_DWORD" ? field[3] : field[2] " " field[3]
                      if (field[1] == "DriverDesc") desc = field[3] }
            END { flush() }'
    done
}

show "Before:"
echo
status=0
wine "build/$image_preset/UsbResetOnResume.exe" || status=$?
echo "UsbResetOnResume.exe exited with status $status ($([ "$status" = 0 ] && echo "no write failed" || echo "a write failed in CurrentControlSet"))"
show "After (every instance whose Controller begins with 01 now has ForceHCResetOnResume = 0x1):"
