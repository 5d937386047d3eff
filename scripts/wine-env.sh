# Wine for one Windows image, sourced by every script that runs Windows code: how this machine runs
# 32-bit code, the loader that fits the image, a prefix of the caller's own, the prefix's registry
# saved and put back, and paths as Windows sees them.
#   x86_32_way             Sets x86_32 to native, guest (the emulated guest of scripts/guest/) or none,
#                          and x86_32_reason to the probe's line (scripts/can-run-x86-32.sh).
#   wine_for ARCH PREFIX   ARCH is the image's: i686 (the shipped program, 32-bit Wine) or x86_64
#                          (its 64-bit twin, 64-bit Wine). Exports Wine's settings and puts a `wine` and
#                          a `wineserver` for this prefix first on PATH, so scripts need not know the
#                          image or where it runs. Where 32-bit programs run in the emulated guest, the
#                          prefix is a 64-bit one that wine64 here seeds and reads, WINE_GUEST names the
#                          guest's exchange folder, and scripts/wine-prefix.sh boots and stops the guest.

wine_env_scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

x86_32_way() {
    local status=0
    x86_32_reason=$("$wine_env_scripts/can-run-x86-32.sh") || status=$?
    case $status in
        0) x86_32=native ;;
        3) x86_32=guest ;;
        1) x86_32=none ;;
        *) return 2 ;;
    esac
}

wine_for() {
    local arch=$1 loader package prefix_arch wine wineserver=/usr/lib/wine/wineserver
    case $arch in
        i686)
            x86_32_way || return
            case $x86_32 in
                native) loader=/usr/lib/wine/wine package=wine32:i386 prefix_arch=win32 ;;
                guest) loader=/usr/lib/wine/wine64 package=wine64 prefix_arch=win64 ;;
                none) echo "wine-env: the i686 image cannot run here: $x86_32_reason" >&2; return 1 ;;
            esac ;;
        x86_64) loader=/usr/lib/wine/wine64 package=wine64 prefix_arch=win64 ;;
        *) echo "wine-env: unknown image architecture '$arch' (i686 or x86_64)" >&2; return 2 ;;
    esac
    if [ ! -x "$loader" ]; then
        echo "wine-env: $loader not found: the $arch image needs the package $package, which" \
             "scripts/install-deps.sh installs (as root)" >&2
        return 1
    fi
    # WINELOADER is the loader Wine starts further Windows processes with (cmd, reg, a script's tools).
    export WINEPREFIX=${2%/} WINEARCH=$prefix_arch WINELOADER=$loader WINEDEBUG=-all \
           WINEDLLOVERRIDES="mscoree,mshtml="
    wine=$loader
    unset WINE_GUEST
    if [ "$arch" = i686 ] && [ "$x86_32" = guest ]; then
        export WINE_GUEST=$WINEPREFIX.guest
        wine=$wine_env_scripts/guest/wine.sh wineserver=$wine_env_scripts/guest/wineserver.sh
    fi
    local shim=$WINEPREFIX.bin
    mkdir -p "$shim"
    # Scripts, not links: the loader finds its own files by the name it was started under.
    printf '#!/bin/sh\nexec %q "$@"\n' "$wine" > "$shim/wine"
    printf '#!/bin/sh\nexec %q "$@"\n' "$wineserver" > "$shim/wineserver"
    chmod +x "$shim/wine" "$shim/wineserver"
    case ":$PATH:" in *":$shim:"*) ;; *) export PATH="$shim:$PATH" ;; esac
}

# import_reg_template TEMPLATE SET: .reg text whose keys say SET for the control set, imported for the
# control set SET as UTF-16 .reg text (the only encoding reg import takes non-ASCII names from).
import_reg_template() {
    local converted status=0
    converted=$(mktemp "${TMPDIR:-/tmp}/reg-template.XXXXXX") || return
    { printf '\xff\xfe'; sed "s/\\\\SET\\\\/\\\\$2\\\\/; s/\$/\r/" "$1" | iconv -f UTF-8 -t UTF-16LE; } >"$converted"
    wine reg import "$(windows_path "$converted")" >/dev/null 2>&1 || status=$?
    rm -f "$converted"
    return "$status"
}

windows_path() {
    echo "Z:${1//\//\\}"
}

# Stops the prefix's wineserver, if one runs, once it has written the registry into the prefix:
# `wineserver -k` makes it end its Windows processes, write the registry and exit. (SIGTERM alone
# writes it but leaves Wine's services running without a server, holding whatever output they were
# given; SIGINT alone, -k2, was followed by lost writes on the 64-bit twin's tests.)
wine_server_stop() {
    wineserver -k 2>/dev/null || true
    wineserver -w
}

# The registry lives in the prefix's system.reg once the server has written it out and stopped.
wine_registry_save() {
    wineserver -w
    cp "$WINEPREFIX/system.reg" "$1"
}

wine_registry_restore() {
    wine_server_stop
    cp "$1" "$WINEPREFIX/system.reg"
}

# The image to run under Wine: the shipped 32-bit program, natively or in the emulated guest, else
# its 64-bit twin; with `native-speed` (for timing), never the emulated guest. Sets image_arch and
# image_preset and says in one line which image, and why.
choose_wine_image() {
    x86_32_way || return
    if [ "${1:-}" = native-speed ] && [ "$x86_32" = guest ]; then
        x86_32=none x86_32_reason="32-bit x86 code runs here only emulated, not at native speed"
    fi
    case $x86_32 in
        native|guest) image_arch=i686 image_preset=windows
           echo "Image: the shipped 32-bit program, under 32-bit Wine ($x86_32_reason)." ;;
        none) image_arch=x86_64 image_preset=windows64
           echo "Image: the program's 64-bit twin (the same sources built for x86-64, not shipped), under 64-bit Wine, since $x86_32_reason." ;;
    esac
}
