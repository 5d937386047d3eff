#!/usr/bin/env bash
# Signing and verifying with throwaway certificates and a throwaway time-stamp authority made here:
# sign.sh refuses each mistake with its own message and leaves nothing behind; a signed copy verifies
# against the sources in a fresh clone; without its signature it is the reproducible program; its
# detached signature attached to the other clone's build gives the signed bytes; and verify-release.sh
# rejects every file that is not one SHA-256 signature by the trusted signer over this program, with a
# time-stamp that verifies where there is one.
# usage: check_signing.sh SCRIPTS_DIR CLONES_DIR  (as build_clean_clones.sh leaves it)
set -euo pipefail
scripts=$1 clones=$2
here=$(cd "$(dirname "$0")" && pwd)
unset SIGN_PASSWORD
program=$clones/a/build/UsbResetOnResume.exe
other_program=$clones/second-clone-at-a-longer-path/build/UsbResetOnResume.exe
# osslsigncode overwrites no file, so each run starts from an empty folder.
work=$clones/signing
rm -rf "$work" && mkdir -p "$work"
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

keys=$work/keys dist=$work/dist ca=$work/ca
mkdir -p "$keys" "$dist" "$ca"
cp "$program" "$program.sha256" "$dist/"
exe=$dist/UsbResetOnResume.exe
subject='/CN=UsbResetOnResume test signer/O=Throwaway'
make_certificate() {
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$keys/$1-key.pem" -out "$keys/$1.pem" \
        -subj "$2" -addext keyUsage=digitalSignature -addext "extendedKeyUsage=$3" 2>/dev/null
}
make_certificate signer "$subject" codeSigning
make_certificate server '/CN=A web server' serverAuth
make_certificate stranger '/CN=Someone else' codeSigning
# A code-signing certificate valid between two UTC dates (YYYYMMDDHHMMSSZ), which only openssl ca sets.
make_dated_certificate() {
    printf '%s\n' '[ ca ]' 'default_ca = dated' '[ dated ]' "database = $ca/$1.index" "new_certs_dir = $ca" \
        'default_md = sha256' 'policy = any' 'rand_serial = yes' '[ any ]' 'commonName = supplied' \
        '[ code_signing ]' 'keyUsage = digitalSignature' 'extendedKeyUsage = codeSigning' >"$ca/$1.cnf"
    : >"$ca/$1.index"
    openssl req -new -newkey rsa:2048 -nodes -keyout "$keys/$1-key.pem" -out "$ca/$1.csr" -subj "/CN=$1" 2>/dev/null
    openssl ca -batch -config "$ca/$1.cnf" -selfsign -keyfile "$keys/$1-key.pem" -in "$ca/$1.csr" -notext \
        -startdate "$2" -enddate "$3" -extensions code_signing -out "$keys/$1.pem" 2>/dev/null
}
make_dated_certificate not-yet-valid 20990101000000Z 20991231000000Z
make_dated_certificate expired 20000101000000Z 20001231000000Z
printf 'correct horse\n' >"$keys/password"
printf 'wrong horse\n' >"$keys/wrong-password"
openssl pkcs12 -export -in "$keys/signer.pem" -inkey "$keys/signer-key.pem" -out "$keys/signer.p12" \
    -passout "file:$keys/password"

# A private time-stamp authority: its own root, and a certificate for time-stamping only under it.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$ca/tsa-root-key.pem" -out "$keys/tsa-root.pem" \
    -subj '/CN=Throwaway time-stamp root' -addext basicConstraints=critical,CA:true \
    -addext keyUsage=critical,keyCertSign 2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -keyout "$ca/tsa-key.pem" -out "$ca/tsa.csr" \
    -subj '/CN=Throwaway time-stamp authority' 2>/dev/null
openssl x509 -req -in "$ca/tsa.csr" -CA "$keys/tsa-root.pem" -CAkey "$ca/tsa-root-key.pem" -days 2 \
    -extfile <(printf 'extendedKeyUsage=critical,timeStamping\nkeyUsage=critical,digitalSignature\n') \
    -out "$ca/tsa.pem" 2>/dev/null
# Three servers on loopback: one that answers, one whose tokens carry a broken signature, and one that
# accepts the connection and never answers. Each stops by itself after five minutes at the latest.
servers=()
trap 'kill "${servers[@]}" 2>/dev/null || true' EXIT
for manner in answer corrupt silent; do
    "$here/time_stamp_server.py" 300 "$manner" "$ca/tsa.pem" "$ca/tsa-key.pem" >"$work/$manner.port" &
    servers+=($!)
done
server_url() {
    local tries=0
    until [ -s "$work/$1.port" ]; do
        tries=$((tries + 1))
        [ "$tries" -le 100 ] || { echo "FAIL: the $1 time-stamp server did not start" >&2; exit 1; }
        sleep 0.1
    done
    echo "http://127.0.0.1:$(head -n 1 "$work/$1.port")/"
}

flip_byte() {  # FILE OFFSET: inverts one byte
    local byte
    byte=$(od -An -tu1 -j"$2" -N1 "$1" | tr -d ' ')
    printf "\\$(printf '%03o' $((byte ^ 0xff)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
pem_signer=(--cert "$keys/signer.pem" --key "$keys/signer-key.pem")
sign() {  # OUTPUT.exe SIGN.SH ARGUMENTS...: signs, or records why not
    local output=$1
    shift
    "$scripts/sign.sh" --output "$output" "$@" >"$work/sign.out" 2>&1 || fail "sign.sh --output $output $*: $(cat "$work/sign.out")"
}

# A password file saved on Windows (CR LF) is read as its one line.
printf 'correct horse\r\n' >"$keys/password-crlf"
sign "$work/crlf-signed.exe" --pkcs12 "$keys/signer.p12" --password-file "$keys/password-crlf" "$exe"

# Both kinds of certificate file sign; the PKCS#12 file with the default output beside the program.
SIGN_PASSWORD='correct horse' "$scripts/sign.sh" --pkcs12 "$keys/signer.p12" "$exe" \
    >"$work/sign.out" 2>&1 || fail "sign.sh with the PKCS#12 file: $(cat "$work/sign.out")"
signed=$dist/UsbResetOnResume-signed.exe
sign "$work/pem-signed.exe" "${pem_signer[@]}" "$exe"
sign "$work/time-stamped.exe" "${pem_signer[@]}" --timestamp "$(server_url answer)" "$exe"
sign "$work/bad-time-stamp.exe" "${pem_signer[@]}" --timestamp "$(server_url corrupt)" "$exe"
# --force replaces a signed copy made before.
sign "$work/pem-signed.exe" "${pem_signer[@]}" --force "$exe"
cmp "$exe" "$program" || fail "signing changed the unsigned program"
for file in "$signed" "$work/pem-signed.exe" "$work/time-stamped.exe" "$work/bad-time-stamp.exe"; do
    [ -f "$file" ] || { echo "FAIL: no signed copy $file to go on with" >&2; exit 1; }
done

# Each mistake: sign.sh's own message that names it (any tool's report indented below it), and the
# program's and the keys' folders exactly as they were. A signed copy already stands beside the program.
folders_state() {
    (cd "$work" && find dist keys | sort && find dist keys -type f -exec sha256sum {} + | sort)
}
before=$(folders_state)
# the message|the environment|the arguments
refusals=(
    "no such file||--pkcs12 $keys/missing.p12 $exe"
    "wrong password||--pkcs12 $keys/signer.p12 --password-file $keys/wrong-password $exe"
    "wrong password||--pkcs12 $keys/signer.p12 $exe"
    "both SIGN_PASSWORD and --password-file|SIGN_PASSWORD=horse|--pkcs12 $keys/signer.p12 --password-file $keys/password $exe"
    "not for code signing||--cert $keys/server.pem --key $keys/server-key.pem $exe"
    "is not valid before||--cert $keys/not-yet-valid.pem --key $keys/not-yet-valid-key.pem $exe"
    "expired on||--cert $keys/expired.pem --key $keys/expired-key.pem $exe"
    "is not the private key||--cert $keys/signer.pem --key $keys/server-key.pem $exe"
    "must not replace||${pem_signer[*]} --output $exe $exe"
    "must not replace||${pem_signer[*]} --output $keys/signer-key.pem $exe"
    "must not replace||--pkcs12 $keys/signer.p12 --password-file $keys/password --output $keys/signer.p12 $exe"
    "is a folder||${pem_signer[*]} --output $keys $exe"
    "exists already||${pem_signer[*]} $exe"
    "exists already||${pem_signer[*]} --output $exe.sha256 $exe"
    "is signed already||${pem_signer[*]} --output $work/twice.exe $signed"
    "not a Windows program||${pem_signer[*]} --output $work/text.exe $exe.sha256"
    "time-stamp server||${pem_signer[*]} --timestamp http://127.0.0.1:9/ $exe"
    "did not answer within 3 seconds||${pem_signer[*]} --timestamp $(server_url silent) --timestamp-timeout 3 $exe"
)
for refusal in "${refusals[@]}"; do
    IFS='|' read -r message environment arguments <<<"$refusal"
    status=0
    # shellcheck disable=SC2086 # the arguments hold no spaces
    timeout 60 env $environment "$scripts/sign.sh" $arguments >"$work/sign.out" 2>&1 || status=$?
    [ "$status" = 1 ] || fail "sign.sh $arguments: exit status $status, expected 1"
    grep -q "^sign: .*$message" "$work/sign.out" || fail "sign.sh $arguments: no \"sign: ...$message\" in: $(cat "$work/sign.out")"
    ! grep -qv -e '^sign: ' -e '^  ' "$work/sign.out" || fail "sign.sh $arguments: another tool's noise in: $(cat "$work/sign.out")"
    [ "$(folders_state)" = "$before" ] || fail "sign.sh $arguments: the folders changed: $(ls -A "$dist" "$keys")"
    [ ! -e "$work/twice.exe" ] && [ ! -e "$work/text.exe" ] || fail "sign.sh $arguments: left a signed copy behind"
done

# The administrator's check from a fresh clone with no build folder, as the README has it.
git clone --quiet "$clones/a" "$work/fresh-clone"
if "$scripts/verify-release.sh" --ca "$keys/signer.pem" --sources "$work/fresh-clone" "$signed" >"$work/verify.out" 2>&1; then
    grep -qF "is the program these sources build" "$work/verify.out" || fail "no verdict on the sources: $(cat "$work/verify.out")"
    grep -qF "signer:  $subject" "$work/verify.out" || fail "verify-release.sh does not name the signer: $(cat "$work/verify.out")"
    grep -qx '  digest:  SHA256' "$work/verify.out" || fail "not signed with SHA-256: $(cat "$work/verify.out")"
    grep -qx '  time-stamp: none' "$work/verify.out" || fail "a time-stamp where there is none: $(cat "$work/verify.out")"
else
    fail "verify-release.sh rejects the signed program in a fresh clone: $(cat "$work/verify.out")"
fi
# Compared with a program at hand, the verdict says so, and no more.
if "$scripts/verify-release.sh" --ca "$keys/signer.pem" --unsigned "$other_program" "$work/pem-signed.exe" >"$work/verify.out" 2>&1; then
    grep -qF "is the given program $other_program, signed" "$work/verify.out" && ! grep -qF 'these sources' "$work/verify.out" \
        || fail "the verdict claims more than the comparison with a given program: $(cat "$work/verify.out")"
else
    fail "verify-release.sh rejects the PEM-signed program: $(cat "$work/verify.out")"
fi
# A time-stamp by a private authority verifies against its root, and is reported.
if "$scripts/verify-release.sh" --ca "$keys/signer.pem" --tsa-ca "$keys/tsa-root.pem" --unsigned "$other_program" \
        "$work/time-stamped.exe" >"$work/verify.out" 2>&1; then
    grep -qE '^  time-stamp: .*[0-9]{4}' "$work/verify.out" && grep -qF 'issued by /CN=Throwaway time-stamp root' "$work/verify.out" \
        || fail "verify-release.sh does not report the time-stamp and its authority: $(cat "$work/verify.out")"
else
    fail "verify-release.sh rejects the time-stamped program: $(cat "$work/verify.out")"
fi

# The steps underneath, as a verifier who publishes detached signatures takes them.
osslsigncode remove-signature -in "$signed" -out "$work/removed.exe" >/dev/null 2>&1
cmp "$work/removed.exe" "$program" || fail "remove-signature does not give the reproducible program"
osslsigncode extract-signature -in "$signed" -out "$work/signature.der" >/dev/null 2>&1
osslsigncode attach-signature -sigin "$work/signature.der" -CAfile "$keys/signer.pem" \
    -in "$other_program" -out "$work/attached.exe" >/dev/null 2>&1 \
    || fail "attach-signature onto the other clone's program failed"
cmp "$work/attached.exe" "$signed" || fail "the signature attached to the other clone's program does not give the signed bytes"

# A program these sources do not build, validly signed: two letters of its DOS stub's message
# swapped, two bytes apart so that the header's checksum (a sum of 16-bit words) still holds.
cp "$program" "$work/other-program.exe"
stub=$(grep -boaF 'This program cannot' "$program" | head -n 1 | cut -d: -f1)
printf 'ihT' | dd of="$work/other-program.exe" bs=1 seek="$stub" conv=notrunc status=none
sign "$work/other-signed.exe" "${pem_signer[@]}" "$work/other-program.exe"
# Signatures sign.sh would never make, as someone passing a file off as the signer's would: a second
# signature nested in either order, and weak digests by the signer's own key.
attacker() {  # OUTPUT.exe OSSLSIGNCODE-SIGN-ARGUMENTS...
    local output=$1
    shift
    osslsigncode sign "$@" -out "$output" >"$work/attacker.out" 2>&1 || fail "osslsigncode sign $*: $(cat "$work/attacker.out")"
}
attacker "$work/stranger-signed.exe" -h sha256 -certs "$keys/stranger.pem" -key "$keys/stranger-key.pem" -in "$program"
attacker "$work/nested.exe" -nest -h sha256 -certs "$keys/stranger.pem" -key "$keys/stranger-key.pem" -in "$signed"
attacker "$work/reversed.exe" -nest -h sha256 -certs "$keys/signer.pem" -key "$keys/signer-key.pem" -in "$work/stranger-signed.exe"
attacker "$work/md5.exe" -h md5 -certs "$keys/signer.pem" -key "$keys/signer-key.pem" -in "$program"
attacker "$work/sha1.exe" -h sha1 -certs "$keys/signer.pem" -key "$keys/signer-key.pem" -in "$program"

# What verify-release.sh must report. Offsets: the PE header starts at the word at 0x3c; its checksum
# is 88 bytes in; the signature (a WIN_CERTIFICATE) begins where the unsigned program ends.
pe=$(od -An -tu4 -j60 -N4 "$signed" | tr -d ' ')
unsigned_size=$(stat -c %s "$program")
signed_size=$(stat -c %s "$signed")
# what|file|offset of the byte to invert|certificates to trust|time-stamp roots to trust|the diagnosis
rejections=(
    "a byte of code|$signed|$((0x400 + 0x100))|$keys/signer.pem||the signature does not verify"
    "the header checksum|$signed|$((pe + 88))|$keys/signer.pem||differs from the build with its own signature"
    "a byte inside the signature|$signed|$(((unsigned_size + signed_size) / 2))|$keys/signer.pem||the signature does not verify"
    "the last byte of the file|$signed|$((signed_size - 1))|$keys/signer.pem||differs from the build with its own signature"
    "a certificate that is not trusted|$signed||$keys/stranger.pem||the signature does not verify against"
    "no signature at all|$program||$keys/signer.pem||is not signed"
    "a file that is no program|$exe.sha256||$keys/signer.pem||not a Windows program"
    "another program, validly signed|$work/other-signed.exe||$keys/signer.pem||without its signature is not the given program"
    "a stranger's signature nested in the signer's|$work/nested.exe||$keys/signer.pem||carries 2 signatures"
    "the signer's signature nested in a stranger's|$work/reversed.exe||$keys/signer.pem||carries 2 signatures"
    "an MD5 signature by the signer|$work/md5.exe||$keys/signer.pem||digest MD5"
    "a SHA-1 signature by the signer|$work/sha1.exe||$keys/signer.pem||digest SHA1"
    "a time-stamp with a broken signature|$work/bad-time-stamp.exe||$keys/signer.pem|$keys/tsa-root.pem|the time-stamp does not verify"
    "a time-stamp by an authority not trusted|$work/time-stamped.exe||$keys/signer.pem||the time-stamp does not verify"
)
for rejection in "${rejections[@]}"; do
    IFS='|' read -r what file offset trusted tsa_roots diagnosis <<<"$rejection"
    cp "$file" "$work/changed.exe"
    [ -z "$offset" ] || flip_byte "$work/changed.exe" "$offset"
    status=0
    "$scripts/verify-release.sh" --ca "$trusted" ${tsa_roots:+--tsa-ca "$tsa_roots"} --unsigned "$other_program" \
        "$work/changed.exe" >"$work/verify.out" 2>&1 || status=$?
    [ "$status" = 1 ] && grep -qF -- "$diagnosis" "$work/verify.out" && ! grep -q '^OK' "$work/verify.out" \
        || fail "verify-release.sh with $what: exit status $status, expected 1 and \"$diagnosis\": $(cat "$work/verify.out")"
done

[ "$failures" -eq 0 ] || exit 1
echo "signing: refusals, sign, verify, remove and attach as expected; $(sha256sum "$signed" | cut -d' ' -f1) signed"
