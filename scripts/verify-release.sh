#!/usr/bin/env bash
# Tells whether a signed UsbResetOnResume.exe is exactly what these sources build, and who signed it:
# it must carry exactly one signature, which verifies, uses SHA-256 and, where it is time-stamped, has a
# time-stamp that verifies; the file without it must be the reproducible build byte for byte; and that
# build with the file's signature attached must give the signed file back byte for byte.
#
# usage: verify-release.sh [--ca CERTS.pem] [--tsa-ca CERTS.pem] [--unsigned PROGRAM.exe | --sources DIR] SIGNED.exe
#   --ca CERTS.pem        the certificates to trust: the signer's own, or its CA (default: the system's)
#   --tsa-ca CERTS.pem    the root of the time-stamp authority, if it is a private one (default: the system's)
#   --unsigned PROGRAM    compare with this program instead of building one
#   --sources DIR         build from this checkout (default: the one holding this script) into
#                         DIR/build/verify; a fresh clone of the release's tag is the honest choice
# Exit status: 0 the signed file is these sources' program, 1 it is not (or cannot be checked), 2 usage.
set -euo pipefail

usage() {
    sed -n '7,13s/^# \{0,1\}//p' "$0" >&2
    exit 2
}
die() {
    echo "verify-release: $*" >&2
    exit 1
}

ca='' tsa_ca='' unsigned='' sources='' signed=''
while [ $# -gt 0 ]; do
    case $1 in
        --ca|--tsa-ca|--unsigned|--sources)
            [ $# -ge 2 ] || usage
            option=${1#--}
            printf -v "${option//-/_}" '%s' "$2"
            shift 2 ;;
        -h|--help) usage ;;
        -*) echo "verify-release: unknown option $1" >&2; usage ;;
        *) [ -z "$signed" ] || usage; signed=$1; shift ;;
    esac
done
[ -n "$signed" ] || usage
[ -z "$unsigned" ] || [ -z "$sources" ] || usage

# What it lacks is installed first (as root); a machine that has the tools is left alone.
tools=(osslsigncode)
[ -n "$unsigned" ] || tools+=(cmake git i686-w64-mingw32-g++)
for tool in "${tools[@]}"; do
    command -v "$tool" >/dev/null || { "$(dirname "$0")/install-deps.sh" release; break; }
done
for file in "$signed" ${ca:+"$ca"} ${tsa_ca:+"$tsa_ca"}; do
    [ -f "$file" ] || die "$file: no such file"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/verify-release.XXXXXX")
trap 'rm -rf "$work"' EXIT

if [ -z "$unsigned" ]; then
    sources=${sources:-"$(dirname "$0")/.."}
    sources=$(cd "$sources" && pwd)
    [ -f "$sources/CMakePresets.json" ] || die "$sources: not a checkout of UsbResetOnResume"
    echo "building $sources ($(git -C "$sources" describe --always --dirty 2>/dev/null || echo "not a git checkout")) into $sources/build/verify ..."
    # The windows preset is what the release is built with; the tests are not part of the program.
    (cd "$sources" && cmake --preset windows -B build/verify -DBUILD_TESTING=OFF \
        && cmake --build build/verify --target UsbResetOnResume) >"$work/build.log" 2>&1 \
        || { cat "$work/build.log" >&2; die "the build failed"; }
    unsigned=$sources/build/verify/UsbResetOnResume.exe
    verdict="the program these sources build"
else
    verdict="the given program $unsigned"
fi
[ -f "$unsigned" ] || die "$unsigned: no such file"

# osslsigncode's report, read line by line rather than trusted by its exit status: it succeeds when any
# one of several signatures verifies, and when the signature verifies but its time-stamp does not. The
# lines relied on read the same in osslsigncode 2.5 and 2.9.
status=0
osslsigncode verify ${ca:+-CAfile "$ca"} ${tsa_ca:+-TSA-CAfile "$tsa_ca"} -in "$signed" >"$work/verify.log" 2>&1 || status=$?
report() {  # the report's lines that match an extended regular expression
    grep -E "$1" "$work/verify.log" || true
}
show_failures() {
    report 'no signature|mismatch|failed|error' | sort -u | sed 's/^/  /' >&2
}

[ -z "$(report '^No signature found')" ] || die "$signed is not signed"
# Windows judges the primary signature alone; a second one, nested or not, is for nobody to trust.
signatures=$(report '^Signature Index: ' | wc -l)
[ "$signatures" != 0 ] || { show_failures; die "$signed is not a Windows program osslsigncode can read"; }
[ "$signatures" = 1 ] || die "$signed carries $signatures signatures; only a file with exactly one is accepted"

if [ "$status" != 0 ] || [ "$(report '^Signature verification: ')" != "Signature verification: ok" ]; then
    show_failures
    die "$signed: the signature does not verify${ca:+ against $ca}"
fi
# The file's digest and the signer's digest over it.
digests=$(report '^Message digest algorithm *: ' | sed 's/^[^:]*: *//' | sort -u)
[ "$digests" = SHA256 ] || die "$signed is signed with digest $(paste -sd/ <<<"$digests"); only SHA-256 is accepted"

signer=$(awk '/Signer #0:/ { found = 1 } found && /Subject:/ { sub(/^[ \t]*Subject: */, ""); print; exit }' "$work/verify.log")
issuer=$(awk '/Signer #0:/ { found = 1 } found && /Issuer *:/ { sub(/^[ \t]*Issuer *: */, ""); print; exit }' "$work/verify.log")

# A time-stamp: 2.9 reports it under "Countersignatures:", 2.5 as "The signature is timestamped:" with
# "Timestamp Verified by:"; both name the authority's certificate by its issuer and serial, and both
# end with the verification of the time-stamp's own signature.
authority=''
if [ -n "$(report '^Timestamp is not available')" ]; then
    time_stamp=none
else
    time_stamp=$(report '^[[:space:]]*(Timestamp time|The signature is timestamped): ' | head -n 1 | sed 's/^[^:]*: *//')
    authority=$(awk '/^(Countersignatures|Timestamp Verified by):/ { found = 1 }
        found && /Issuer *:/ { sub(/^[ \t]*Issuer *: */, ""); issuer = $0 }
        found && /Serial *:/ { sub(/^[ \t]*Serial *: */, ""); print "issued by " issuer ", serial " $0; exit }' "$work/verify.log")
    checks=$(report '^Timestamp Server Signature verification: ' | sort -u)
    if [ "$checks" != "Timestamp Server Signature verification: ok" ] || [ -z "$time_stamp" ] || [ -z "$authority" ]; then
        show_failures
        if [ -n "$tsa_ca" ]; then
            die "$signed: the time-stamp does not verify against $tsa_ca"
        fi
        die "$signed: the time-stamp does not verify (a private time-stamp authority's root is given with --tsa-ca)"
    fi
fi

osslsigncode remove-signature -in "$signed" -out "$work/unsigned.exe" >"$work/remove.log" 2>&1 \
    || { cat "$work/remove.log" >&2; die "$signed: osslsigncode could not remove the signature"; }
if ! difference=$(cmp "$work/unsigned.exe" "$unsigned" 2>&1); then
    die "$signed without its signature is not $verdict ($unsigned): $difference"
fi

# Everything outside the signed digest (the header's checksum, the signature's own bytes) is checked
# by rebuilding the signed file from the build and the file's detached signature.
osslsigncode extract-signature -in "$signed" -out "$work/signature.der" >/dev/null 2>&1 \
    || die "$signed: osslsigncode could not extract the signature"
osslsigncode attach-signature -sigin "$work/signature.der" ${ca:+-CAfile "$ca"} ${tsa_ca:+-TSA-CAfile "$tsa_ca"} \
    -in "$unsigned" -out "$work/attached.exe" >"$work/attach.log" 2>&1 || true
[ -f "$work/attached.exe" ] || { cat "$work/attach.log" >&2; die "osslsigncode could not attach the signature to $unsigned"; }
if ! difference=$(cmp "$work/attached.exe" "$signed" 2>&1); then
    die "$signed differs from the build with its own signature attached: $difference"
fi

echo "OK: $signed is $verdict, signed"
echo "  signer:  $signer"
echo "  issuer:  $issuer"
echo "  digest:  $digests"
echo "  time-stamp: $time_stamp"
[ -z "$authority" ] || echo "    by the authority whose certificate is $authority"
echo "  program: $(sha256sum "$unsigned" | cut -d' ' -f1)  (without the signature)"
echo "  signed:  $(sha256sum "$signed" | cut -d' ' -f1)"
