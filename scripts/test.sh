#!/usr/bin/env bash
# Builds every preset and runs every test, the cheapest stages first so that a broken change fails in
# seconds: the host tests against the in-memory registry; the pass and the stand-in under valgrind;
# the same tests under AddressSanitizer and UndefinedBehaviorSanitizer with a bounded fuzzer run; the
# program's 64-bit twin under 64-bit Wine; the shipped 32-bit program's checks and its tests under
# 32-bit Wine (natively, or in the emulated guest where this machine cannot run 32-bit code, or skipped
# with the reason); last the mutation run over the host tests, the longest stage. Each preset is built
# once. Installs what it lacks first (as root), and ends, pass or fail, with the time of each stage, a
# line saying how each image ran and one for each osslsigncode version the signing tests ran against.
set -euo pipefail
cd "$(dirname "$0")/.."

stage_times=()
images=""
started=$SECONDS
print_times() {
    [ ${#stage_times[@]} -gt 0 ] || return 0
    echo "Stage times:"
    printf '  %s\n' "${stage_times[@]}"
    echo "  total: $((SECONDS - started)) s"
    [ -z "$images" ] || echo "$images"
    [ -z "$signing" ] || signing_summary
}
# Which osslsigncode versions the signing tests ran against, as each test that ran left its version.
signing=''
signing_summary() {
    local suite
    for suite in bookworm bookworm-backports; do
        if [ -f "build/osslsigncode/$suite/tested" ]; then
            echo "Signed and verified with osslsigncode $(cat "build/osslsigncode/$suite/tested")."
        elif [ -f "build/osslsigncode/$suite/UNAVAILABLE" ]; then
            echo "Not signed with osslsigncode from $suite: $(cat "build/osslsigncode/$suite/UNAVAILABLE")."
        else
            echo "Not signed with osslsigncode from $suite: its signing test did not pass."
        fi
    done
}
trap print_times EXIT
# stage NAME COMMAND...: runs one stage and records how long it took.
stage() {
    local name=$1 stage_started=$SECONDS status=0
    shift
    echo "== $name"
    "$@" || status=$?
    stage_times+=("$name: $((SECONDS - stage_started)) s$([ "$status" -eq 0 ] || echo " (failed)")")
    return "$status"
}
build_preset() {
    cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j"$(nproc)"
}
# The host tests are independent processes: one per core. The Wine tests run one at a time whatever
# CTest is told, as each is marked to.
host_tests() {
    ctest --preset "$1" --parallel "$(nproc)"
}

# Every scratch file goes to a folder of this run's own, which must be empty again at the end: a test
# that leaves files behind fills a maintainer's /tmp run after run.
export TMPDIR=$PWD/build/tmp
rm -rf "$TMPDIR" && mkdir -p "$TMPDIR"
nothing_left_in_tmpdir() {
    local left
    left=$(find "$TMPDIR" -mindepth 1 -maxdepth 1)
    [ -z "$left" ] || { echo "left in TMPDIR ($TMPDIR):"; echo "$left"; return 1; }
}

stage install-deps scripts/install-deps.sh
stage "host build" build_preset host
stage "host tests" host_tests host
stage host-memcheck host_tests host-memcheck
stage "host-sanitize build" build_preset host-sanitize
stage "host-sanitize tests" host_tests host-sanitize
stage "windows64 build" build_preset windows64
stage "windows64 tests" ctest --preset windows64
source scripts/wine-env.sh
x86_32_way || exit 2
programs="UsbResetOnResume.exe, UsbResetOnResumeCheck.exe and UsbResetOnResumeUndo.exe"
case $x86_32 in
    native) shipped="ran as the shipped 32-bit images under 32-bit Wine on this machine" ;;
    guest) shipped="ran as the shipped 32-bit images under 32-bit Wine in the emulated guest" ;;
    none) echo "The 32-bit images' Wine tests are skipped: $x86_32_reason"
          shipped="did not run as the shipped 32-bit images, their Wine tests skipped ($x86_32_reason)" ;;
esac
stage "windows build" build_preset windows
# Said once the images are built, which is when the line is true.
images="Under Wine, $programs $shipped, and as their 64-bit twins under 64-bit Wine on this machine."
rm -f build/osslsigncode/*/tested
signing=yes
stage "windows tests" ctest --preset windows
# Every listed fault in the pass, the sweep and the stand-in registry must fail the host tests.
stage mutants scripts/mutants.sh
stage "nothing left in TMPDIR" nothing_left_in_tmpdir
