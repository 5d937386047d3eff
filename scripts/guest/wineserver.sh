#!/usr/bin/env bash
# `wineserver` where 32-bit programs run in the emulated guest: the machine's own, once the guest has
# handed the registry back, so that waiting for it or stopping it leaves the registry in the prefix.
# usage: wineserver.sh [OPTION...]   (in the environment wine_for of scripts/wine-env.sh sets)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# Waiting for the server or stopping it is a hand-over too, so it takes its turn.
source "$here/turn.sh"
"$here/registry-to.sh" machine
exec /usr/lib/wine/wineserver "$@"
