# Sourced by wine.sh and wineserver.sh, which it runs again holding the prefix's turn: one program at
# a time in the prefix, on either side, since handing the registry over stops the other side's
# wineserver, and with it any program still running there. flock holds the turn, not the program, so
# that a wineserver the program starts does not keep it; a program's own calls of these scripts
# (which inherit WINE_GUEST_TURN) go on in its turn. So never pipe one `wine` call into another: the
# one without the turn would wait for the other, which waits for it.
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
if [ -z "${WINE_GUEST_TURN:-}" ]; then
    mkdir -p "${WINEPREFIX%/}.guest"
    WINE_GUEST_TURN=held exec flock -o "${WINEPREFIX%/}.guest/turn.lock" "$0" "$@"
fi
