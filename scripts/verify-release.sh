#!/usr/bin/env bash
# Tells whether a signed UsbResetOnResume.exe is exactly what these sources build, and who signed it:
# it must carry exactly one signature, which verifies, uses SHA-256 and, where it is time-stamped, has a
# time-stamp that verifies; nothing the signer did not sign may ride along (a data blob, certificates
# beyond the signer's chain); the file without it must be the reproducible build byte for byte; and that
# build with the file's signature attached must give the signed file back byte for byte. Revocation is
# not checked: osslsigncode is kept off the network.
#
# usage: verify-release.sh [--ca CERTS.pem] [--tsa-ca CERTS.pem] [--unsigned PROGRAM.exe | --sources DIR] [--] SIGNED.exe
#   --ca CERTS.pem        the certificates to trust: the signer's own, a CA's above it, or its root,
#                         whatever issued them (default: the system's CAs)
#   --tsa-ca CERTS.pem    the root of the time-stamp authority, if it is a private one (default: the system's)
#   --unsigned PROGRAM    compare with this program instead of building one
#   --sources DIR         build from this checkout (default: the one holding this script) into
#                         DIR/build/verify; a fresh clone of the release's tag is the honest choice
# Exit status: 0 the signed file is these sources' program, 1 it is not (or cannot be checked), 2 usage.
set -euo pipefail

usage() {
    sed -n '9,16s/^# \{0,1\}//p' "$0" >&2
    exit 2
}
me=verify-release interrupted_outcome='no verdict'
# shellcheck source-path=SCRIPTDIR source=release-helpers.sh
. "$(dirname "$0")/release-helpers.sh"

ca='' tsa_ca='' unsigned='' sources='' argument=''
parse_command_line "--ca --tsa-ca --unsigned --sources" "" "$@"
signed=$argument
[ -n "$signed" ] || usage
[ -z "$unsigned" ] || [ -z "$sources" ] || usage

tools=(osslsigncode openssl)
[ -n "$unsigned" ] || tools+=(cmake git i686-w64-mingw32-g++)
require_tools "${tools[@]}"
require_file() {
    [ -e "$1" ] || die "$1: no such file"
    [ -f "$1" ] || die "$1 is not a file"
}
for file in "$signed" ${ca:+"$ca"} ${tsa_ca:+"$tsa_ca"}; do
    require_file "$file"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/verify-release.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap interrupted INT TERM
# Every check reads the same bytes, whatever happens to the file meanwhile.
cp "$signed" "$work/signed.exe"

if [ -z "$unsigned" ]; then
    sources=${sources:-"$release_scripts/.."}
    sources=$(cd "$sources" && pwd)
    [ -f "$sources/CMakePresets.json" ] || die "$sources: not a checkout of UsbResetOnResume"
    # The verdict names the commit, and whatever in the checkout is not as the commit has it.
    if changes=$(tree_changes "$sources"); then
        state="at commit $(git -C "$sources" rev-parse --verify -q HEAD || echo none)"
        [ -z "$changes" ] || state="$state, dirty: ${changes//$'\n'/, }"
    else
        state="(git names no commit: $(head -n 1 <<<"$changes"))"
    fi
    echo "building $sources $state into $sources/build/verify ..."
    # The windows preset is what the release is built with; the tests are not part of the program.
    # Configured afresh, so that settings left in the folder by an earlier run do not change the program.
    (cd "$sources" && in_build_environment cmake --preset windows -B build/verify --fresh -DBUILD_TESTING=OFF \
        && in_build_environment cmake --build build/verify --target UsbResetOnResume) >"$work/build.log" 2>&1 \
        || { cat "$work/build.log" >&2; die "the build failed"; }
    unsigned=$sources/build/verify/UsbResetOnResume.exe
    verdict="the program these sources build"
else
    verdict="the given program $unsigned"
fi
require_file "$unsigned"

# The signature's certificates, one file each, where there is a signature to take them from.
if osslsigncode_local extract-signature -pem -in "$work/signed.exe" -out "$work/signature.pem" >/dev/null 2>&1; then
    openssl pkcs7 -in "$work/signature.pem" -print_certs 2>/dev/null | split_certificates "$work/set"
else
    mkdir "$work/set"
fi

# --ca: each certificate in it is trusted whatever issued it. osslsigncode takes only a self-signed
# certificate as the end of a chain unless one is marked trusted in itself (OpenSSL's TRUSTED
# CERTIFICATE), which makes a CA under a root an end; and it never ends a chain at the signer's own
# certificate, so the signature's certificate that issued it is marked too. That trusts more than
# --ca names; the signer's chain is held to --ca as given further down.
trust=()
if [ -n "$ca" ]; then
    split_certificates "$work/ca" <"$ca"
    : >"$work/trusted.pem"
    for given in "$work"/ca/*.pem; do
        [ -f "$given" ] || continue
        openssl x509 -in "$given" -addtrust anyExtendedKeyUsage >>"$work/trusted.pem"
        for carried in "$work"/set/*.pem; do
            [ -f "$carried" ] && issued "$carried" "$given" || continue
            openssl x509 -in "$carried" -addtrust anyExtendedKeyUsage >>"$work/trusted.pem"
        done
    done
    trust=(-CAfile "$work/trusted.pem")
fi

# osslsigncode's report, read line by line rather than trusted by its exit status: it succeeds when any
# one of several signatures verifies, and when the signature verifies but its time-stamp does not. The
# lines relied on read the same in osslsigncode 2.5 and 2.9.
status=0
osslsigncode_verify "${trust[@]}" ${tsa_ca:+-TSA-CAfile "$tsa_ca"} -in "$work/signed.exe" >"$work/verify.log" 2>&1 \
    || status=$?
report() {  # the report's lines that match an extended regular expression
    grep -E "$1" "$work/verify.log" || true
}
show_failures() {
    report 'no signature|mismatch|failed|error' | sort -u | sed 's/^/  /' >&2
}

# A signature osslsigncode passes over because its table, as the header places it, does not end where
# the file does: bytes after it that no signature covers, or a table that claims more than the file holds.
table_fault() {
    local file=$work/signed.exe pe magic directories start length end size
    pe=$(od -An -tu4 -j60 -N4 "$file" | tr -d ' ')
    magic=$(od -An -tu2 -j$((${pe:-0} + 24)) -N2 "$file" | tr -d ' ')
    # The security directory is the fifth of the optional header's data directories.
    directories=$((${pe:-0} + 24 + (${magic:-0} == 0x20b ? 112 : 96)))
    start=$(od -An -tu4 -j$((directories + 32)) -N4 "$file" | tr -d ' ')
    length=$(od -An -tu4 -j$((directories + 36)) -N4 "$file" | tr -d ' ')
    end=$((${start:-0} + ${length:-0})) size=$(stat -c %s "$file")
    if [ "${length:-0}" = 0 ]; then
        return
    elif [ "$end" -lt "$size" ]; then
        echo "$signed has $((size - end)) bytes after its signature, which no signature covers"
    elif [ "$end" -gt "$size" ]; then
        echo "$signed: its signature's table runs $((end - size)) bytes past the end of the file"
    fi
}
if [ -n "$(report '^No signature found')" ]; then
    fault=$(table_fault)
    [ -z "$fault" ] || die "$fault"
    die "$signed is not signed"
fi
# Windows judges the primary signature alone; a second one, nested or not, is for nobody to trust.
signatures=$(report '^Signature Index: ' | wc -l)
[ "$signatures" != 0 ] || { show_failures; die "$signed is not a Windows program osslsigncode can read"; }
[ "$signatures" = 1 ] || die "$signed carries $signatures signatures; only a file with exactly one is accepted"
# The signature's text description is the signer's own, printed as it is, line ends and all, so the
# lines below could be forged in it: a report with one of them twice, or with two kinds of time-stamp
# section, is not read at all.
for once in '^Signature verification: ' '^Timestamp Server Signature verification: ' '^Timestamp Verified by:' \
        '^[[:space:]]*Timestamp time: ' '^(Timestamp is not available|Countersignatures:|The signature is timestamped: )'; do
    [ "$(report "$once" | wc -l)" -le 1 ] \
        || die "$signed: osslsigncode's report cannot be read safely: the signature's text description repeats its lines"
done

if [ "$status" != 0 ] || [ "$(report '^Signature verification: ')" != "Signature verification: ok" ]; then
    show_failures
    die "$signed: the signature does not verify${ca:+ against $ca}"
fi
# The file's digest and the signer's digest over it.
digests=$(report '^Message digest algorithm *: ' | sed 's/^[^:]*: *//' | sort -u)
[ "$digests" = SHA256 ] || die "$signed is signed with digest $(paste -sd/ <<<"$digests"); only SHA-256 is accepted"
[ -z "$(report '^Unauthenticated Data Blob')" ] \
    || die "$signed carries content the signer did not sign: a data blob beside the signature"

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
# Whatever else it says, a report that tells of a failed check or a mismatch rejects the file.
if [ -n "$(report '[Ff]ailed|[Mm]ismatch')" ]; then
    show_failures
    die "$signed: osslsigncode reports a failed check"
fi

# The signature's certificate set lies outside what the signer signed, so anyone can add to it. Only
# the signer's certificate belongs there, and each certificate whose signature is on one already found.
[ -f "$work/signature.pem" ] || die "$signed: osslsigncode could not extract the signature"
signer_serial=$(awk '/Signer #0:/ { found = 1 } found && /Serial *:/ { print $NF; exit }' "$work/verify.log")
chain=() others=()
for certificate in "$work"/set/*.pem; do
    [ -f "$certificate" ] || continue
    if [ ${#chain[@]} = 0 ] && [ "$(openssl x509 -in "$certificate" -noout -serial)" = "serial=$signer_serial" ]; then
        chain=("$certificate")
    else
        others+=("$certificate")
    fi
done
[ ${#chain[@]} = 1 ] || die "$signed: the signer's certificate is not in the signature"
issued_one_found() {  # CERTIFICATE: whether its key signed one of the chain's certificates
    local found
    for found in "${chain[@]}"; do
        ! issued "$1" "$found" || return 0
    done
    return 1
}
while [ ${#others[@]} != 0 ]; do
    remaining=()
    for certificate in "${others[@]}"; do
        if issued_one_found "$certificate"; then chain+=("$certificate"); else remaining+=("$certificate"); fi
    done
    [ ${#remaining[@]} != ${#others[@]} ] || break
    others=("${remaining[@]}")
done
if [ ${#others[@]} != 0 ]; then
    strangers=$(for certificate in "${others[@]}"; do
        openssl x509 -in "$certificate" -noout -subject -nameopt compat | sed 's/^subject=//'; done | paste -sd, -)
    die "$signed carries certificates that are not the signer's chain: $strangers"
fi
# The trust osslsigncode was given was wider than --ca; the signer's own certificate must be one of
# those in --ca, or reach one through the certificates the signature carries.
if [ -n "$ca" ]; then
    cat "${chain[@]}" >"$work/chain.pem"
    openssl verify -no_check_time -partial_chain -CAfile "$ca" -untrusted "$work/chain.pem" "${chain[0]}" >/dev/null 2>&1 \
        || die "$signed: the signature does not verify against $ca: its signer ($signer) is none of its certificates, nor issued under one"
fi

osslsigncode_local remove-signature -in "$work/signed.exe" -out "$work/unsigned.exe" >"$work/remove.log" 2>&1 \
    || { cat "$work/remove.log" >&2; die "$signed: osslsigncode could not remove the signature"; }
if ! difference=$(cmp "$work/unsigned.exe" "$unsigned" 2>&1); then
    die "$signed without its signature is not $verdict ($unsigned): $difference"
fi

# The rest outside the signed digest (the header's checksum, the bytes around the signature) is checked
# by rebuilding the signed file from the build and the file's detached signature. attach-signature
# verifies what it attaches, and 2.9 fetches revocation lists to do so, with no way to stop it: it is
# given no certificate to trust, so it fails at once after writing, and only the bytes it writes count.
osslsigncode_local extract-signature -in "$work/signed.exe" -out "$work/signature.der" >/dev/null 2>&1 \
    || die "$signed: osslsigncode could not extract the signature"
osslsigncode_local attach-signature -sigin "$work/signature.der" -CAfile /dev/null -TSA-CAfile /dev/null \
    -in "$unsigned" -out "$work/attached.exe" >"$work/attach.log" 2>&1 || true
[ -f "$work/attached.exe" ] || { cat "$work/attach.log" >&2; die "osslsigncode could not attach the signature to $unsigned"; }
if ! difference=$(cmp "$work/attached.exe" "$work/signed.exe" 2>&1); then
    die "$signed differs from the build with its own signature attached: $difference"
fi

echo "OK: $signed is $verdict, signed"
[ -z "${state-}" ] || echo "  sources: $sources $state"
echo "  signer:  $signer"
echo "  issuer:  $issuer"
echo "  digest:  $digests"
echo "  time-stamp: $time_stamp"
[ -z "$authority" ] || echo "    by the authority whose certificate is $authority"
echo "  revocation: not checked (no revocation list is fetched)"
echo "  program: $(sha256sum "$unsigned" | cut -d' ' -f1)  (without the signature)"
echo "  signed:  $(sha256sum "$work/signed.exe" | cut -d' ' -f1)"
