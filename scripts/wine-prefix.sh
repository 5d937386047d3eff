#!/usr/bin/env bash
# Prepares a fresh Wine prefix, or stops the wineserver of one: only that prefix's, never another's.
# Where 32-bit programs run in the emulated guest (WINE_GUEST is set), the prefix gets the guest's
# 32-bit DLLs and the guest is booted with it, and stopped with it.
# usage: wine-prefix.sh init|stop   (in the environment wine_for of scripts/wine-env.sh sets)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if [ $# -ne 1 ] || { [ "$1" != init ] && [ "$1" != stop ]; }; then
    echo "usage: $0 init|stop" >&2
    exit 2
fi
: "${WINEPREFIX:?WINEPREFIX must name the prefix}" "${WINEARCH:?WINEARCH must name its architecture}"

if [ "$1" = stop ]; then
    # Nothing to stop is fine: the server may already have exited by itself.
    if command -v wineserver >/dev/null; then
        wineserver -k 2>/dev/null || true
        wineserver -w 2>/dev/null || true
    fi
    [ -z "${WINE_GUEST:-}" ] || "$here/guest/stop.sh"
    # Debian's Wine keeps its server's socket in a folder of TMPDIR it names in the prefix's file
    # `wineserver`, and leaves the folder there when the server ends: one more in TMPDIR per prefix.
    if [ -f "$WINEPREFIX/wineserver" ]; then
        server_folder=$(cat "$WINEPREFIX/wineserver")
        [[ ! $server_folder =~ ^wine-[[:alnum:]]+$ ]] || rm -rf "${TMPDIR:-/tmp}/$server_folder"
    fi
    exit 0
fi

for tool in wine wineserver; do
    if ! command -v "$tool" >/dev/null; then
        echo "wine-prefix: $tool not found; install Wine with scripts/install-deps.sh (as root)" >&2
        exit 1
    fi
done
[ -z "${WINE_GUEST:-}" ] || "$here/guest/stop.sh"
rm -rf "$WINEPREFIX"
mkdir -p "$(dirname "$WINEPREFIX")"
if ! wine wineboot -i >"$WINEPREFIX.log" 2>&1; then
    cat "$WINEPREFIX.log" >&2
    echo "wine-prefix: Wine ($WINEARCH) could not initialise $WINEPREFIX" >&2
    exit 1
fi
wineserver -w
if [ -n "${WINE_GUEST:-}" ]; then
    "$here/guest/link-syswow64.sh"
    "$here/guest/start.sh"
fi
