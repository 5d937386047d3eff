#!/usr/bin/env bash
# Signs the program with the administrator's own code-signing certificate (Authenticode, SHA-256),
# writing a signed copy beside it; the unsigned program, the reproducible one, is never changed.
#
# usage: sign.sh --pkcs12 FILE.p12 [OPTIONS] [PROGRAM.exe]
#        sign.sh --cert CERT.pem --key KEY.pem [OPTIONS] [PROGRAM.exe]
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
    sed -n '4,18s/^# \{0,1\}//p' "$0" >&2
    exit 2
}
die() {
    echo "sign: $*" >&2
    exit 1
}

pkcs12='' cert='' key='' password_file='' timestamp='' timestamp_timeout=60 tsa_ca='' output='' force=''
program="$(cd "$(dirname "$0")/.." && pwd)/build/windows/UsbResetOnResume.exe"
while [ $# -gt 0 ]; do
    case $1 in
        --pkcs12|--cert|--key|--password-file|--timestamp|--timestamp-timeout|--tsa-ca|--output)
            # An empty value would quietly mean a default.
            [ $# -ge 2 ] && [ -n "$2" ] || usage
            option=${1#--}
            printf -v "${option//-/_}" '%s' "$2"
            shift 2 ;;
        --force) force=1; shift ;;
        -h|--help) usage ;;
        --) [ $# -eq 2 ] || usage; program=$2; shift 2 ;;
        -*) echo "sign: unknown option $1" >&2; usage ;;
        *) program=$1; shift; [ $# -eq 0 ] || usage ;;
    esac
done
if [ -n "$pkcs12" ]; then
    [ -z "$cert$key" ] || die "give either --pkcs12 or --cert with --key, not both"
else
    [ -n "$cert" ] && [ -n "$key" ] || usage
fi
[[ $timestamp_timeout =~ ^[1-9][0-9]*$ ]] || usage

# What it lacks is installed first (as root); a machine that has both tools is left alone, so that
# whoever holds the key can sign there without being root.
command -v osslsigncode >/dev/null && command -v openssl >/dev/null || "$(dirname "$0")/install-deps.sh" release
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
# Every osslsigncode call is bounded: it waits for a time-stamp server as long as the connection stays
# open, and one that never answers must not hold the signing for good. It runs in the background because
# bash acts on a signal only once a foreground command ends: an interrupted sign.sh stops it at once and
# writes nothing. (timeout keeps it in a process group of its own, which a terminal's Ctrl-C does not
# reach; sign.sh passes the signal on.)
# The trap runs inside whatever redirection the interrupted call has, so it writes to the script's own
# standard error, kept aside.
exec {script_stderr}>&2
child=''
interrupted() {
    if [ -n "$child" ]; then
        kill -TERM "$child" 2>/dev/null || true
        wait "$child" 2>/dev/null || true
    fi
    die "interrupted; nothing was signed" 2>&"$script_stderr"
}
trap interrupted INT TERM
osslsigncode_bounded() {  # SECONDS OSSLSIGNCODE-ARGUMENTS...
    local limit=$1 status=0
    shift
    timeout "$limit" osslsigncode "$@" &
    child=$!
    wait "$child" || status=$?
    child=''
    return "$status"
}
osslsigncode_with_password() {
    if [ -n "$password" ]; then
        osslsigncode_bounded "$timestamp_timeout" "$@" -readpass <(password_pipe)
    else
        osslsigncode_bounded "$timestamp_timeout" "$@"
    fi
}
# Calls that reach no server.
readonly local_limit=60

# osslsigncode's verdict on the program, whichever certificate is trusted: an unsigned Windows program
# reports that no signature was found, a signed one lists its signatures, and any other file neither.
verdict=$(timeout "$local_limit" osslsigncode verify -CAfile /dev/null -in "$program" 2>&1 || true)
if grep -q '^Signature Index:' <<<"$verdict"; then
    die "$program is signed already; sign the unsigned build"
elif ! grep -q '^No signature found' <<<"$verdict"; then
    die "$program is not a Windows program osslsigncode can sign"
fi

[ -n "$output" ] || output="${program%.exe}-signed.exe"
[ ! -d "$output" ] && [ "${output%/}" = "$output" ] || die "$output is a folder; give --output the name of the signed copy"
output_dir=$(cd "$(dirname "$output")" 2>/dev/null && pwd) || die "$(dirname "$output"): no such folder"
output="$output_dir/$(basename "$output")"
[ "$(realpath "$program")" != "$(realpath -m "$output")" ] \
    || die "the signed copy must not replace $program, which is the file that verifies against the sources"
# A mistyped --output must not destroy the certificate, the key or the password, even with --force.
for file in ${pkcs12:+"$pkcs12"} ${cert:+"$cert"} ${key:+"$key"} ${password_file:+"$password_file"}; do
    [ "$(realpath "$file")" != "$(realpath -m "$output")" ] || die "the signed copy must not replace $file"
done

work=$(mktemp -d "$output_dir/.sign.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Check what the administrator gave before signing, so each mistake gets its own message.
if [ -n "$pkcs12" ]; then
    if ! openssl_with_password pkcs12 -in "$pkcs12" -nokeys -clcerts -out "$work/cert.pem" \
            2>"$work/openssl.log" \
        && ! openssl_with_password pkcs12 -legacy -in "$pkcs12" -nokeys -clcerts \
            -out "$work/cert.pem" 2>>"$work/openssl.log"; then
        if grep -qiE 'mac verify|invalid password' "$work/openssl.log"; then
            die "$pkcs12: wrong password (give it with --password-file FILE or SIGN_PASSWORD)"
        fi
        die "$pkcs12: not a PKCS#12 file openssl can read: $(head -n 1 "$work/openssl.log")"
    fi
    cert_pem=$work/cert.pem
else
    openssl x509 -in "$cert" -noout 2>/dev/null || die "$cert: not a PEM certificate"
    if ! openssl_with_password pkey -in "$key" -pubout -out "$work/key-public.pem" 2>/dev/null; then
        die "$key: cannot read the private key: wrong password (give it with --password-file FILE or SIGN_PASSWORD), or not a PEM key"
    fi
    openssl x509 -in "$cert" -noout -pubkey >"$work/cert-public.pem"
    cmp -s "$work/key-public.pem" "$work/cert-public.pem" || die "$key is not the private key of $cert"
    cert_pem=$cert
fi
subject=$(openssl x509 -in "$cert_pem" -noout -subject -nameopt RFC2253 | sed 's/^subject=//')
# Windows accepts a certificate without extended key usage for code signing, but signing policies
# and their reviewers expect the usage stated; a TLS or e-mail certificate is a mistake.
openssl x509 -in "$cert_pem" -noout -ext extendedKeyUsage 2>/dev/null | grep -qE '(^|[ ,])Code Signing(,|$)' \
    || die "the certificate ($subject) is not for code signing: it lacks the Code Signing extended key usage"
# Windows rejects a signature made before the certificate's validity began, as it does one made after.
not_before=$(openssl x509 -in "$cert_pem" -noout -startdate | sed 's/^notBefore=//')
[ "$(date -u -d "$not_before" +%s)" -le "$(date -u +%s)" ] \
    || die "the certificate ($subject) is not valid before $not_before"
openssl x509 -in "$cert_pem" -noout -checkend 0 >/dev/null \
    || die "the certificate ($subject) expired on $(openssl x509 -in "$cert_pem" -noout -enddate | sed 's/^notAfter=//')"

signing=(sign -h sha256 -n UsbResetOnResume)
if [ -n "$pkcs12" ]; then
    signing+=(-pkcs12 "$pkcs12")
else
    signing+=(-certs "$cert" -key "$key")
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
# stamps another hash included: the copy's time-stamp is checked as a verifier will check it, offline
# (osslsigncode 2.9 would fetch revocation lists, 2.5 fetches none).
if [ -n "$timestamp" ]; then
    offline=()
    verify_help=$(osslsigncode verify --help 2>&1 || true)
    ! grep -q -- '-ignore-crl' <<<"$verify_help" || offline=(-ignore-crl)
    osslsigncode_bounded "$local_limit" verify -CAfile "$cert_pem" ${tsa_ca:+-TSA-CAfile "$tsa_ca"} "${offline[@]}" \
        -in "$work/signed.exe" >"$work/verify.log" 2>&1 || true
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
osslsigncode_bounded "$local_limit" remove-signature -in "$work/signed.exe" -out "$work/unsigned.exe" >/dev/null 2>&1 \
    && cmp -s "$work/unsigned.exe" "$program" \
    || die "the signed copy does not give back $program without its signature"

# Checked last, when the copy is ready, so that the other mistakes are told first.
[ -n "$force" ] || { [ ! -e "$output" ] && [ ! -L "$output" ]; } || die "$output exists already; give --force to replace it"
mv -f "$work/signed.exe" "$output"
echo "signed: $output"
echo "signer: $subject"
echo "sha256: $(sha256sum "$output" | cut -d' ' -f1)"
