#!/usr/bin/env bash
# Signing and verifying with a throwaway certificate made here: sign.sh refuses each mistake and
# leaves nothing behind; a signed copy verifies against the sources rebuilt in another clone; without
# its signature it is the reproducible program; its detached signature attached to the other clone's
# build gives the signed bytes; and a change of one byte anywhere in it is reported.
# usage: check_signing.sh SCRIPTS_DIR CLONES_DIR  (as build_clean_clones.sh leaves it)
set -euo pipefail
scripts=$1 clones=$2
unset SIGN_PASSWORD
program=$clones/a/build/UsbResetOnResume.exe
other=$clones/second-clone-at-a-longer-path
# osslsigncode overwrites no file, so each run starts from an empty folder.
work=$clones/signing
rm -rf "$work" && mkdir -p "$work"
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

keys=$work/keys dist=$work/dist
mkdir -p "$keys" "$dist"
cp "$program" "$program.sha256" "$dist/"
subject='/CN=UsbResetOnResume test signer/O=Throwaway'
make_certificate() {
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$keys/$1-key.pem" -out "$keys/$1.pem" \
        -subj "$2" -addext keyUsage=digitalSignature -addext "extendedKeyUsage=$3" 2>/dev/null
}
make_certificate signer "$subject" codeSigning
make_certificate server '/CN=A web server' serverAuth
make_certificate stranger '/CN=Someone else' codeSigning
printf 'correct horse\n' >"$keys/password"
printf 'wrong horse\n' >"$keys/wrong-password"
openssl pkcs12 -export -in "$keys/signer.pem" -inkey "$keys/signer-key.pem" -out "$keys/signer.p12" \
    -passout "file:$keys/password"

flip_byte() {  # FILE OFFSET: inverts one byte
    local byte
    byte=$(od -An -tu1 -j"$2" -N1 "$1" | tr -d ' ')
    printf "\\$(printf '%03o' $((byte ^ 0xff)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
dist_state() {
    (cd "$dist" && ls -A && sha256sum UsbResetOnResume.exe)
}
before=$(dist_state)

# Each mistake: the message that names it, and the program's folder exactly as it was.
refusals=(
    "no such file|--pkcs12 $keys/missing.p12"
    "wrong password|--pkcs12 $keys/signer.p12 --password-file $keys/wrong-password"
    "wrong password|--pkcs12 $keys/signer.p12"
    "not for code signing|--cert $keys/server.pem --key $keys/server-key.pem"
    "is not the private key|--cert $keys/signer.pem --key $keys/server-key.pem"
    "must not replace|--cert $keys/signer.pem --key $keys/signer-key.pem --output $dist/UsbResetOnResume.exe"
    "must not replace|--cert $keys/signer.pem --key $keys/signer-key.pem --output $keys/signer-key.pem"
    "must not replace|--pkcs12 $keys/signer.p12 --password-file $keys/password --output $keys/signer.p12"
    "time-stamp server|--cert $keys/signer.pem --key $keys/signer-key.pem --timestamp http://127.0.0.1:9/"
)
for refusal in "${refusals[@]}"; do
    message=${refusal%%|*} arguments=${refusal#*|}
    status=0
    # shellcheck disable=SC2086 # the arguments hold no spaces
    "$scripts/sign.sh" $arguments "$dist/UsbResetOnResume.exe" >"$work/sign.out" 2>&1 || status=$?
    [ "$status" = 1 ] || fail "sign.sh $arguments: exit status $status, expected 1"
    grep -qF -- "$message" "$work/sign.out" || fail "sign.sh $arguments: no \"$message\" in: $(cat "$work/sign.out")"
    [ "$(dist_state)" = "$before" ] || fail "sign.sh $arguments: the program's folder changed: $(ls -A "$dist")"
done

# A password file saved on Windows (CR LF) is read as its one line.
printf 'correct horse\r\n' >"$keys/password-crlf"
"$scripts/sign.sh" --pkcs12 "$keys/signer.p12" --password-file "$keys/password-crlf" --output "$work/crlf-signed.exe" \
    "$dist/UsbResetOnResume.exe" >"$work/sign.out" 2>&1 || fail "sign.sh with a CR LF password file: $(cat "$work/sign.out")"

# Both kinds of certificate file sign; the PKCS#12 file with the default output beside the program.
SIGN_PASSWORD='correct horse' "$scripts/sign.sh" --pkcs12 "$keys/signer.p12" "$dist/UsbResetOnResume.exe" \
    >"$work/sign.out" 2>&1 || fail "sign.sh with the PKCS#12 file: $(cat "$work/sign.out")"
signed=$dist/UsbResetOnResume-signed.exe
"$scripts/sign.sh" --cert "$keys/signer.pem" --key "$keys/signer-key.pem" --output "$work/pem-signed.exe" \
    "$dist/UsbResetOnResume.exe" >"$work/sign.out" 2>&1 || fail "sign.sh with PEM files: $(cat "$work/sign.out")"
cmp "$dist/UsbResetOnResume.exe" "$program" || fail "signing changed the unsigned program"
[ -f "$signed" ] && [ -f "$work/pem-signed.exe" ] || { echo "FAIL: no signed copy to go on with" >&2; exit 1; }

# The administrator's check, rebuilding the program from the other clone.
if "$scripts/verify-release.sh" --ca "$keys/signer.pem" --sources "$other" "$signed" >"$work/verify.out" 2>&1; then
    grep -qF "signer:  $subject" "$work/verify.out" || fail "verify-release.sh does not name the signer: $(cat "$work/verify.out")"
    grep -qx '  digest:  SHA256' "$work/verify.out" || fail "not signed with SHA-256: $(cat "$work/verify.out")"
else
    fail "verify-release.sh rejects the signed program: $(cat "$work/verify.out")"
fi
"$scripts/verify-release.sh" --ca "$keys/signer.pem" --unsigned "$other/build/UsbResetOnResume.exe" \
    "$work/pem-signed.exe" >"$work/verify.out" 2>&1 || fail "verify-release.sh rejects the PEM-signed program: $(cat "$work/verify.out")"

# The steps underneath, as a verifier who publishes detached signatures takes them.
osslsigncode remove-signature -in "$signed" -out "$work/removed.exe" >/dev/null 2>&1
cmp "$work/removed.exe" "$program" || fail "remove-signature does not give the reproducible program"
osslsigncode extract-signature -in "$signed" -out "$work/signature.der" >/dev/null 2>&1
osslsigncode attach-signature -sigin "$work/signature.der" -CAfile "$keys/signer.pem" \
    -in "$other/build/UsbResetOnResume.exe" -out "$work/attached.exe" >/dev/null 2>&1 \
    || fail "attach-signature onto the other clone's program failed"
cmp "$work/attached.exe" "$signed" || fail "the signature attached to the other clone's program does not give the signed bytes"

# A program these sources do not build, validly signed: two letters of its DOS stub's message
# swapped, two bytes apart so that the header's checksum (a sum of 16-bit words) still holds.
cp "$program" "$work/other-program.exe"
stub=$(grep -boaF 'This program cannot' "$program" | head -n 1 | cut -d: -f1)
printf 'ihT' | dd of="$work/other-program.exe" bs=1 seek="$stub" conv=notrunc status=none
"$scripts/sign.sh" --cert "$keys/signer.pem" --key "$keys/signer-key.pem" --output "$work/other-signed.exe" \
    "$work/other-program.exe" >"$work/sign.out" 2>&1 || fail "sign.sh on another program: $(cat "$work/sign.out")"

# What verify-release.sh must report. Offsets: the PE header starts at the word at 0x3c; its checksum
# is 88 bytes in; the signature (a WIN_CERTIFICATE) begins where the unsigned program ends.
pe=$(od -An -tu4 -j60 -N4 "$signed" | tr -d ' ')
unsigned_size=$(stat -c %s "$program")
signed_size=$(stat -c %s "$signed")
# what|file|offset of the byte to invert|certificates to trust|the diagnosis
rejections=(
    "a byte of code|$signed|$((0x400 + 0x100))|$keys/signer.pem|the signature does not verify"
    "the header checksum|$signed|$((pe + 88))|$keys/signer.pem|differs from the build with its own signature"
    "a byte inside the signature|$signed|$(((unsigned_size + signed_size) / 2))|$keys/signer.pem|the signature does not verify"
    "the last byte of the file|$signed|$((signed_size - 1))|$keys/signer.pem|differs from the build with its own signature"
    "a certificate that is not trusted|$signed||$keys/stranger.pem|the signature does not verify against"
    "no signature at all|$program||$keys/signer.pem|is not signed"
    "another program, validly signed|$work/other-signed.exe||$keys/signer.pem|is not the program these sources build"
)
for rejection in "${rejections[@]}"; do
    IFS='|' read -r what file offset ca diagnosis <<<"$rejection"
    cp "$file" "$work/changed.exe"
    [ -z "$offset" ] || flip_byte "$work/changed.exe" "$offset"
    status=0
    "$scripts/verify-release.sh" --ca "$ca" --unsigned "$other/build/UsbResetOnResume.exe" "$work/changed.exe" \
        >"$work/verify.out" 2>&1 || status=$?
    [ "$status" = 1 ] && grep -qF -- "$diagnosis" "$work/verify.out" \
        || fail "verify-release.sh with $what: exit status $status, expected 1 and \"$diagnosis\": $(cat "$work/verify.out")"
done

[ "$failures" -eq 0 ] || exit 1
echo "signing: refusals, sign, verify, remove and attach as expected; $(sha256sum "$signed" | cut -d' ' -f1) signed"
