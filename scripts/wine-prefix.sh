#!/usr/bin/env bash
# Prepares a fresh Wine prefix, or stops the wineserver of one: only that prefix's, never another's.
# usage: wine-prefix.sh init|stop PREFIX
set -euo pipefail

if [ $# -ne 2 ] || { [ "$1" != init ] && [ "$1" != stop ]; }; then
    echo "usage: $0 init|stop PREFIX" >&2
    exit 2
fi
action=$1
export WINEPREFIX=$2 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

if [ "$action" = stop ]; then
    # Nothing to stop is fine: the server may already have exited by itself.
    if command -v wineserver >/dev/null; then
        wineserver -k 2>/dev/null || true
    fi
    exit 0
fi

for tool in wine wineboot wineserver; do
    if ! command -v "$tool" >/dev/null; then
        echo "wine-prefix: $tool not found; install Wine with scripts/install-deps.sh (as root)" >&2
        exit 1
    fi
done
rm -rf "$WINEPREFIX"
mkdir -p "$(dirname "$WINEPREFIX")"
if ! wineboot -i >"$WINEPREFIX.log" 2>&1; then
    cat "$WINEPREFIX.log" >&2
    echo "wine-prefix: Wine could not initialise $WINEPREFIX" >&2
    exit 1
fi
wineserver -w
