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
#   --output SIGNED.exe   where the signed copy goes (default: PROGRAM-signed.exe beside PROGRAM)
# PROGRAM.exe defaults to build/windows/UsbResetOnResume.exe. Exit status: 0 signed, 1 not, 2 usage.
set -euo pipefail

usage() {
    sed -n '4,12s/^# \{0,1\}//p' "$0" >&2
    exit 2
}
die() {
    echo "sign: $*" >&2
    exit 1
}

pkcs12='' cert='' key='' password_file='' timestamp='' output=''
program="$(cd "$(dirname "$0")/.." && pwd)/build/windows/UsbResetOnResume.exe"
while [ $# -gt 0 ]; do
    case $1 in
        --pkcs12|--cert|--key|--password-file|--timestamp|--output)
            [ $# -ge 2 ] || usage
            option=${1#--}
            printf -v "${option//-/_}" '%s' "$2"
            shift 2 ;;
        -h|--help) usage ;;
        -*) echo "sign: unknown option $1" >&2; usage ;;
        *) program=$1; shift; [ $# -eq 0 ] || usage ;;
    esac
done
if [ -n "$pkcs12" ]; then
    [ -z "$cert$key" ] || die "give either --pkcs12 or --cert with --key, not both"
else
    [ -n "$cert" ] && [ -n "$key" ] || usage
fi

for tool in osslsigncode openssl; do
    command -v "$tool" >/dev/null || die "$tool not found; install it with scripts/install-deps.sh (as root)"
done
for file in "$program" ${pkcs12:+"$pkcs12"} ${cert:+"$cert"} ${key:+"$key"} ${password_file:+"$password_file"}; do
    [ -f "$file" ] || die "$file: no such file"
done

# The password reaches openssl and osslsigncode through a pipe, never a command line or a file on disk.
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
    if [ -n "$password" ]; then osslsigncode "$@" -readpass <(password_pipe); else osslsigncode "$@"; fi
}

# The certificate table's entry in the PE header: a non-zero size means the file carries a signature.
is_signed() {
    local pe magic directories
    pe=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    magic=$(od -An -tx2 -j$((pe + 24)) -N2 "$1" | tr -d ' ')
    case $magic in
        010b) directories=$((pe + 24 + 96)) ;;
        020b) directories=$((pe + 24 + 112)) ;;
        *) die "$1 is not a Windows program" ;;
    esac
    [ "$(od -An -tu4 -j$((directories + 4 * 8 + 4)) -N4 "$1" | tr -d ' ')" != 0 ]
}
is_signed "$program" && die "$program is signed already; sign the unsigned build"

[ -n "$output" ] || output="${program%.exe}-signed.exe"
output_dir=$(cd "$(dirname "$output")" 2>/dev/null && pwd) || die "$(dirname "$output"): no such folder"
output="$output_dir/$(basename "$output")"
[ "$(realpath "$program")" != "$(realpath -m "$output")" ] \
    || die "the signed copy must not replace $program, which is the file that verifies against the sources"
# A mistyped --output must not destroy the certificate, the key or the password.
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
openssl x509 -in "$cert_pem" -noout -checkend 0 >/dev/null \
    || die "the certificate ($subject) expired on $(openssl x509 -in "$cert_pem" -noout -enddate | sed 's/^notAfter=//')"

signing=(sign -h sha256 -n UsbResetOnResume)
if [ -n "$pkcs12" ]; then
    signing+=(-pkcs12 "$pkcs12")
else
    signing+=(-certs "$cert" -key "$key")
fi
[ -z "$timestamp" ] || signing+=(-ts "$timestamp")
if ! osslsigncode_with_password "${signing[@]}" -in "$program" -out "$work/signed.exe" \
        >"$work/osslsigncode.log" 2>&1; then
    cat "$work/osslsigncode.log" >&2
    die "osslsigncode could not sign $program${timestamp:+ (is the time-stamp server $timestamp reachable?)}"
fi

# What a verifier will do: take the signature off again and get the reproducible bytes back.
osslsigncode remove-signature -in "$work/signed.exe" -out "$work/unsigned.exe" >/dev/null 2>&1 \
    && cmp -s "$work/unsigned.exe" "$program" \
    || die "the signed copy does not give back $program without its signature"

mv -f "$work/signed.exe" "$output"
echo "signed: $output"
echo "signer: $subject"
echo "sha256: $(sha256sum "$output" | cut -d' ' -f1)"
