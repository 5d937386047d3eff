#!/usr/bin/env bash
# Builds every preset and runs every test: the host tests against the in-memory registry (also under
# valgrind), the same under AddressSanitizer and UndefinedBehaviorSanitizer with a bounded fuzzer run,
# and the Windows tests under Wine against Wine's registry. Installs what it lacks first (as root).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
for preset in host host-sanitize windows; do
    echo "== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"$(nproc)"
    ctest --preset "$preset"
done
