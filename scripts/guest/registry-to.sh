#!/usr/bin/env bash
# Hands the prefix's registry to the side that runs the next program: `machine` (wine64 here) or
# `guest`. Only one wineserver may hold it at a time, since each writes all of it back when it stops;
# the one that holds it is stopped, writing it into the prefix, and the other reads it when it starts.
# A key's access control is lost on the way, as it is never written to the prefix. Its callers,
# wine.sh and wineserver.sh, hold the prefix's turn (turn.sh), so that no program runs on the side it
# stops.
# usage: registry-to.sh machine|guest   (with WINEPREFIX set)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
holder=${WINEPREFIX%/}.guest/registry-holder

case ${1:-} in
    machine|guest) ;;
    *) echo "usage: $0 machine|guest" >&2; exit 2 ;;
esac
[ "$(cat "$holder" 2>/dev/null || echo machine)" != "$1" ] || exit 0
if [ "$1" = guest ]; then
    # The server ends its processes, writes the registry and exits (see wine_server_stop in
    # wine-env.sh).
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    /usr/lib/wine/wineserver -w
else
    "$here/request.sh" release
fi
echo "$1" > "$holder"
