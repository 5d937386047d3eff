#!/usr/bin/env bash
# Runs a Windows program, or a script that runs Windows programs, under the Wine that fits an image of
# the given architecture: the CTest emulator of the windows presets. Where this machine cannot run
# 32-bit x86 code, an i686 run is skipped (status 77, which CTest reports as skipped) with the reason.
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

if [ "$arch" = i686 ]; then
    status=0
    reason=$("$here/can-run-x86-32.sh") || status=$?
    case $status in
        0) ;;
        1) echo "SKIPPED: the 32-bit image needs 32-bit Wine, and $reason"; exit 77 ;;
        *) exit 2 ;;
    esac
fi
source "$here/wine-env.sh"
wine_for "$arch" "$WINEPREFIX"
case $1 in
    *.exe) exec wine "$@" ;;
    *) exec "$@" ;;
esac
