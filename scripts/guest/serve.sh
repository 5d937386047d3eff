#!/usr/bin/env bash
# The emulated guest's side of the exchange folder: runs the requests the machine leaves there, one at
# a time and in order. Request N is the folder requests/N; its file `command` (written last) sets
# `verb` and, to run a program, `environment` and `arguments` (the program is copied into the folder).
# `output_device`, when set, is the device the program writes its output to instead.
# The answer is `stdout`, `stderr` and, written last, `status`, which the machine waits to hold a line.
#   run       the 32-bit program under 32-bit Wine, with this guest's wineserver started first if
#             need be and kept running (a key's access control lives only in the running server)
#   release   stops the wineserver, which writes the registry back into the prefix for the machine
#   poweroff  releases, answers and ends the loop, as a quarter of an hour without a request does
#             (a test run that was cut short leaves no guest behind for long)
# usage: serve.sh EXCHANGE_FOLDER   (in the guest, as the prefix's owner; the folder is the exchange
#        mounted uncached, guest.conf's `exchange` the same folder cached, where programs are run from)
set -u
direct=$1
source "$direct/guest.conf"
# wineboot starts Wine's services with every new wineserver, which costs half a minute under
# emulation; the programs tested here need none of them, and the prefix was made on the machine.
export WINEPREFIX=$prefix WINELOADER=/usr/lib/wine/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;wineboot.exe=d"
server_running=no

release() {
    if [ "$server_running" = yes ]; then
        /usr/lib/wine/wineserver -k
        /usr/lib/wine/wineserver -w
        server_running=no
    fi
}

# A pipe nobody writes to: reading it with a time-out waits without starting a process.
mkfifo "${TMPDIR:-/tmp}/idle"
exec 3<>"${TMPDIR:-/tmp}/idle"
echo ready > "$direct/ready"

number=1 idle=0
while :; do
    request=$direct/requests/$number
    if [ ! -e "$request/command" ]; then
        read -r -t 0.1 -u 3
        idle=$((idle + 1))
        if [ "$idle" -ge 9000 ]; then
            release
            exit 0
        fi
        continue
    fi
    idle=0
    verb="" output_device="" environment=() arguments=()
    source "$request/command"
    case $verb in
        run)
            if [ "$server_running" = no ]; then
                /usr/lib/wine/wineserver -p
                server_running=yes
            fi
            (cd "$exchange/requests/$number" && exec env "${environment[@]}" /usr/lib/wine/wine "${arguments[@]}") \
                </dev/null >"${output_device:-$request/stdout}" 2>"$request/stderr"
            status=$?
            ;;
        release|poweroff)
            release >"$request/stdout" 2>"$request/stderr"
            status=$?
            ;;
        *)
            echo "serve: unknown request '$verb'" >"$request/stderr"
            status=2
            ;;
    esac
    # Both streams are answered, even where nothing was written to them.
    touch "$request/stdout" "$request/stderr"
    echo "$status" > "$request/status"
    [ "$verb" != poweroff ] || exit 0
    number=$((number + 1))
done
