#!/usr/bin/env bash
# `wine` where the machine cannot run 32-bit code: a 32-bit program runs under 32-bit Wine in the
# emulated guest, anything else (reg, cmd, a 64-bit program) under wine64 here, each with the
# registry handed to its side first.
# usage: wine.sh PROGRAM [ARGUMENT...]   (in the environment wine_for of scripts/wine-env.sh sets)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/turn.sh"

if [ $# -ge 1 ] && [ -f "$1" ] && [ "$("$here/../windows_image.py" machine "$1" 2>/dev/null)" = i386 ]; then
    "$here/registry-to.sh" guest
    exec "$here/request.sh" run "$@"
fi
"$here/registry-to.sh" machine
# wineboot, which Wine starts with every new wineserver, set the prefix up when it was made; after
# that it would only start Wine's services again at every hand-over, which the registry tools need not.
if [ -e "$WINEPREFIX/system.reg" ]; then
    export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}wineboot.exe=d"
fi
exec /usr/lib/wine/wine64 "$@"
