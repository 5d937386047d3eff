#!/usr/bin/env bash
# Stops the emulated guest booted for WINEPREFIX, if one runs: asks it to power off (its wineserver
# writes the registry back first), and ends its qemu, by the process id start.sh recorded, only if it
# does not.
# usage: stop.sh   (with WINEPREFIX set)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
exchange=${WINEPREFIX%/}.guest

# No exchange folder: no guest was ever booted for this prefix.
[ -d "$exchange" ] || exit 0
pid=$(cat "$exchange/qemu.pid" 2>/dev/null || echo none)
# Only the qemu of this exchange folder: the id may have been given to another process since. Its
# options name the folder with each comma written twice (see start.sh).
ours() {
    { tr '\0' '\n' < "/proc/$pid/cmdline"; } 2>/dev/null | grep -qF "path=${exchange//,/,,},"
}
if ours; then
    GUEST_REQUEST_SECONDS=60 "$here/request.sh" poweroff >/dev/null 2>&1 || true
    waited=0
    while ours && [ "$waited" -lt 300 ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
    if ours; then
        echo "guest: did not power off; ending its qemu (process $pid)" >&2
        kill "$pid"
    fi
fi
rm -f "$exchange/qemu.pid" "$exchange/ready"
# Powering off wrote the registry back: it is the machine's again. With no guest left (a run cut short
# left the registry marked as the guest's), what the prefix holds is all there is, and it is the
# machine's too.
echo machine > "$exchange/registry-holder"
