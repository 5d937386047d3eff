#!/usr/bin/env bash
# Runs a Windows program, or a script that runs Windows programs, under the Wine that fits an image of
# the given architecture: the CTest emulator of the windows presets. A 32-bit image runs under 32-bit
# Wine on this machine, or in the emulated guest where this machine cannot run 32-bit code (the `wine`
# that wine_for puts first on PATH sends it there); where neither can, the run is skipped (status 77,
# which CTest reports as skipped) with the reason.
# usage: under-wine.sh i686|x86_64 PROGRAM.exe|SCRIPT [ARGUMENT...]   (with WINEPREFIX set)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -lt 2 ]; then
    echo "usage: $0 i686|x86_64 PROGRAM.exe|SCRIPT [ARGUMENT...]" >&2
    exit 2
fi
arch=$1
shift
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"

source "$here/wine-env.sh"
if [ "$arch" = i686 ]; then
    x86_32_way || exit 2
    if [ "$x86_32" = none ]; then
        echo "SKIPPED: the 32-bit image needs 32-bit Wine, and $x86_32_reason"
        exit 77
    fi
fi
wine_for "$arch" "$WINEPREFIX"
case $1 in
    *.exe) exec wine "$@" ;;
    *) exec "$@" ;;
esac
