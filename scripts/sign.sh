#!/usr/bin/env bash
# Signs a program with the administrator's own code-signing certificate (Authenticode, SHA-256),
# writing a signed copy beside it; the unsigned program, the reproducible one, is never changed. The
# signature is described by the program's own name, from its version information.
#
# usage: sign.sh --pkcs12 FILE.p12 [OPTIONS] [PROGRAM.exe]
#        sign.sh --cert CERTS.pem --key KEY.pem [OPTIONS] [PROGRAM.exe]
#   CERTS.pem             the signer's certificate and those of the CAs above it, in any order
# options:
#   --password-file FILE  the password of the PKCS#12 file or of the key, on the first line of FILE
#                         (or in the environment variable SIGN_PASSWORD; never on the command line)
#   --timestamp URL       an RFC 3161 time-stamp server, so the signature outlives the certificate
#   --timestamp-timeout SECONDS
#                         how long to wait for the time-stamp server's answer (default: 60)
#   --tsa-ca CERTS.pem    the root of the time-stamp authority, if it is a private one (default: the
#                         system's); the time-stamp must verify against it, or nothing is signed
#   --output SIGNED.exe   where the signed copy goes (default: PROGRAM-signed.exe beside PROGRAM)
#   --force               replace SIGNED.exe if it exists
#   --                    the end of the options
# PROGRAM.exe defaults to build/windows/UsbResetOnResume.exe. Exit status: 0 signed, 1 not, 2 usage.
set -euo pipefail

usage() {
    sed -n '6,20s/^# \{0,1\}//p' "$0" >&2
    exit 2
}
me=sign interrupted_outcome='nothing was signed'
# shellcheck source-path=SCRIPTDIR source=release-helpers.sh
. "$(dirname "$0")/release-helpers.sh"

pkcs12='' cert='' key='' password_file='' timestamp='' timestamp_timeout=60 tsa_ca='' output='' force=''
argument="$(cd "$release_scripts/.." && pwd)/build/windows/UsbResetOnResume.exe"
parse_command_line "--pkcs12 --cert --key --password-file --timestamp --timestamp-timeout --tsa-ca --output" "--force" "$@"
program=$argument
if [ -n "$pkcs12" ]; then
    [ -z "$cert$key" ] || die "give either --pkcs12 or --cert with --key, not both"
else
    [ -n "$cert" ] && [ -n "$key" ] || usage
fi
[[ $timestamp_timeout =~ ^[1-9][0-9]*$ ]] || usage

# windres reads the program's version information, which names the signature.
require_tools osslsigncode openssl i686-w64-mingw32-windres
for file in "$program" ${pkcs12:+"$pkcs12"} ${cert:+"$cert"} ${key:+"$key"} ${password_file:+"$password_file"} \
        ${tsa_ca:+"$tsa_ca"}; do
    [ -e "$file" ] || die "$file: no such file"
    [ -f "$file" ] || die "$file is not a file"
done

# The password reaches openssl and osslsigncode through a pipe, never a command line or a file on disk.
# Two sources would leave it to a precedence rule which password unlocks the key; ask for one.
[ -z "${SIGN_PASSWORD-}" ] || [ -z "$password_file" ] \
    || die "both SIGN_PASSWORD and --password-file give a password; unset SIGN_PASSWORD or leave out --password-file"
password=${SIGN_PASSWORD-}
if [ -n "$password_file" ]; then
    IFS= read -r password <"$password_file" || true
    # A password file saved on Windows ends its line with CR LF.
    password=${password%$'\r'}
fi
password_pipe() {
    printf '%s' "$password"
}
# openssl and osslsigncode with the password appended; openssl reads none from an empty pipe, and an
# empty password is no secret.
openssl_with_password() {
    if [ -n "$password" ]; then openssl "$@" -passin file:<(password_pipe); else openssl "$@" -passin pass:; fi
}
osslsigncode_with_password() {
    if [ -n "$password" ]; then
        osslsigncode_bounded "$timestamp_timeout" "$@" -readpass <(password_pipe)
    else
        osslsigncode_bounded "$timestamp_timeout" "$@"
    fi
}
trap interrupted INT TERM

# osslsigncode's verdict on the program, whichever certificate is trusted: an unsigned Windows program
# reports that no signature was found, a signed one lists its signatures, and any other file neither.
verdict=$(osslsigncode_local verify -CAfile /dev/null -in "$program" 2>&1 || true)
if grep -q '^Signature Index:' <<<"$verdict"; then
    die "$program is signed already; sign the unsigned build"
elif ! grep -q '^No signature found' <<<"$verdict"; then
    die "$program is not a Windows program osslsigncode can sign"
fi
# Windows shows the signature's description in place of the file's name, in the elevation prompt
# among other places: each program is described by its own name, as its version information gives it.
description=$(i686-w64-mingw32-windres -i "$program" -O rc 2>/dev/null \
    | sed -n 's/^ *VALUE "InternalName", "\([[:alnum:]._ -]*\)"$/\1/p' | head -n 1 || true)
[ -n "$description" ] || die "$program has no version information naming it (InternalName), which names its signature"

[ -n "$output" ] || output="${program%.exe}-signed.exe"
[ ! -d "$output" ] && [ "${output%/}" = "$output" ] || die "$output is a folder; give --output the name of the signed copy"
output_dir=$(cd "$(dirname "$output")" 2>/dev/null && pwd) || die "$(dirname "$output"): no such folder"
output="$output_dir/$(basename "$output")"
[ "$(realpath "$program")" != "$(realpath -m "$output")" ] \
    || die "the signed copy must not replace $program, which is the file that verifies against the sources"
# A mistyped --output must not destroy what signing takes, even with --force.
for file in ${pkcs12:+"$pkcs12"} ${cert:+"$cert"} ${key:+"$key"} ${password_file:+"$password_file"} ${tsa_ca:+"$tsa_ca"}; do
    [ "$(realpath "$file")" != "$(realpath -m "$output")" ] || die "the signed copy must not replace $file"
done

work=$(mktemp -d "$output_dir/.sign.XXXXXX")
trap 'rm -rf "$work"' EXIT

subjects_of() {  # CERTIFICATE.pem...: their subjects, on one line
    local certificate list=''
    for certificate in "$@"; do list+="${list:+; }$(subject_of "$certificate")"; done
    echo "$list"
}
# Check what the administrator gave before signing, so each mistake gets its own message: first the
# signer's certificate, and the others given with it.
others=()
if [ -n "$pkcs12" ]; then
    pkcs12_certificates() {  # WHICH (-clcerts, the signer's; -cacerts, the rest) OUTPUT.pem
        openssl_with_password pkcs12 -in "$pkcs12" -nokeys "$1" -out "$2" 2>"$work/openssl.log" \
            || openssl_with_password pkcs12 -legacy -in "$pkcs12" -nokeys "$1" -out "$2" 2>>"$work/openssl.log"
    }
    if ! pkcs12_certificates -clcerts "$work/cert.pem"; then
        if grep -qiE 'mac verify|invalid password' "$work/openssl.log"; then
            die "$pkcs12: wrong password (give it with --password-file FILE or SIGN_PASSWORD)"
        fi
        die "$pkcs12: not a PKCS#12 file openssl can read: $(head -n 1 "$work/openssl.log")"
    fi
    pkcs12_certificates -cacerts "$work/cacerts.pem" || die "$pkcs12: openssl cannot read its CA certificates: $(head -n 1 "$work/openssl.log")"
    signer_pem=$work/cert.pem
    split_certificates "$work/given" <"$work/cacerts.pem"
    for certificate in "$work"/given/*.pem; do
        if [ -f "$certificate" ]; then others+=("$certificate"); fi
    done
    given=$pkcs12
else
    split_certificates "$work/given" <"$cert"
    [ -f "$work/given/1.pem" ] && openssl x509 -in "$work/given/1.pem" -noout 2>/dev/null || die "$cert: not a PEM certificate"
    if ! openssl_with_password pkey -in "$key" -pubout -out "$work/key-public.pem" 2>/dev/null; then
        die "$key: cannot read the private key: wrong password (give it with --password-file FILE or SIGN_PASSWORD), or not a PEM key"
    fi
    # A bundle may come in any order: the signer's certificate is the one whose key this is.
    signer_pem=''
    for certificate in "$work"/given/*.pem; do
        openssl x509 -in "$certificate" -noout -pubkey >"$work/cert-public.pem" 2>/dev/null || die "$cert: not a PEM certificate"
        if [ -z "$signer_pem" ] && cmp -s "$work/key-public.pem" "$work/cert-public.pem"; then
            signer_pem=$certificate
        else
            others+=("$certificate")
        fi
    done
    if [ -z "$signer_pem" ]; then
        die "$key is not the private key of any certificate in $cert: $(subjects_of "$work"/given/*.pem)"
    fi
    given=$cert
fi
subject=$(subject_of "$signer_pem")

# The chain the signature carries, from the signer's certificate up: Windows and verify-release.sh
# build the signer's path from it, and refuse certificates that belong to none. The top of a chain
# (the root) is what a verifier already trusts, so it may be left out; the signer's issuer may not.
chain=("$signer_pem")
while [ "$(issuer_of "${chain[-1]}")" != "$(subject_of "${chain[-1]}")" ]; do
    found=''
    remaining=()
    for certificate in "${others[@]}"; do
        if [ -z "$found" ] && issued "$certificate" "${chain[-1]}"; then found=$certificate; else remaining+=("$certificate"); fi
    done
    if [ -z "$found" ]; then
        [ ${#chain[@]} -gt 1 ] \
            || die "the certificate that issued $subject ($(issuer_of "$signer_pem")) is not in $given; give the signer's certificate with those of the CAs above it"
        break
    fi
    chain+=("$found")
    others=(${remaining[@]+"${remaining[@]}"})
done
if [ ${#others[@]} != 0 ]; then
    die "$given holds certificates that are no part of the signer's chain: $(subjects_of "${others[@]}")"
fi
cat "${chain[@]}" >"$work/chain.pem"

# Windows accepts a certificate without extended key usage for code signing, but signing policies
# and their reviewers expect the usage stated; a TLS or e-mail certificate is a mistake.
openssl x509 -in "$signer_pem" -noout -ext extendedKeyUsage 2>/dev/null | grep -qE '(^|[ ,])Code Signing(,|$)' \
    || die "the certificate ($subject) is not for code signing: it lacks the Code Signing extended key usage"
# Windows rejects a signature made before the certificate's validity began, as it does one made after.
not_before=$(openssl x509 -in "$signer_pem" -noout -startdate | sed 's/^notBefore=//')
[ "$(date -u -d "$not_before" +%s)" -le "$(date -u +%s)" ] \
    || die "the certificate ($subject) is not valid before $not_before"
openssl x509 -in "$signer_pem" -noout -checkend 0 >/dev/null \
    || die "the certificate ($subject) expired on $(openssl x509 -in "$signer_pem" -noout -enddate | sed 's/^notAfter=//')"

signing=(sign -h sha256 -n "$description")
if [ -n "$pkcs12" ]; then
    signing+=(-pkcs12 "$pkcs12")
else
    signing+=(-certs "$work/chain.pem" -key "$key")
fi
[ -z "$timestamp" ] || signing+=(-ts "$timestamp")
status=0
osslsigncode_with_password "${signing[@]}" -in "$program" -out "$work/signed.exe" >"$work/osslsigncode.log" 2>&1 \
    || status=$?
if [ -n "$timestamp" ] && [ "$status" = 124 ]; then
    die "the time-stamp server $timestamp did not answer within $timestamp_timeout seconds; nothing was signed"
elif [ "$status" != 0 ]; then
    echo "sign: osslsigncode could not sign $program${timestamp:+ (is the time-stamp server $timestamp reachable?)}:" >&2
    sed 's/^/  /' "$work/osslsigncode.log" >&2
    exit 1
fi

# osslsigncode takes whatever the time-stamp server answers, a token with a broken signature or one that
# stamps another hash included: the copy's time-stamp is checked as a verifier will check it, offline.
if [ -n "$timestamp" ]; then
    osslsigncode_verify -CAfile "$signer_pem" ${tsa_ca:+-TSA-CAfile "$tsa_ca"} -in "$work/signed.exe" \
        >"$work/verify.log" 2>&1 || true
    checks=$(grep -E '^Timestamp Server Signature verification: |[Mm]ismatch' "$work/verify.log" | sort -u || true)
    if [ "$checks" != "Timestamp Server Signature verification: ok" ]; then
        trusted="against $tsa_ca"
        [ -n "$tsa_ca" ] || trusted="against the system's CAs (a private authority's root is given with --tsa-ca)"
        echo "sign: the time-stamp does not verify $trusted; nothing was signed (the server: $timestamp):" >&2
        grep -E '[Ff]ailed|[Mm]ismatch|[Ee]rror' "$work/verify.log" | sort -u | sed 's/^/  /' >&2 || true
        exit 1
    fi
fi

# What a verifier will do: take the signature off again and get the reproducible bytes back.
osslsigncode_local remove-signature -in "$work/signed.exe" -out "$work/unsigned.exe" >/dev/null 2>&1 \
    && cmp -s "$work/unsigned.exe" "$program" \
    || die "the signed copy does not give back $program without its signature"

# Checked last, when the copy is ready, so that the other mistakes are told first.
[ -n "$force" ] || { [ ! -e "$output" ] && [ ! -L "$output" ]; } || die "$output exists already; give --force to replace it"
mv -f "$work/signed.exe" "$output"
echo "signed: $output"
echo "signer: $subject"
echo "description: $description"
echo "sha256: $(sha256sum "$output" | cut -d' ' -f1)"
