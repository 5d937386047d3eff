#!/usr/bin/env bash
# Tells whether a signed UsbResetOnResume.exe is exactly what a commit of these sources builds, and who
# signed it: it must carry exactly one signature, which verifies, uses SHA-256, describes the program by
# its own name or not at all, names no link and, where time-stamped, has an RFC 3161 time-stamp that
# verifies; nothing the signer did not sign may ride along (an unsigned attribute, certificates beyond
# the signer's chain, bytes after the signature); the file without it must be the reproducible build
# byte for byte, and that build with the signature attached must give the signed file back byte for
# byte. Revocation is not checked: nothing is fetched from the network.
#
# usage: verify-release.sh [--ca CERTS] [--tsa-ca CERTS] [--unsigned PROGRAM.exe | --sources DIR] [--] SIGNED.exe
#   --ca CERTS            the certificates to trust (PEM, DER or a .p7b bundle): the signer's own, a
#                         CA's above it, or its root, whatever issued them (default: the system's CAs)
#   --tsa-ca CERTS        the root of the time-stamp authority, if it is a private one (default: the system's)
#   --unsigned PROGRAM    compare with this program instead of building one
#   --sources DIR         the checkout whose commit is built (default: the one holding this script); a
#                         clone of the release's tag is the honest choice
# Exit status: 0 the signed file is that commit's program, 1 it is not (or cannot be checked), 2 usage.
set -euo pipefail

usage() {
    sed -n '10,17s/^# \{0,1\}//p' "$0" >&2
    exit 2
}
me=verify-release
# shellcheck source-path=SCRIPTDIR source=release-helpers.sh
. "$(dirname "$0")/release-helpers.sh"

ca='' tsa_ca='' unsigned='' sources='' argument=''
parse_command_line "--ca --tsa-ca --unsigned --sources" "" "$@"
signed=$argument
[ -n "$signed" ] || usage
[ -z "$unsigned" ] || [ -z "$sources" ] || usage

tools=(openssl)
[ -n "$unsigned" ] || tools+=(cmake make git i686-w64-mingw32-g++)
require_tools "${tools[@]}"
for file in "$signed" ${ca:+"$ca"} ${tsa_ca:+"$tsa_ca"} ${unsigned:+"$unsigned"}; do
    [ -e "$file" ] || die "$file: no such file"
    [ -f "$file" ] || die "$file is not a file"
done
sources=${sources:-$release_scripts/..}
[ -n "$unsigned" ] || [ -d "$sources" ] || die "$sources: no such folder"

work=$(mktemp -d "${TMPDIR:-/tmp}/verify-release.XXXXXX") || die "cannot make a scratch folder in ${TMPDIR:-/tmp}"
trap 'rm -rf "$work"' EXIT
# Every check reads the same bytes, whatever happens to the file meanwhile.
cp -- "$signed" "$work/signed.exe"

# The commit is built in a folder of this run's own, outside the checkout: git reads nothing there but
# the commit's objects, and nothing the checkout holds or runs can reach the build or the comparison.
if [ -z "$unsigned" ]; then
    sources=$(cd -- "$sources" && pwd)
    [ -f "$sources/CMakePresets.json" ] || die "$sources: not a checkout of UsbResetOnResume"
    echo "building the commit checked out in $sources ..."
    build_commit "$sources" "$work/build" UsbResetOnResume
    unsigned=$work/build/UsbResetOnResume.exe
    verdict="the program commit $commit builds"
else
    verdict="the given program $unsigned"
fi

report=$("$windows_image" verify ${ca:+--ca "$ca"} ${tsa_ca:+--tsa-ca "$tsa_ca"} --verdict "$verdict" --shown-as "$signed" \
    -- "$unsigned" "$work/signed.exe" 2>"$work/refusal") || die "$(cat "$work/refusal")"
echo "OK: $signed is $verdict, signed"
[ -z "${commit-}" ] || echo "  sources: $sources at commit $commit (its committed files; the work tree is not read)"
sed 's/^/  /' <<<"$report"
echo "  revocation: not checked (no revocation list is fetched)"
echo "  program: $(sha256sum <"$unsigned" | cut -d' ' -f1)  (without the signature)"
echo "  signed:  $(sha256sum <"$work/signed.exe" | cut -d' ' -f1)"
