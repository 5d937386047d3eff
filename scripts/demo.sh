#!/usr/bin/env bash
# Builds the three programs and runs them under Wine on a demo registry, the end-to-end tests' control
# set (tests/end_to_end/control_sets.reg.txt) in each of the three, as an administrator would: the
# check, the program, the check again, the undo and the check once more, each with its listing and its
# exit status. What the demo shows is the product's own output; it reads the registry no other way.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
source scripts/wine-env.sh
choose_wine_image
cmake --preset "$image_preset" >/dev/null
cmake --build --preset "$image_preset" --target UsbResetOnResume UsbResetOnResumeCheck UsbResetOnResumeUndo \
    -j"$(nproc)" >/dev/null

echo "Preparing a fresh Wine prefix in build/demo ..."
wine_for "$image_arch" "$PWD/build/demo/wine-prefix"
scripts/wine-prefix.sh init
trap 'scripts/wine-prefix.sh stop' EXIT
for set in ControlSet001 ControlSet002 CurrentControlSet; do
    import_reg_template tests/end_to_end/control_sets.reg.txt "$set"
done

# step TITLE PROGRAM EXPECTED_STATUS: runs one program as an administrator would, under its heading,
# and says its exit status; the demo fails if the status is not the one the step expects.
step() {
    local status=0
    echo
    echo "== $1: $2"
    wine "build/$image_preset/$2" </dev/null || status=$?
    echo "== $2 exited with status $status"
    if [ "$status" != "$3" ]; then
        echo "demo: expected status $3 from $2" >&2
        exit 1
    fi
}

step "Before" UsbResetOnResumeCheck.exe 1
step "The program" UsbResetOnResume.exe 0
step "After" UsbResetOnResumeCheck.exe 0
step "Taking it back" UsbResetOnResumeUndo.exe 0
step "After the undo" UsbResetOnResumeCheck.exe 1
