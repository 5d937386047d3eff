#!/usr/bin/env bash
# Installs what a command of this project needs on a Debian 12 machine, as root; quiet when all is there.
# usage: install-deps.sh [test|release|fresh-root]
#   test (default)  everything: the host toolchain with Ninja and ccache, GoogleTest, clang with its
#                   sanitizer and fuzzer runtimes, valgrind, mingw-w64 for i686 and x86-64, Wine
#                   (64-bit and 32-bit, with qemu, busybox-static and cpio for the emulated guest where
#                   this machine cannot run 32-bit code), Node.js and npm for the detection script's
#                   parse test, and what release does; and the two osslsigncode versions the
#                   signing tests run against (fetch-osslsigncode.sh).
#   release         only what building the program, packaging, signing and verifying need (cmake,
#                   make, mingw-w64 for i686, git, Python with pefile and asn1crypto, openssl,
#                   osslsigncode): no Wine, no clang, no valgrind, no GoogleTest.
#   fresh-root      only what scripts/in-fresh-debian.sh needs on this machine to make a Debian 12
#                   root and clone into it: debootstrap, Debian's archive keyring, git.
# It leaves the machine's apt policy as it found it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
profile=${1:-test}

# The Windows presets build with Makefiles, hence make.
release_packages=(cmake make git python3 python3-pefile python3-asn1crypto g++-mingw-w64-i686 binutils-mingw-w64-i686
                  openssl osslsigncode)
case $profile in
    release) packages=("${release_packages[@]}") ;;
    test) packages=("${release_packages[@]}" g++ ninja-build ccache googletest libgtest-dev clang llvm libclang-rt-14-dev valgrind
                    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64 libc6-i386)
          # Node.js and npm install and run the PowerShell grammar. Any node and npm on PATH will do:
          # a machine may carry a Node.js of its own whose package conflicts with Debian's npm.
          if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
              packages+=(nodejs npm)
          fi ;;
    fresh-root) packages=(debootstrap debian-archive-keyring git) ;;
    *) echo "usage: $0 [test|release|fresh-root]" >&2; exit 2 ;;
esac

missing() {
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || echo "$package"
    done
}

log=""
install() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "install-deps: missing $*; run this script as root to install them" >&2
        exit 1
    fi
    echo "install-deps: installing $*" >&2
    [ -n "$log" ] || log=$(mktemp "${TMPDIR:-/tmp}/install-deps.XXXXXX")
    if ! DEBIAN_FRONTEND=noninteractive apt-get update -qq >"$log" 2>&1; then
        echo "install-deps: apt-get update reported errors; trying anyway" >&2
    fi
    if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >>"$log" 2>&1; then
        tail -n 20 "$log" >&2
        echo "install-deps: could not install: $* (full log: $log)" >&2
        exit 1
    fi
    rm -f "$log"
    log=""
}

mapfile -t absent < <(missing "${packages[@]}")
[ ${#absent[@]} -eq 0 ] || install "${absent[@]}"

[ "$profile" = test ] || exit 0
"$here/fetch-osslsigncode.sh"
# The grammar the detection script's parse test reads it with, from the npm registry.
"$here/install-powershell-grammar.sh"
# 32-bit Wine, for the shipped 32-bit program's tests: run natively where this machine can run 32-bit
# code, else in the emulated guest (scripts/guest/), which also needs qemu, a static busybox and cpio for
# its initramfs, and the kernel it boots, fetched and unpacked into the build folder, never installed.
# The probe's override changes what the tests try, never what is installed.
source "$here/wine-env.sh"
RUN_X86_32="" x86_32_way || exit 2
if [ "$x86_32" = native ]; then
    mapfile -t absent < <(missing wine32:i386)
else
    mapfile -t absent < <(missing wine32:i386 qemu-system-x86 busybox-static cpio)
fi
if [ ${#absent[@]} -ne 0 ]; then
    if [ "$(id -u)" -eq 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    install "${absent[@]}"
fi
[ "$x86_32" = native ] || "$here/guest/make-boot-files.sh" >/dev/null
