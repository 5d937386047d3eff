#!/usr/bin/env bash
# Tells whether a signed UsbResetOnResume.exe is exactly what these sources build, and who signed it:
# the signature must verify, the file without it must be the reproducible build byte for byte, and
# that build with the file's signature attached must give the signed file back byte for byte.
#
# usage: verify-release.sh [--ca CERTS.pem] [--unsigned PROGRAM.exe | --sources DIR] SIGNED.exe
#   --ca CERTS.pem        the certificates to trust: the signer's own, or its CA (default: the system's)
#   --unsigned PROGRAM    compare with this build instead of building one
#   --sources DIR         build from this checkout (default: the one holding this script) into
#                         DIR/build/verify; a fresh clone of the release's tag is the honest choice
# Exit status: 0 the signed file is these sources' program, 1 it is not (or cannot be checked), 2 usage.
set -euo pipefail

usage() {
    sed -n '6,11s/^# \{0,1\}//p' "$0" >&2
    exit 2
}
die() {
    echo "verify-release: $*" >&2
    exit 1
}

ca='' unsigned='' sources='' signed=''
while [ $# -gt 0 ]; do
    case $1 in
        --ca|--unsigned|--sources)
            [ $# -ge 2 ] || usage
            printf -v "${1#--}" '%s' "$2"
            shift 2 ;;
        -h|--help) usage ;;
        -*) echo "verify-release: unknown option $1" >&2; usage ;;
        *) [ -z "$signed" ] || usage; signed=$1; shift ;;
    esac
done
[ -n "$signed" ] || usage
[ -z "$unsigned" ] || [ -z "$sources" ] || usage

command -v osslsigncode >/dev/null || die "osslsigncode not found; install it with scripts/install-deps.sh (as root)"
[ -f "$signed" ] || die "$signed: no such file"
[ -z "$ca" ] || [ -f "$ca" ] || die "$ca: no such file"

if [ -z "$unsigned" ]; then
    sources=${sources:-"$(dirname "$0")/.."}
    sources=$(cd "$sources" && pwd)
    [ -f "$sources/CMakeLists.txt" ] || die "$sources: not a checkout of UsbResetOnResume"
    build=$sources/build/verify
    echo "building $sources ($(git -C "$sources" describe --always --dirty 2>/dev/null || echo "not a git checkout")) into $build ..."
    cmake -S "$sources" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$sources/cmake/mingw-w64-i686.cmake" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF >"$build.log" 2>&1 \
        && cmake --build "$build" --target UsbResetOnResume >>"$build.log" 2>&1 \
        || { cat "$build.log" >&2; die "the build failed"; }
    unsigned=$build/UsbResetOnResume.exe
fi
[ -f "$unsigned" ] || die "$unsigned: no such file"

work=$(mktemp -d "${TMPDIR:-/tmp}/verify-release.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The signature: the digest it signs matches the file, the signer's key made it, and the certificate
# chains to one that is trusted.
if ! osslsigncode verify ${ca:+-CAfile "$ca"} -in "$signed" >"$work/verify.log" 2>&1; then
    ! grep -q 'No signature found' "$work/verify.log" || die "$signed is not signed"
    grep -iE 'no signature|mismatch|failed|error' "$work/verify.log" | sort -u | sed 's/^/  /' >&2 || true
    die "$signed: the signature does not verify${ca:+ against $ca}"
fi
# The first signer block of osslsigncode's report names the subject and the issuer.
signer=$(awk '/Signer #0:/ { found = 1 } found && /Subject:/ { sub(/^[ \t]*Subject: */, ""); print; exit }' "$work/verify.log")
digest=$(awk -F': *' '/^Message digest algorithm/ { print $2; exit }' "$work/verify.log")
issuer=$(awk '/Signer #0:/ { found = 1 } found && /Issuer *:/ { sub(/^[ \t]*Issuer *: */, ""); print; exit }' "$work/verify.log")

osslsigncode remove-signature -in "$signed" -out "$work/unsigned.exe" >"$work/remove.log" 2>&1 \
    || { cat "$work/remove.log" >&2; die "$signed: osslsigncode could not remove the signature"; }
if ! difference=$(cmp "$work/unsigned.exe" "$unsigned" 2>&1); then
    die "$signed without its signature is not the program these sources build ($unsigned): $difference"
fi

# Everything outside the signed digest (the header's checksum, the signature's own bytes) is checked
# by rebuilding the signed file from the build and the file's detached signature.
osslsigncode extract-signature -in "$signed" -out "$work/signature.der" >/dev/null 2>&1 \
    || die "$signed: osslsigncode could not extract the signature"
osslsigncode attach-signature -sigin "$work/signature.der" ${ca:+-CAfile "$ca"} -in "$unsigned" \
    -out "$work/attached.exe" >"$work/attach.log" 2>&1 || true
[ -f "$work/attached.exe" ] || { cat "$work/attach.log" >&2; die "osslsigncode could not attach the signature to $unsigned"; }
if ! difference=$(cmp "$work/attached.exe" "$signed" 2>&1); then
    die "$signed differs from the build with its own signature attached: $difference"
fi

echo "OK: $signed is the program these sources build, signed"
echo "  signer:  $signer"
echo "  issuer:  $issuer"
echo "  digest:  $digest"
echo "  program: $(sha256sum "$unsigned" | cut -d' ' -f1)  (without the signature)"
echo "  signed:  $(sha256sum "$signed" | cut -d' ' -f1)"
