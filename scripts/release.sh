#!/usr/bin/env bash
# Builds the release package from these sources: build/windows/release/UsbResetOnResume-<version>-win32.zip
# and SHA256SUMS beside it. Installs what it lacks first (as root).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target release -j"$(nproc)" | grep -F 'win32.zip:'
