#!/usr/bin/env bash
# Benchmark: the program against the best batch script of reg query / reg add (reg_batch.cmd), under
# Wine on 3 control sets of 300 USB class instances each, run in turn and paired; the check and undo
# companions on the same instances; then the registry calls per instance, from the in-memory
# registry's record.
# usage: benchmark/run.sh [PAIRS]   (default 7)
set -euo pipefail
cd "$(dirname "$0")/.."
pairs=${1:-7}

scripts/install-deps.sh
source scripts/wine-env.sh
choose_wine_image native-speed
for preset in host "$image_preset"; do
    cmake --preset "$preset" >/dev/null
done
cmake --build --preset "$image_preset" --target UsbResetOnResume UsbResetOnResumeCheck UsbResetOnResumeUndo \
    -j"$(nproc)" >/dev/null
cmake --build --preset host --target registry_call_count -j"$(nproc)" >/dev/null

work=$PWD/build/benchmark
wine_for "$image_arch" "$work/wine-prefix"
scripts/wine-prefix.sh init
trap 'scripts/wine-prefix.sh stop' EXIT
usb_class='Control\Class\{36FC9E60-C465-11CF-8056-444553540000}'

# A third host controllers, a third hubs without "Controller", a third with "Controller" = 00.
{
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    for set in ControlSet001 ControlSet002 CurrentControlSet; do
        for ((i = 0; i < 300; i++)); do
            printf '[HKEY_LOCAL_MACHINE\\SYSTEM\\%s\\%s\\%04d]\r\n' "$set" "$usb_class" "$i"
            case $((i % 3)) in
                0) printf '"DriverDesc"="Standard Enhanced PCI to USB Host Controller"\r\n"Controller"=hex:01\r\n\r\n' ;;
                1) printf '"DriverDesc"="USB Root Hub"\r\n\r\n' ;;
                2) printf '"DriverDesc"="USB Composite Device"\r\n"Controller"=hex:00\r\n\r\n' ;;
            esac
        done
    done
} > "$work/instances.reg"

wine_registry_save "$work/pristine-system.reg"
fresh_registry() {
    wine_registry_restore "$work/pristine-system.reg"
    wine reg import "$(windows_path "$work/instances.reg")" >/dev/null 2>&1
}
export_all() {
    for set in ControlSet001 ControlSet002 CurrentControlSet; do
        wine reg export "HKLM\\SYSTEM\\$set\\$usb_class" "$(windows_path "$1.$set")" /y >/dev/null 2>&1
        iconv -f UTF-16 -t UTF-8 "$1.$set"
    done
}
program=(wine "build/$image_preset/UsbResetOnResume.exe")
batch=(wine cmd /c "$(windows_path "$PWD/benchmark/reg_batch.cmd")")

# Both must do the same job before their times mean anything.
fresh_registry
"${batch[@]}"
export_all "$work/after-batch" > "$work/after-batch.reg"
fresh_registry
"${program[@]}"
export_all "$work/after-program" > "$work/after-program.reg"
if ! cmp -s "$work/after-batch.reg" "$work/after-program.reg"; then
    echo "benchmark: the batch script and the program left different registries" >&2
    exit 1
fi

milliseconds() {
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s%N)
    echo $(((end - start) / 1000000))
}
median() {
    sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Every run rewrites the same values, so each starts from the same registry.
program_times=() batch_times=()
for ((pair = 1; pair <= pairs; pair++)); do
    program_times+=("$(milliseconds "${program[@]}")")
    batch_times+=("$(milliseconds "${batch[@]}")")
    echo "pair $pair: program ${program_times[-1]} ms, batch ${batch_times[-1]} ms"
done
program_median=$(printf '%s\n' "${program_times[@]}" | median)
batch_median=$(printf '%s\n' "${batch_times[@]}" | median)
echo "median of $pairs ($image_preset image): program $program_median ms, batch $batch_median ms;" \
     "the batch takes $(awk -v b="$batch_median" -v p="$program_median" 'BEGIN { printf "%.1f", b / p }') times as long"

# What the program costs before it does any work: the same runs on the prefix's own registry, which
# has no instances in ControlSet001 or ControlSet002 and few in CurrentControlSet.
wine_registry_restore "$work/pristine-system.reg"
# One run untimed: restoring the registry stopped the Wine server, whose start is not the program's.
"${program[@]}" >/dev/null 2>&1
start_times=()
for ((pair = 1; pair <= pairs; pair++)); do
    start_times+=("$(milliseconds "${program[@]}")")
done
echo "program on the prefix's own registry: median $(printf '%s\n' "${start_times[@]}" | median) ms" \
     "(${start_times[*]} ms)"

# The companions on the 900 instances: the check after the program, when it lists every one of the
# 300 controllers as applied; the undo each time on the 300 settings the program wrote just before.
check=(wine "build/$image_preset/UsbResetOnResumeCheck.exe")
undo=(wine "build/$image_preset/UsbResetOnResumeUndo.exe")
fresh_registry
"${program[@]}"
# A controller's line: its setting, then its device's description, if any, then its name.
applied=$("${check[@]}" | grep -c '^  controller, ForceHCResetOnResume REG_DWORD 0x1[,:] ' || true)
if [ "$applied" != 300 ]; then
    echo "benchmark: the check listed $applied controllers as applied, not 300" >&2
    exit 1
fi
check_times=() undo_times=()
for ((pair = 1; pair <= pairs; pair++)); do
    check_times+=("$(milliseconds "${check[@]}")")
    undo_times+=("$(milliseconds "${undo[@]}")")
    "${program[@]}"
done
echo "companions on 900 instances ($image_preset image): check median $(printf '%s\n' "${check_times[@]}" | median) ms" \
     "(${check_times[*]} ms), undo median $(printf '%s\n' "${undo_times[@]}" | median) ms (${undo_times[*]} ms)"

build/host/benchmark/registry_call_count
