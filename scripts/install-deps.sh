#!/usr/bin/env bash
# Installs what building and testing the program needs on a Debian 12 machine, as root:
# the host toolchain, GoogleTest, clang with its sanitizer and fuzzer runtimes, valgrind, mingw-w64
# for i686, 32-bit Wine, Python with pefile, and openssl with osslsigncode for signing. Quiet when all
# is there.
set -euo pipefail

packages=(cmake g++ googletest libgtest-dev clang llvm libclang-rt-14-dev valgrind git python3 python3-pefile
          g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386 openssl osslsigncode)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
        || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing ${missing[*]}; run this script as root to install them" >&2
    exit 1
fi

# The mirror's i386 index of the security suite can fail to download, which leaves amd64 and i386
# builds of shared libraries at different versions and Wine uninstallable; preferring the main
# suite keeps both architectures on the same versions.
preferences=/etc/apt/preferences.d/usb-reset-on-resume-security
if [ ! -f "$preferences" ]; then
    printf 'Package: *\nPin: release n=bookworm-security\nPin-Priority: 400\n' > "$preferences"
fi
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi

echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >/dev/null || echo "install-deps: apt-get update reported errors; trying anyway" >&2
if ! apt-get install -y -qq --no-install-recommends "${missing[@]}" >/tmp/install-deps.log 2>&1; then
    tail -n 20 /tmp/install-deps.log >&2
    echo "install-deps: could not install: ${missing[*]} (full log: /tmp/install-deps.log)" >&2
    exit 1
fi
