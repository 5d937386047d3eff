#!/usr/bin/env bash
# Builds every preset and runs every test: the host tests against the in-memory registry, then under
# valgrind, the mutation run over them, the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer with a bounded fuzzer run, the shipped 32-bit program's checks and its
# tests under 32-bit Wine (natively, or in the emulated guest where this machine cannot run 32-bit
# code, or skipped with the reason), and the same Wine tests against the program's 64-bit twin under
# 64-bit Wine. Installs what it lacks first (as root).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
build_preset() {
    echo "== $1"
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" -j"$(nproc)"
}
build_preset host
ctest --preset host
echo "== host-memcheck"
ctest --preset host-memcheck
# Every listed fault in the pass, the sweep and the stand-in registry must fail the host tests.
echo "== mutants"
scripts/mutants.sh
build_preset host-sanitize
ctest --preset host-sanitize
build_preset windows
source scripts/wine-env.sh
x86_32_way || exit 2
case $x86_32 in
    native) shipped="the shipped 32-bit images under 32-bit Wine on this machine" ;;
    guest) shipped="the shipped 32-bit images under 32-bit Wine in the emulated guest" ;;
    none) echo "The 32-bit images' Wine tests are skipped: $x86_32_reason"
          shipped="the shipped 32-bit images not at all, their Wine tests skipped ($x86_32_reason)" ;;
esac
ctest --preset windows
build_preset windows64
ctest --preset windows64
echo "Windows code ran under Wine as $shipped, and as the 64-bit twins under 64-bit Wine on this machine."
