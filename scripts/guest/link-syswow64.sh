#!/usr/bin/env bash
# Gives a 64-bit prefix what 32-bit Wine loads from: wine64 leaves drive_c/windows/syswow64 empty
# where this machine cannot run 32-bit code, so it gets a link to each 32-bit builtin DLL and program
# that Wine's i386 package installs. The guest follows the links into its view of this machine's root.
# usage: link-syswow64.sh   (with WINEPREFIX set, after wineboot made the prefix)
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
files=$(dpkg -L libwine:i386 2>/dev/null) || true
builtins=$(grep '/i386-windows$' <<<"$files") \
    || { echo "link-syswow64: libwine:i386 lists no i386-windows folder; install wine32:i386" >&2; exit 1; }
syswow64=$WINEPREFIX/drive_c/windows/syswow64
mkdir -p "$syswow64"
ln -sf "$builtins"/* "$syswow64/"
