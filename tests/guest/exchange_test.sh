#!/usr/bin/env bash
# The emulated guest's exchange folder (scripts/guest/request.sh and serve.sh), with the guest's request
# loop run on this machine in the guest's place: requests that need no Wine. A request cut short before
# it was whole (its program could not be copied, or its caller was interrupted) must not leave the
# guest waiting for it while later requests queue behind.
# usage: exchange_test.sh SCRIPTS_DIR
set -euo pipefail
scripts=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/exchange-test.XXXXXX")
export WINEPREFIX=$work/prefix TMPDIR=$work
exchange=$WINEPREFIX.guest
mkdir -p "$WINEPREFIX" "$exchange/requests"
cp "$scripts/guest/serve.sh" "$exchange/"
printf 'exchange=%q\nprefix=%q\n' "$exchange" "$WINEPREFIX" > "$exchange/guest.conf"

bash "$exchange/serve.sh" "$exchange" >"$work/serve.log" 2>&1 &
serve=$!
echo "$serve" > "$exchange/qemu.pid"
trap 'kill "$serve" 2>/dev/null || true; rm -rf "$work"' EXIT
for ((waited = 0; waited < 100; waited++)); do
    [ ! -s "$exchange/ready" ] || break
    sleep 0.1
done
[ -s "$exchange/ready" ] || { echo "the request loop did not start: $(cat "$work/serve.log")" >&2; exit 1; }

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
# expect STATUS WHAT COMMAND...: the command answers with the status within a few seconds.
expect() {
    local expected=$1 what=$2 status=0
    shift 2
    GUEST_REQUEST_SECONDS=10 "$@" >"$work/said.txt" 2>&1 || status=$?
    [ "$status" = "$expected" ] || fail "$what: status $status, expected $expected: $(cat "$work/said.txt")"
}

expect 0 "a release" "$scripts/guest/request.sh" release
expect 1 "a program that cannot be copied" "$scripts/guest/request.sh" run "$work/no-such-program.exe"
expect 0 "a release after the request cut short" "$scripts/guest/request.sh" release
expect 2 "an unknown request" "$scripts/guest/request.sh" sing
expect 0 "a release after an unknown request" "$scripts/guest/request.sh" release
expect 0 "a power-off" "$scripts/guest/request.sh" poweroff
for ((waited = 0; waited < 100; waited++)); do
    kill -0 "$serve" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$serve" 2>/dev/null; then
    fail "the request loop did not end at the power-off"
elif ! wait "$serve"; then
    fail "the request loop ended with status $?: $(cat "$work/serve.log")"
fi

# A run cut short may leave the registry marked as the guest's with no guest left: stopping the guest
# that is not there hands it back to this machine, so that the next prefix can be made.
rm -f "$exchange/qemu.pid"
echo guest > "$exchange/registry-holder"
expect 0 "stopping a guest that is not there" "$scripts/guest/stop.sh"
expect 0 "the registry to this machine after that" "$scripts/guest/registry-to.sh" machine

if [ "$failures" -ne 0 ]; then
    echo "exchange: $failures check(s) failed" >&2
    exit 1
fi
echo "exchange: all checks passed"
