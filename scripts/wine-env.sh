# Wine for one Windows image, sourced by every script that runs Windows code: the loader that fits the
# image, a prefix of the caller's own, the prefix's registry saved and put back, and paths as Windows
# sees them.
#   wine_for ARCH PREFIX   ARCH is the image's: i686 (the shipped program, 32-bit Wine) or x86_64
#                          (its 64-bit twin, 64-bit Wine). Exports Wine's settings and puts a `wine`
#                          that runs this loader first on PATH, so scripts need not know the image.

wine_for() {
    local arch=$1 loader
    case $arch in
        i686) loader=/usr/lib/wine/wine; export WINEARCH=win32 ;;
        x86_64) loader=/usr/lib/wine/wine64; export WINEARCH=win64 ;;
        *) echo "wine-env: unknown image architecture '$arch' (i686 or x86_64)" >&2; return 2 ;;
    esac
    if [ ! -x "$loader" ]; then
        local package=wine64
        [ "$arch" = x86_64 ] || package=wine32:i386
        echo "wine-env: $loader not found: the $arch image needs the package $package, which" \
             "scripts/install-deps.sh installs (as root) where this machine can run that image" >&2
        return 1
    fi
    # WINELOADER is the loader Wine starts further Windows processes with (cmd, reg, a script's tools).
    export WINEPREFIX=${2%/} WINELOADER=$loader WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    local shim=$WINEPREFIX.bin
    mkdir -p "$shim"
    # A script, not a link: the loader finds its own files by the name it was started under.
    printf '#!/bin/sh\nexec %s "$@"\n' "$loader" > "$shim/wine"
    chmod +x "$shim/wine"
    case ":$PATH:" in *":$shim:"*) ;; *) export PATH="$shim:$PATH" ;; esac
}

windows_path() {
    echo "Z:${1//\//\\}"
}

# The registry lives in the prefix's system.reg once the server has written it out and stopped.
wine_registry_save() {
    wineserver -w
    cp "$WINEPREFIX/system.reg" "$1"
}

wine_registry_restore() {
    wineserver -k 2>/dev/null || true
    wineserver -w
    cp "$1" "$WINEPREFIX/system.reg"
}

# The image this machine can run under Wine: the shipped 32-bit program where 32-bit code runs, else
# its 64-bit twin. Sets image_arch and image_preset and says in one line which image, and why.
choose_wine_image() {
    local probe status=0
    probe=$("$(dirname "${BASH_SOURCE[0]}")/can-run-x86-32.sh") || status=$?
    case $status in
        0) image_arch=i686 image_preset=windows
           echo "Image: the shipped 32-bit program, under 32-bit Wine ($probe)." ;;
        1) image_arch=x86_64 image_preset=windows64
           echo "Image: the program's 64-bit twin (the same sources built for x86-64, not shipped), under 64-bit Wine, since $probe." ;;
        *) return 2 ;;
    esac
}
