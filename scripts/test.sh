#!/usr/bin/env bash
# Builds every preset and runs every test: the host tests against the in-memory registry (also under
# valgrind), the mutation run over them, the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer with a bounded fuzzer run, and the Windows tests under Wine against Wine's
# registry. Installs what it lacks first (as root).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
run_preset() {
    echo "== $1"
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" -j"$(nproc)"
    ctest --preset "$1"
}
run_preset host
# Every listed fault in the pass, the sweep and the stand-in registry must fail the host tests.
echo "== mutants"
scripts/mutants.sh
run_preset host-sanitize
run_preset windows
