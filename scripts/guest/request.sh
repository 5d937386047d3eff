#!/usr/bin/env bash
# The machine's side of the exchange folder (see serve.sh): leaves one request for the guest, waits for
# its answer, and passes on the program's output and exit status as if the program had run here.
# Standard input is not passed: the guest's programs read none.
# usage: request.sh run PROGRAM.exe [ARGUMENT...] | request.sh release | request.sh poweroff
#        (with WINEPREFIX set; the guest is the one scripts/guest/start.sh booted for it)
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix the guest was booted for}"
exchange=${WINEPREFIX%/}.guest
verb=${1:?usage: request.sh run PROGRAM.exe [ARGUMENT...] | release | poweroff}
shift
# Long enough for the slowest program of the tests on a loaded machine, short enough to end a hang.
limit=${GUEST_REQUEST_SECONDS:-600}

[ -s "$exchange/ready" ] || { echo "guest: no guest is serving $exchange (scripts/guest/start.sh boots one)" >&2; exit 1; }

# One request at a time, numbered in the order the guest takes them.
exec 9>"$exchange/requests.lock"
flock 9
last=$(cat "$exchange/requests/last" 2>/dev/null || echo 0)
if [ -d "$exchange/requests/$last" ] && [ ! -e "$exchange/requests/$last/command" ]; then
    # The last request was cut short before it was whole (its program could not be copied, or its
    # caller was interrupted): the guest still waits for that number, so this request takes it.
    number=$last
    rm -rf "$exchange/requests/$last"
else
    number=$((last + 1))
fi
request=$exchange/requests/$number
mkdir -p "$request"
echo "$number" > "$exchange/requests/last"

environment=() arguments=()
if [ "$verb" = run ]; then
    program=${1:?usage: request.sh run PROGRAM.exe [ARGUMENT...]}
    shift
    # The guest sees the machine's files, but not what lies under /tmp here; a copy in the request's
    # folder, under the program's own name, it always sees.
    cp "$program" "$request/"
    arguments=("./${program##*/}" "$@")
    for name in WINEDEBUG LANG LC_ALL LC_CTYPE; do
        [ -z "${!name+set}" ] || environment+=("$name=${!name}")
    done
fi
# Bash text that sets an array: NAME=(WORD ...), each word quoted.
array() {
    local name=$1
    shift
    printf '%s=(' "$name"
    [ $# -eq 0 ] || printf ' %q' "$@"
    printf ' )\n'
}
# Output to /dev/full or /dev/null here goes to the same device there, so that a program sees a full
# disk as it would here; any other output comes back through the request's folder, a terminal's too
# (the guest has none of this machine's terminals).
output_device=$(readlink "/proc/$$/fd/1" 2>/dev/null) || true
case $output_device in
    /dev/full|/dev/null) ;;
    *) output_device="" ;;
esac
{
    printf 'verb=%q\n' "$verb"
    printf 'output_device=%q\n' "$output_device"
    array environment "${environment[@]}"
    array arguments "${arguments[@]}"
} > "$request/command.new"
mv "$request/command.new" "$request/command"

waited=0 started=$SECONDS
while [ ! -s "$request/status" ]; do
    if ! kill -0 "$(cat "$exchange/qemu.pid")" 2>/dev/null; then
        # A power-off is answered just before the guest stops.
        [ ! -s "$request/status" ] || break
        echo "guest: the guest stopped before answering request $number ($verb); its console:" >&2
        tail -n 20 "$exchange/console.log" >&2
        exit 1
    fi
    if [ "$waited" -ge $((limit * 20)) ]; then
        echo "guest: no answer to request $number ($verb ${arguments[*]}) in $limit s" >&2
        exit 1
    fi
    sleep 0.05
    waited=$((waited + 1))
done
cat "$request/stdout"
cat "$request/stderr" >&2
status=$(cat "$request/status")
rm -rf "$request"
# What ran in the guest, and for how long, for whoever wonders where a test's time went.
echo "$number $verb ${arguments[*]} -> $status after $((SECONDS - started)) s" >> "$exchange/requests.log"
exit "$status"
