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
# PROGRAM.exe defaults to build/package/UsbResetOnResume.exe, which release.sh builds. Exit status: 0
# signed, 1 not, 2 usage.
set -euo pipefail

usage() {
    sed -n '6,21s/^# \{0,1\}//p' "$0" >&2
    exit 2
}
me=sign
# shellcheck source-path=SCRIPTDIR source=release-helpers.sh
. "$(dirname "$0")/release-helpers.sh"

pkcs12='' cert='' key='' password_file='' timestamp='' timestamp_timeout=60 tsa_ca='' output='' force=''
argument="$(cd "$release_scripts/.." && pwd)/build/package/UsbResetOnResume.exe"
parse_command_line "--pkcs12 --cert --key --password-file --timestamp --timestamp-timeout --tsa-ca --output" "--force" "$@"
program=$argument
if [ -n "$pkcs12" ]; then
    [ -z "$cert$key" ] || die "give either --pkcs12 or --cert with --key, not both"
else
    [ -n "$cert" ] && [ -n "$key" ] || usage
fi
[[ $timestamp_timeout =~ ^[1-9][0-9]*$ ]] || usage

require_tools osslsigncode openssl
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
# Every osslsigncode call is bounded: it waits for a time-stamp server as long as the connection stays
# open, and one that never answers must not hold the script for good. It runs in the background
# because bash acts on a signal only once a foreground command ends: an interrupted script stops it at
# once. (timeout keeps it in a process group of its own, which a terminal's Ctrl-C does not reach; the
# script passes the signal on.) The trap runs inside whatever redirection the interrupted call has, so
# it writes to the script's own standard error, kept aside.
exec {script_stderr}>&2
osslsigncode_child=''
interrupted() {
    if [ -n "$osslsigncode_child" ]; then
        kill -TERM "$osslsigncode_child" 2>/dev/null || true
        wait "$osslsigncode_child" 2>/dev/null || true
    fi
    die "interrupted; nothing was signed" 2>&"$script_stderr"
}
osslsigncode_bounded() {  # SECONDS OSSLSIGNCODE-ARGUMENTS...: osslsigncode's exit status, 124 when out of time
    local limit=$1 status=0
    shift
    timeout "$limit" osslsigncode "$@" &
    osslsigncode_child=$!
    wait "$osslsigncode_child" || status=$?
    osslsigncode_child=''
    return "$status"
}
trap interrupted INT TERM HUP

refusal=$("$windows_image" unsigned -- "$program" 2>&1) || die "$refusal"
# Windows shows the signature's description in place of the file's name, in the elevation prompt
# among other places: each program is described by its own name, as its version information gives it.
description=$("$windows_image" name -- "$program" 2>&1) || die "$description, which names its signature"

[ -n "$output" ] || output="${program%.exe}-signed.exe"
[ ! -d "$output" ] && [ "${output%/}" = "$output" ] || die "$output is a folder; give --output the name of the signed copy"
output_dir=$(cd -- "$(dirname -- "$output")" 2>/dev/null && pwd) || die "$(dirname -- "$output"): no such folder"
output="$output_dir/$(basename -- "$output")"
[ "$(realpath -- "$program")" != "$(realpath -m -- "$output")" ] \
    || die "the signed copy must not replace $program, which is the file that verifies against the sources"
# A mistyped --output must not destroy what signing takes, even with --force.
for file in ${pkcs12:+"$pkcs12"} ${cert:+"$cert"} ${key:+"$key"} ${password_file:+"$password_file"} ${tsa_ca:+"$tsa_ca"}; do
    [ "$(realpath -- "$file")" != "$(realpath -m -- "$output")" ] || die "the signed copy must not replace $file"
done

work=$(mktemp -d "$output_dir/.sign.XXXXXX") || die "cannot write in $output_dir"
trap 'rm -rf "$work"' EXIT

# The signer's certificate is the one whose key this is; the signature carries the chain from it
# upwards, in order, and a verifier refuses a certificate that belongs to none of it.
if [ -n "$pkcs12" ]; then
    pkcs12_certificates() {  # OPTIONS... (-clcerts: the signer's alone)
        openssl_with_password pkcs12 -in "$pkcs12" -nokeys "$@" 2>"$work/openssl.log" \
            || openssl_with_password pkcs12 -legacy -in "$pkcs12" -nokeys "$@" 2>>"$work/openssl.log"
    }
    if ! pkcs12_certificates -out "$work/given.pem"; then
        if grep -qiE 'mac verify|invalid password' "$work/openssl.log"; then
            die "$pkcs12: wrong password (give it with --password-file FILE or SIGN_PASSWORD)"
        fi
        die "$pkcs12: not a PKCS#12 file openssl can read: $(head -n 1 "$work/openssl.log")"
    fi
    pkcs12_certificates -clcerts | openssl x509 -noout -pubkey >"$work/key-public.pem" 2>/dev/null \
        || die "$pkcs12 holds no certificate for its key"
    given=$pkcs12 key_name=$pkcs12
else
    openssl_with_password pkey -in "$key" -pubout -out "$work/key-public.pem" 2>/dev/null \
        || die "$key: cannot read the private key: wrong password (give it with --password-file FILE or SIGN_PASSWORD), or not a PEM key"
    cp -- "$cert" "$work/given.pem"
    given=$cert key_name=$key
fi
subject=$("$windows_image" chain --given "$given" --key-name "$key_name" "$work/key-public.pem" "$work/given.pem" \
    "$work/chain.pem" 2>&1) || die "$subject"

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

# The copy is checked as a verifier will check it, trusting its own chain: osslsigncode takes whatever
# a time-stamp server answers (a token with a broken signature, or one that stamps another hash), and
# the copy without its signature must be the program again.
"$windows_image" verify --ca "$work/chain.pem" ${tsa_ca:+--tsa-ca "$tsa_ca"} --shown-as "the signed copy" \
    -- "$program" "$work/signed.exe" >/dev/null 2>"$work/refusal" \
    || die "$(cat "$work/refusal"); nothing was signed${timestamp:+ (the time-stamp server: $timestamp)}"

# Checked last, when the copy is ready, so that the other mistakes are told first.
[ -n "$force" ] || { [ ! -e "$output" ] && [ ! -L "$output" ]; } || die "$output exists already; give --force to replace it"
mv -f -- "$work/signed.exe" "$output"
echo "signed: $output"
echo "signer: $subject"
echo "description: $description"
echo "sha256: $(sha256sum <"$output" | cut -d' ' -f1)"
