#!/usr/bin/env bash
# Signing and verifying with one osslsigncode (OSSLSIGNCODE_DIR/osslsigncode, as
# scripts/fetch-osslsigncode.sh leaves it), throwaway certificates and a throwaway time-stamp
# authority made here: sign.sh refuses each mistake with its own message and leaves nothing behind,
# embeds the signer's chain in order and describes each program by its own name; a signed copy without
# its signature is the reproducible program, and its detached signature attached to the other clone's
# build gives the signed bytes; verify-release.sh accepts what sign.sh signs, and rejects every file
# that is not one SHA-256 signature by the trusted signer (a root, a CA under it or the signer's own
# certificate, given in PEM or DER) over this program, describing it by its own name or not at all,
# naming no link, with an RFC 3161 time-stamp that verifies where there is one and nothing added that
# the signer did not sign; and gives its verdict without reaching for the network. Skipped, with the
# reason, where that osslsigncode could not be had.
# usage: check_signing.sh SCRIPTS_DIR CLONES_DIR OSSLSIGNCODE_DIR  (the clones as build_clean_clones.sh leaves them)
set -euo pipefail
scripts=$1 clones=$2 tools=$3
here=$(cd "$(dirname "$0")" && pwd)
suite=$(basename "$tools")
if [ -f "$tools/UNAVAILABLE" ]; then
    echo "SKIPPED: osslsigncode from $suite could not be had: $(cat "$tools/UNAVAILABLE")"
    exit 77
elif [ ! -x "$tools/osslsigncode" ]; then
    echo "SKIPPED: osslsigncode from $suite is not in $tools; scripts/install-deps.sh fetches it"
    exit 77
fi
export PATH="$tools:$PATH"
echo "signing with osslsigncode $(cat "$tools/version")"
unset SIGN_PASSWORD
program=$clones/a/build/package/UsbResetOnResume.exe
other_build="$clones/second clone, at a longer path/build/package"
other_program=$other_build/UsbResetOnResume.exe
# osslsigncode overwrites no file, so each run starts from an empty folder.
work=$clones/signing/$suite
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
subject='CN=UsbResetOnResume test signer, O=Throwaway'
make_certificate() {
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$keys/$1-key.pem" -out "$keys/$1.pem" \
        -subj "$2" -addext keyUsage=digitalSignature -addext "extendedKeyUsage=$3" 2>/dev/null
}
make_certificate signer '/CN=UsbResetOnResume test signer/O=Throwaway' codeSigning
make_certificate server '/CN=A web server' serverAuth
make_certificate stranger '/CN=Someone else' codeSigning
# A certificate valid between two UTC dates (YYYYMMDDHHMMSSZ), which only openssl ca sets: for code
# signing and self-signed, or for time-stamping and issued by ISSUER (its .pem and -key.pem).
make_dated_certificate() {  # NAME START END [ISSUER]
    local usage=codeSigning signing=(-selfsign -keyfile "$keys/$1-key.pem")
    [ -z "${4:-}" ] || usage=critical,timeStamping signing=(-cert "$4.pem" -keyfile "$4-key.pem")
    printf '%s\n' '[ ca ]' 'default_ca = dated' '[ dated ]' "database = $ca/$1.index" "new_certs_dir = $ca" \
        'default_md = sha256' 'policy = any' 'rand_serial = yes' '[ any ]' 'commonName = supplied' \
        '[ usage ]' 'keyUsage = digitalSignature' "extendedKeyUsage = $usage" >"$ca/$1.cnf"
    : >"$ca/$1.index"
    openssl req -new -newkey rsa:2048 -nodes -keyout "$keys/$1-key.pem" -out "$ca/$1.csr" -subj "/CN=$1" 2>/dev/null
    openssl ca -batch -config "$ca/$1.cnf" "${signing[@]}" -in "$ca/$1.csr" -notext \
        -startdate "$2" -enddate "$3" -extensions usage -out "$keys/$1.pem" 2>/dev/null
}
make_dated_certificate not-yet-valid 20990101000000Z 20991231000000Z
make_dated_certificate expired 20000101000000Z 20001231000000Z
# A signer, and below a time-stamp authority, whose certificates expire while this test runs: a
# time-stamp keeps what they signed valid after that.
short_lived_until=$(($(date +%s) + 45))
short_lived=("$(date -u -d '-1 hour' +%Y%m%d%H%M%SZ)" "$(date -u -d "@$short_lived_until" +%Y%m%d%H%M%SZ)")
make_dated_certificate short-lived "${short_lived[@]}"
# Signers Windows would refuse: one whose certificate names no usage, one under an intermediate CA for
# web servers only, and one under a root that is no CA.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$keys/no-usage-key.pem" -out "$keys/no-usage.pem" \
    -subj '/CN=No usage named' -addext keyUsage=digitalSignature 2>/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$ca/not-a-ca-key.pem" -out "$keys/not-a-ca.pem" \
    -subj '/CN=Not a CA' -addext basicConstraints=critical,CA:false 2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -keyout "$keys/under-not-a-ca-key.pem" -out "$ca/under-not-a-ca.csr" \
    -subj '/CN=Under no CA' 2>/dev/null
openssl x509 -req -in "$ca/under-not-a-ca.csr" -CA "$keys/not-a-ca.pem" -CAkey "$ca/not-a-ca-key.pem" -days 2 \
    -extfile <(printf 'extendedKeyUsage=codeSigning\nkeyUsage=digitalSignature\n') -out "$keys/under-not-a-ca.pem" 2>/dev/null
# A signer whose name holds a line break, a look-alike letter (Cyrillic ie) and a comma, as if two parts.
printf '%s\n' '[ req ]' 'distinguished_name = dn' 'prompt = no' 'utf8 = yes' 'string_mask = utf8only' '[ dn ]' \
    'CN = $ENV::ODD_NAME' >"$ca/odd-name.cnf"
ODD_NAME=$'Line one\nline tw\xd0\xb5, O=Microsoft' openssl req -x509 -newkey rsa:2048 -nodes -days 2 -config "$ca/odd-name.cnf" \
    -keyout "$keys/odd-name-key.pem" -out "$keys/odd-name.pem" -addext keyUsage=digitalSignature \
    -addext extendedKeyUsage=codeSigning 2>/dev/null
printf 'correct horse\n' >"$keys/password"
printf 'wrong horse\n' >"$keys/wrong-password"
openssl pkcs12 -export -in "$keys/signer.pem" -inkey "$keys/signer-key.pem" -out "$keys/signer.p12" \
    -passout "file:$keys/password"

# A signer under an intermediate CA, as public code-signing certificates are; the signing file holds
# the leaf and the intermediate, and the root is what a verifier trusts.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$ca/root-key.pem" -out "$keys/root.pem" \
    -subj '/CN=Throwaway root' -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign 2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -keyout "$ca/intermediate-key.pem" -out "$ca/intermediate.csr" \
    -subj '/CN=Throwaway intermediate' 2>/dev/null
openssl x509 -req -in "$ca/intermediate.csr" -CA "$keys/root.pem" -CAkey "$ca/root-key.pem" -days 2 \
    -extfile <(printf 'basicConstraints=critical,CA:true\nkeyUsage=critical,keyCertSign\n') \
    -out "$ca/intermediate.pem" 2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -keyout "$keys/leaf-key.pem" -out "$ca/leaf.csr" -subj '/CN=Leaf signer' 2>/dev/null
openssl x509 -req -in "$ca/leaf.csr" -CA "$ca/intermediate.pem" -CAkey "$ca/intermediate-key.pem" -days 2 \
    -extfile <(printf 'extendedKeyUsage=codeSigning\nkeyUsage=digitalSignature\n') -out "$ca/leaf.pem" 2>/dev/null
cat "$ca/leaf.pem" "$ca/intermediate.pem" >"$keys/leaf-chain.pem"
# The same chain in the order a bundle may come in; and with a certificate that is no part of it.
cat "$ca/intermediate.pem" "$ca/leaf.pem" >"$keys/intermediate-first.pem"
cat "$keys/leaf-chain.pem" "$keys/stranger.pem" >"$keys/leaf-chain-and-stranger.pem"
openssl pkcs12 -export -in "$keys/leaf-chain.pem" -inkey "$keys/leaf-key.pem" -out "$keys/leaf-chain.p12" \
    -passout "file:$keys/password"
openssl pkcs12 -export -in "$ca/leaf.pem" -inkey "$keys/leaf-key.pem" -out "$keys/leaf-alone.p12" \
    -passout "file:$keys/password"
# Another signer under the same intermediate, whom trusting the first signer's certificate must not trust.
openssl req -new -newkey rsa:2048 -nodes -keyout "$keys/other-leaf-key.pem" -out "$ca/other-leaf.csr" \
    -subj '/CN=Other leaf signer' 2>/dev/null
openssl x509 -req -in "$ca/other-leaf.csr" -CA "$ca/intermediate.pem" -CAkey "$ca/intermediate-key.pem" -days 2 \
    -extfile <(printf 'extendedKeyUsage=codeSigning\nkeyUsage=digitalSignature\n') -out "$ca/other-leaf.pem" 2>/dev/null
cat "$ca/other-leaf.pem" "$ca/intermediate.pem" >"$keys/other-leaf-chain.pem"
# An intermediate CA for web servers only, and a code signer under it.
openssl req -new -newkey rsa:2048 -nodes -keyout "$ca/tls-intermediate-key.pem" -out "$ca/tls-intermediate.csr" \
    -subj '/CN=Web server intermediate' 2>/dev/null
openssl x509 -req -in "$ca/tls-intermediate.csr" -CA "$keys/root.pem" -CAkey "$ca/root-key.pem" -days 2 \
    -extfile <(printf 'basicConstraints=critical,CA:true\nkeyUsage=critical,keyCertSign\nextendedKeyUsage=serverAuth\n') \
    -out "$ca/tls-intermediate.pem" 2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -keyout "$keys/under-tls-key.pem" -out "$ca/under-tls.csr" -subj '/CN=Under TLS' 2>/dev/null
openssl x509 -req -in "$ca/under-tls.csr" -CA "$ca/tls-intermediate.pem" -CAkey "$ca/tls-intermediate-key.pem" -days 2 \
    -extfile <(printf 'extendedKeyUsage=codeSigning\nkeyUsage=digitalSignature\n') -out "$ca/under-tls.pem" 2>/dev/null
cat "$ca/under-tls.pem" "$ca/tls-intermediate.pem" >"$keys/under-tls-chain.pem"
# A private time-stamp authority: its own root, and a certificate for time-stamping only under it, which
# names a place to fetch revocations from where nothing listens.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$ca/tsa-root-key.pem" -out "$keys/tsa-root.pem" \
    -subj '/CN=Throwaway time-stamp root' -addext basicConstraints=critical,CA:true \
    -addext keyUsage=critical,keyCertSign 2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -keyout "$ca/tsa-key.pem" -out "$ca/tsa.csr" \
    -subj '/CN=Throwaway time-stamp authority' 2>/dev/null
openssl x509 -req -in "$ca/tsa.csr" -CA "$keys/tsa-root.pem" -CAkey "$ca/tsa-root-key.pem" -days 2 \
    -extfile <(printf 'extendedKeyUsage=critical,timeStamping\nkeyUsage=critical,digitalSignature\n%s\n' \
        'crlDistributionPoints=URI:http://127.0.0.1:9/tsa.crl') \
    -out "$ca/tsa.pem" 2>/dev/null
cp "$keys/tsa-root.pem" "$ca/tsa-issuer.pem" && cp "$ca/tsa-root-key.pem" "$ca/tsa-issuer-key.pem"
make_dated_certificate short-lived-authority "${short_lived[@]}" "$ca/tsa-issuer"
# Four servers on loopback: one that answers, one whose tokens carry a broken signature, one whose tokens
# stamp another file's hash, and one that accepts the connection and never answers; and one more that
# answers, as the short-lived authority. Each stops by itself after five minutes at the latest.
servers=()
trap 'kill "${servers[@]}" 2>/dev/null || true' EXIT
for manner in answer corrupt other-hash silent; do
    "$here/time_stamp_server.py" 300 "$manner" "$ca/tsa.pem" "$ca/tsa-key.pem" >"$work/$manner.port" &
    servers+=($!)
done
"$here/time_stamp_server.py" 300 answer "$keys/short-lived-authority.pem" "$keys/short-lived-authority-key.pem" \
    >"$work/short-lived-authority.port" &
servers+=($!)
server_url() {
    local tries=0
    until [ -s "$work/$1.port" ]; do
        tries=$((tries + 1))
        [ "$tries" -le 100 ] || { echo "FAIL: the $1 time-stamp server did not start" >&2; exit 1; }
        sleep 0.1
    done
    echo "http://127.0.0.1:$(head -n 1 "$work/$1.port")/"
}

# A signer whose certificate names the silent server as the place to fetch its revocation list.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$keys/revocable-key.pem" -out "$keys/revocable.pem" \
    -subj '/CN=Revocable signer' -addext keyUsage=digitalSignature -addext extendedKeyUsage=codeSigning \
    -addext "crlDistributionPoints=URI:$(server_url silent)signer.crl" 2>/dev/null

flip_byte() {  # FILE OFFSET: inverts one byte
    local byte
    byte=$(od -An -tu1 -j"$2" -N1 "$1" | tr -d ' ')
    printf "\\$(printf '%03o' $((byte ^ 0xff)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
pem_signer=(--cert "$keys/signer.pem" --key "$keys/signer-key.pem")
sign() {  # OUTPUT.exe SIGN.SH-ARGUMENTS...: signs, or records why not
    local output=$1
    shift
    "$scripts/sign.sh" --output "$output" "$@" >"$work/sign.out" 2>&1 || fail "sign.sh --output $output $*: $(cat "$work/sign.out")"
}

# Signed while the short-lived certificates are valid: by the signer, with a time-stamp and without,
# and time-stamped by the authority.
sign "$work/short-lived-signed.exe" --cert "$keys/short-lived.pem" --key "$keys/short-lived-key.pem" "$exe"
sign "$work/short-lived-stamped.exe" --cert "$keys/short-lived.pem" --key "$keys/short-lived-key.pem" \
    --timestamp "$(server_url answer)" --tsa-ca "$keys/tsa-root.pem" "$exe"
sign "$work/short-lived-authority.exe" "${pem_signer[@]}" --timestamp "$(server_url short-lived-authority)" \
    --tsa-ca "$keys/tsa-root.pem" "$exe"

# A password file saved on Windows (CR LF) is read as its one line.
printf 'correct horse\r\n' >"$keys/password-crlf"
sign "$work/crlf-signed.exe" --pkcs12 "$keys/signer.p12" --password-file "$keys/password-crlf" "$exe"

# Both kinds of certificate file sign; the PKCS#12 file with the default output beside the program.
SIGN_PASSWORD='correct horse' "$scripts/sign.sh" --pkcs12 "$keys/signer.p12" "$exe" \
    >"$work/sign.out" 2>&1 || fail "sign.sh with the PKCS#12 file: $(cat "$work/sign.out")"
signed=$dist/UsbResetOnResume-signed.exe
sign "$work/pem-signed.exe" "${pem_signer[@]}" "$exe"
sign "$work/time-stamped.exe" "${pem_signer[@]}" --timestamp "$(server_url answer)" --tsa-ca "$keys/tsa-root.pem" "$exe"
sign "$work/leaf-signed.exe" --cert "$keys/leaf-chain.pem" --key "$keys/leaf-key.pem" "$exe"
sign "$work/reordered-signed.exe" --cert "$keys/intermediate-first.pem" --key "$keys/leaf-key.pem" "$exe"
sign "$work/leaf-p12-signed.exe" --pkcs12 "$keys/leaf-chain.p12" --password-file "$keys/password" "$exe"
sign "$work/other-leaf-signed.exe" --cert "$keys/other-leaf-chain.pem" --key "$keys/other-leaf-key.pem" "$exe"
sign "$work/revocable-signed.exe" --cert "$keys/revocable.pem" --key "$keys/revocable-key.pem" "$exe"
# --force replaces a signed copy made before.
sign "$work/pem-signed.exe" "${pem_signer[@]}" --force "$exe"
# Names that begin with '-', which no command may take for an option.
cp "$exe" "$work/-program.exe"
(cd "$work" && "$scripts/sign.sh" "${pem_signer[@]}" -- -program.exe >"$work/sign.out" 2>&1) \
    || fail "sign.sh -- -program.exe: $(cat "$work/sign.out")"
cmp "$exe" "$program" || fail "signing changed the unsigned program"
for file in "$signed" "$work/pem-signed.exe" "$work/time-stamped.exe" "$work/leaf-signed.exe" "$work/revocable-signed.exe" \
        "$work/reordered-signed.exe" "$work/leaf-p12-signed.exe" "$work/other-leaf-signed.exe" "$work/-program-signed.exe"; do
    [ -f "$file" ] || { echo "FAIL: no signed copy $file to go on with" >&2; exit 1; }
done
# Each program's signature is described by the program's own name, which Windows shows for it (in
# the elevation prompt, among other places).
for name in UsbResetOnResume UsbResetOnResumeCheck UsbResetOnResumeUndo; do
    sign "$work/$name-described.exe" "${pem_signer[@]}" "$clones/a/build/package/$name.exe"
    "$scripts/verify-release.sh" --ca "$keys/signer.pem" --unsigned "$other_build/$name.exe" \
        "$work/$name-described.exe" >"$work/verify.out" 2>&1 && grep -qx "  description: $name" "$work/verify.out" \
        || fail "verify-release.sh does not accept $name.exe described by its own name, or does not say so: $(cat "$work/verify.out")"
done

# Each mistake: sign.sh's own message that names it (any tool's report indented below it), and the
# program's and the keys' folders exactly as they were, and no osslsigncode left running. A signed copy
# already stands beside the program; an interrupted sign.sh is sent the signal as a terminal's Ctrl-C
# sends it (INT to its process group) or as a service manager stops it (TERM to sign.sh alone).
folders_state() {
    (cd "$work" && find dist keys | sort && find dist keys -type f -exec sha256sum {} + | sort)
}
"$here/alter_signature.py" no-version-information "$exe" "$keys/nameless.exe"
before=$(folders_state)
ln -s "$work/nowhere.exe" "$work/dangling.exe"
refused=$work/refused.exe
signing_now() {  # whether an osslsigncode started by sign.sh is running in this folder
    pgrep -f -- "osslsigncode .*$work/\.sign\." >/dev/null
}
refused() {  # MESSAGE [INT|TERM] [VARIABLE=VALUE...] -- SIGN.SH-ARGUMENTS...
    local message=$1 signal='' environment=() status=0 pid tries=0
    shift
    case $1 in INT|TERM) signal=$1; shift ;; esac
    while [ "$1" != -- ]; do environment+=("$1"); shift; done
    shift
    if [ -z "$signal" ]; then
        timeout 60 env "${environment[@]}" "$scripts/sign.sh" "$@" >"$work/sign.out" 2>&1 || status=$?
    else
        # Sent while it waits for the time-stamp. A shell started in the background, as this test may
        # be, passes SIGINT on ignored, which no script can then trap: sign.sh gets it as a terminal does.
        set -m
        env --default-signal=INT "${environment[@]}" "$scripts/sign.sh" "$@" >"$work/sign.out" 2>&1 &
        pid=$!
        set +m
        until signing_now || [ "$tries" -gt 300 ]; do
            tries=$((tries + 1))
            sleep 0.1
        done
        local sent=$SECONDS
        if [ "$signal" = INT ]; then kill -INT -- "-$pid"; else kill -TERM "$pid"; fi
        wait "$pid" || status=$?
        # At once, not when the time-stamp server's time is up.
        [ $((SECONDS - sent)) -lt 10 ] || fail "sign.sh $* (SIG$signal): took $((SECONDS - sent)) s to stop"
    fi
    local call="sign.sh $*${signal:+ (SIG$signal)}"
    [ "$status" = 1 ] || fail "$call: exit status $status, expected 1"
    grep -qF -- "$message" <(grep '^sign: ' "$work/sign.out") || fail "$call: no \"sign: ...$message\" in: $(cat "$work/sign.out")"
    ! grep -qv -e '^sign: ' -e '^  ' "$work/sign.out" || fail "$call: another tool's noise in: $(cat "$work/sign.out")"
    [ "$(folders_state)" = "$before" ] || fail "$call: the folders changed: $(ls -A "$dist" "$keys")"
    [ ! -e "$work/twice.exe" ] && [ ! -e "$work/text.exe" ] && [ ! -e "$refused" ] && [ ! -e "$work/new-folder" ] \
        && [ -L "$work/dangling.exe" ] && [ ! -e "$work/dangling.exe" ] || fail "$call: left a signed copy behind"
    ! signing_now || fail "$call: left osslsigncode running"
}
refused "no such file" -- --pkcs12 "$keys/missing.p12" "$exe"
refused "wrong password" -- --pkcs12 "$keys/signer.p12" --password-file "$keys/wrong-password" "$exe"
refused "wrong password" -- --pkcs12 "$keys/signer.p12" "$exe"
refused "both SIGN_PASSWORD and --password-file" SIGN_PASSWORD=horse -- \
    --pkcs12 "$keys/signer.p12" --password-file "$keys/password" "$exe"
refused "not for code signing" -- --cert "$keys/server.pem" --key "$keys/server-key.pem" "$exe"
refused "is not valid before" -- --cert "$keys/not-yet-valid.pem" --key "$keys/not-yet-valid-key.pem" "$exe"
refused "expired on" -- --cert "$keys/expired.pem" --key "$keys/expired-key.pem" "$exe"
refused "$keys/server-key.pem is not the private key of any certificate in $keys/signer.pem: $subject" -- \
    --cert "$keys/signer.pem" --key "$keys/server-key.pem" "$exe"
refused "the certificate that issued CN=Leaf signer (CN=Throwaway intermediate) is not in" -- \
    --cert "$ca/leaf.pem" --key "$keys/leaf-key.pem" "$exe"
refused "the certificate that issued CN=Leaf signer (CN=Throwaway intermediate) is not in" -- \
    --pkcs12 "$keys/leaf-alone.p12" --password-file "$keys/password" "$exe"
refused "holds certificates that are not the signer's chain: CN=Someone else" -- \
    --cert "$keys/leaf-chain-and-stranger.pem" --key "$keys/leaf-key.pem" "$exe"
refused "must not replace" -- "${pem_signer[@]}" --output "$exe" "$exe"
refused "must not replace" -- "${pem_signer[@]}" --output "$keys/signer-key.pem" "$exe"
refused "must not replace" -- --pkcs12 "$keys/signer.p12" --password-file "$keys/password" --output "$keys/signer.p12" "$exe"
refused "must not replace" -- "${pem_signer[@]}" --tsa-ca "$keys/tsa-root.pem" --output "$keys/tsa-root.pem" --force "$exe"
refused "is a folder" -- "${pem_signer[@]}" --output "$keys" "$exe"
refused "exists already" -- "${pem_signer[@]}" "$exe"
refused "exists already" -- "${pem_signer[@]}" --output "$exe.sha256" "$exe"
refused "is signed already" -- "${pem_signer[@]}" --output "$work/twice.exe" "$signed"
refused "not a Windows program" -- "${pem_signer[@]}" --output "$work/text.exe" "$exe.sha256"
refused "has no version information naming it" -- "${pem_signer[@]}" --output "$work/text.exe" "$keys/nameless.exe"
refused "(CN=Web server intermediate) is not for code signing" -- --cert "$keys/under-tls-chain.pem" \
    --key "$keys/under-tls-key.pem" --output "$work/text.exe" "$exe"
refused "time-stamp server" -- "${pem_signer[@]}" --timestamp http://127.0.0.1:9/ "$exe"
refused "did not answer within 3 seconds" -- "${pem_signer[@]}" --timestamp "$(server_url silent)" --timestamp-timeout 3 "$exe"
refused "the time-stamp does not verify" -- "${pem_signer[@]}" --timestamp "$(server_url corrupt)" \
    --tsa-ca "$keys/tsa-root.pem" --output "$refused" "$exe"
refused "the time-stamp does not verify" -- "${pem_signer[@]}" --timestamp "$(server_url other-hash)" \
    --tsa-ca "$keys/tsa-root.pem" --output "$refused" "$exe"
refused "the time-stamp does not verify" -- "${pem_signer[@]}" --timestamp "$(server_url answer)" --output "$refused" "$exe"
refused "exists already" -- "${pem_signer[@]}" --output "$work/dangling.exe" "$exe"
refused "is a folder" -- "${pem_signer[@]}" --output "$work/new-folder/" "$exe"
refused "interrupted" INT -- "${pem_signer[@]}" --timestamp "$(server_url silent)" --timestamp-timeout 30 --output "$refused" "$exe"
refused "interrupted" TERM -- "${pem_signer[@]}" --timestamp "$(server_url silent)" --timestamp-timeout 30 --output "$refused" "$exe"

# The steps underneath, as a verifier who publishes detached signatures takes them, with the maintainer's
# guide's commands, which reach for no revocation list: the signer's names a server that never answers.
osslsigncode remove-signature -in "$signed" -out "$work/removed.exe" >/dev/null 2>&1
cmp "$work/removed.exe" "$program" || fail "remove-signature does not give the reproducible program"
osslsigncode extract-signature -in "$work/revocable-signed.exe" -out "$work/signature.der" >/dev/null 2>&1
status=0
timeout 20 osslsigncode attach-signature -sigin "$work/signature.der" -CAfile /dev/null -TSA-CAfile /dev/null \
    -in "$other_program" -out "$work/attached.exe" >"$work/attach.out" 2>&1 || status=$?
[ "$status" != 124 ] || fail "attach-signature, as the maintainer's guide has it, waited for a revocation list"
cmp "$work/attached.exe" "$work/revocable-signed.exe" \
    || fail "the signature attached to the other clone's program does not give the signed bytes: $(cat "$work/attach.out")"

# A program these sources do not build, validly signed: two letters of its DOS stub's message
# swapped, two bytes apart so that the header's checksum (a sum of 16-bit words) still holds.
cp "$program" "$work/other-program.exe"
stub=$(grep -boaF 'This program cannot' "$program" | head -n 1 | cut -d: -f1)
printf 'ihT' | dd of="$work/other-program.exe" bs=1 seek="$stub" conv=notrunc status=none
sign "$work/other-signed.exe" "${pem_signer[@]}" "$work/other-program.exe"
# Signatures sign.sh would never make, as someone passing a file off as the signer's would: a second
# signature nested in either order, weak digests by the signer's own key, and more.
attacker() {  # OUTPUT.exe OSSLSIGNCODE-SIGN-ARGUMENTS...
    local output=$1
    shift
    osslsigncode sign "$@" -out "$output" >"$work/attacker.out" 2>&1 || fail "osslsigncode sign $*: $(cat "$work/attacker.out")"
}
by_signer=(-certs "$keys/signer.pem" -key "$keys/signer-key.pem")
attacker "$work/stranger-signed.exe" -h sha256 -certs "$keys/stranger.pem" -key "$keys/stranger-key.pem" -in "$program"
attacker "$work/nested.exe" -nest -h sha256 -certs "$keys/stranger.pem" -key "$keys/stranger-key.pem" -in "$signed"
attacker "$work/reversed.exe" -nest -h sha256 "${by_signer[@]}" -in "$work/stranger-signed.exe"
attacker "$work/md5.exe" -h md5 "${by_signer[@]}" -in "$program"
attacker "$work/sha1.exe" -h sha1 "${by_signer[@]}" -in "$program"
attacker "$work/bad-time-stamp.exe" -h sha256 "${by_signer[@]}" -ts "$(server_url corrupt)" -in "$program"
attacker "$work/other-hash.exe" -h sha256 "${by_signer[@]}" -ts "$(server_url other-hash)" -in "$program"
cat "$keys/signer.pem" "$keys/stranger.pem" >"$work/signer-and-stranger.pem"
attacker "$work/extra-certificate.exe" -h sha256 -certs "$work/signer-and-stranger.pem" -key "$keys/signer-key.pem" -in "$program"
attacker "$work/tls-signed.exe" -h sha256 -certs "$keys/server.pem" -key "$keys/server-key.pem" -n UsbResetOnResume -in "$program"
attacker "$work/under-tls.exe" -h sha256 -certs "$keys/under-tls-chain.pem" -key "$keys/under-tls-key.pem" -in "$program"
attacker "$work/no-usage.exe" -h sha256 -certs "$keys/no-usage.pem" -key "$keys/no-usage-key.pem" -in "$program"
attacker "$work/under-not-a-ca.exe" -h sha256 -certs "$keys/under-not-a-ca.pem" -key "$keys/under-not-a-ca-key.pem" -in "$program"
cat "$keys/under-not-a-ca.pem" "$keys/not-a-ca.pem" >"$work/under-not-a-ca-chain.pem"
attacker "$work/under-not-a-ca-carried.exe" -h sha256 -certs "$work/under-not-a-ca-chain.pem" -key "$keys/under-not-a-ca-key.pem" \
    -in "$program"
attacker "$work/odd-name.exe" -h sha256 -certs "$keys/odd-name.pem" -key "$keys/odd-name-key.pem" -n UsbResetOnResume -in "$program"
# A description of the signer's choosing, which Windows shows in place of the file's name: another
# name, lines that would have forged a report's, none at all (Windows then shows the file's name); and
# a link the signer chose, which Windows shows beside it.
attacker "$work/misnamed.exe" -h sha256 "${by_signer[@]}" -n 'Microsoft Windows Update' -in "$program"
attacker "$work/two-lines.exe" -h sha256 "${by_signer[@]}" -n "UsbResetOnResume"$'\n''Timestamp is not available' \
    -ts "$(server_url answer)" -in "$program"
attacker "$work/undescribed.exe" -h sha256 "${by_signer[@]}" -in "$program"
attacker "$work/linked.exe" -h sha256 "${by_signer[@]}" -n UsbResetOnResume -i https://example.invalid/update -in "$program"
# Content added by someone without the key: a blob beside the signature, a second signature in the
# table, a time-stamp of the older kind (a countersignature), and bytes appended after the signature.
osslsigncode add -addUnauthenticatedBlob -in "$work/pem-signed.exe" -out "$work/blob.exe" >"$work/attacker.out" 2>&1 \
    || fail "osslsigncode add -addUnauthenticatedBlob: $(cat "$work/attacker.out")"
for alteration in second-entry entry-length entry-revision revocation-data other-certificate no-certificates \
        not-signed-data content-type; do
    "$here/alter_signature.py" "$alteration" "$work/pem-signed.exe" "$work/$alteration.exe"
done
"$here/alter_signature.py" unsigned-attribute 1.2.840.113549.1.9.6 "$work/pem-signed.exe" "$work/countersigned.exe"
"$here/alter_signature.py" token-unsigned-attribute "$work/time-stamped.exe" "$work/token-unsigned-attribute.exe"
"$here/alter_signature.py" token-certificate "$keys/stranger.pem" "$work/time-stamped.exe" "$work/token-certificate.exe"
# What only the signer's key could do, but no signing tool would write: two descriptions, and RSA-PSS.
"$here/alter_signature.py" two-descriptions "$keys/signer-key.pem" "$work/pem-signed.exe" "$work/two-descriptions.exe"
"$here/alter_signature.py" pss "$keys/signer-key.pem" "$work/pem-signed.exe" "$work/pss.exe"
{ cat "$signed"; echo 'appended'; } >"$work/appended.exe"
# The signer's signature carried over to another program: the digest it signs replaced by the other
# program's, and then the signed attributes' digest too, as a forger would make them agree.
"$here/alter_signature.py" transplant "$work/other-signed.exe" "$work/pem-signed.exe" "$work/transplanted.exe"
"$here/alter_signature.py" transplant "$work/other-signed.exe" --attributes "$work/pem-signed.exe" "$work/forged.exe"
# The trusted certificate as Windows exports it (DER), in a bundle (.p7b), and two DER ones in a row.
openssl x509 -in "$keys/signer.pem" -outform DER -out "$work/signer.cer"
openssl crl2pkcs7 -nocrl -certfile "$keys/signer.pem" -outform DER -out "$work/signer.p7b"
{ openssl x509 -in "$keys/stranger.pem" -outform DER; cat "$work/signer.cer"; } >"$work/stranger-and-signer.der"
# A CA folder standing in for the system's, where the stranger is trusted: --ca must be all that is.
mkdir -p "$work/system-cas" && cp "$keys/stranger.pem" "$work/system-cas/" && openssl rehash "$work/system-cas" 2>/dev/null

# What verify-release.sh must report. Offsets: the PE header starts at the word at 0x3c; its checksum
# is 88 bytes in, and the size of the signature's table 156 bytes in (a 32-bit image's security
# directory), whose second byte inverted makes a table of some 60 KiB; the signature (a WIN_CERTIFICATE)
# begins where the unsigned program ends.
pe=$(od -An -tu4 -j60 -N4 "$signed" | tr -d ' ')
unsigned_size=$(stat -c %s "$program")
signed_size=$(stat -c %s "$signed")
trust_signer=(--ca "$keys/signer.pem")
trust_both=(--ca "$keys/signer.pem" --tsa-ca "$keys/tsa-root.pem")
verify_environment=()
verdict() {  # WHAT FILE OFFSET-OF-A-BYTE-TO-INVERT EXIT-STATUS DIAGNOSIS VERIFY-RELEASE-OPTIONS...
    local what=$1 file=$2 offset=$3 expected=$4 diagnosis=$5 status=0 verdict_line
    shift 5
    cp "$file" "$work/changed.exe"
    [ -z "$offset" ] || flip_byte "$work/changed.exe" "$offset"
    timeout 90 env "${verify_environment[@]}" "$scripts/verify-release.sh" "$@" --unsigned "$other_program" \
        "$work/changed.exe" >"$work/verify.out" 2>&1 || status=$?
    verdict_line=$([ "$expected" = 0 ] && echo '^OK' || echo '^verify-release: ')
    [ "$status" = "$expected" ] && grep -qF -- "$diagnosis" "$work/verify.out" && grep -q "$verdict_line" "$work/verify.out" \
        || fail "verify-release.sh with $what: exit status $status, expected $expected and \"$diagnosis\": $(cat "$work/verify.out")"
}
verdict "a byte of code" "$signed" $((0x400 + 0x100)) 1 "the signature does not verify" "${trust_signer[@]}"
verdict "the header checksum" "$signed" $((pe + 88)) 1 "differs from the build with its own signature attached: the header's checksum" "${trust_signer[@]}"
verdict "a byte inside the signature" "$signed" $(((unsigned_size + signed_size) / 2)) 1 "the signature does not verify" "${trust_signer[@]}"
verdict "the last byte of the file" "$signed" $((signed_size - 1)) 1 "differs from the build with its own signature" "${trust_signer[@]}"
verdict "bytes appended after the signature" "$work/appended.exe" "" 1 "9 bytes after its signature" "${trust_signer[@]}"
verdict "a signature table that runs past the end of the file" "$signed" $((pe + 157)) 1 "bytes past the end of the file" "${trust_signer[@]}"
verdict "a certificate that is not trusted" "$signed" "" 1 "the signature does not verify against" --ca "$keys/stranger.pem"
verdict "a signer no system CA issued, with no --ca" "$signed" "" 1 "the signature does not verify against the system's CAs"
verdict "no signature at all" "$program" "" 1 "is not signed" "${trust_signer[@]}"
verdict "a file that is no program" "$exe.sha256" "" 1 "not a Windows program" "${trust_signer[@]}"
verdict "another program, validly signed" "$work/other-signed.exe" "" 1 "without its signature is not the given program" "${trust_signer[@]}"
verdict "a stranger's signature nested in the signer's" "$work/nested.exe" "" 1 "carries 2 signatures" "${trust_signer[@]}"
verdict "the signer's signature nested in a stranger's" "$work/reversed.exe" "" 1 "carries 2 signatures" "${trust_signer[@]}"
verdict "a second signature in the table" "$work/second-entry.exe" "" 1 "carries 2 signatures" "${trust_signer[@]}"
verdict "a table entry too short for its header" "$work/entry-length.exe" "" 1 "table is not a list of signatures" "${trust_signer[@]}"
verdict "a table entry of another revision" "$work/entry-revision.exe" "" 1 "is not an Authenticode one" "${trust_signer[@]}"
verdict "a signature that is no signed data" "$work/not-signed-data.exe" "" 1 "its signature is not signed data" "${trust_signer[@]}"
verdict "a signature over content that is no program's" "$work/content-type.exe" "" 1 "does not sign a program" \
    "${trust_signer[@]}"
verdict "a signature without its certificates" "$work/no-certificates.exe" "" 1 "the signer's certificate is not in the signature" \
    "${trust_signer[@]}"
verdict "revocation data added to the signature" "$work/revocation-data.exe" "" 1 \
    "content the signer did not sign: revocation data in the signature" "${trust_signer[@]}"
verdict "a certificate in another format added" "$work/other-certificate.exe" "" 1 \
    "content the signer did not sign: a certificate in another format" "${trust_signer[@]}"
verdict "an unsigned attribute added to the time-stamp" "$work/token-unsigned-attribute.exe" "" 1 \
    "an unsigned attribute in its time-stamp" "${trust_both[@]}"
verdict "a stranger's certificate added to the time-stamp" "$work/token-certificate.exe" "" 1 \
    "its time-stamp carries certificates that are not the signer's chain: CN=Someone else" "${trust_both[@]}"
verdict "two descriptions, both signed" "$work/two-descriptions.exe" "" 1 "holds the attribute 1.3.6.1.4.1.311.2.1.12 2 times" \
    "${trust_signer[@]}"
verdict "attributes signed with RSA-PSS" "$work/pss.exe" "" 1 "signature algorithm (rsassa_pss) is not one this check verifies" \
    "${trust_signer[@]}"
verdict "a signer under an intermediate CA for web servers" "$work/under-tls.exe" "" 1 \
    "(CN=Web server intermediate) is not for code signing" --ca "$keys/root.pem"
verdict "a signer whose certificate names no usage" "$work/no-usage.exe" "" 1 "(CN=No usage named) is not for code signing" \
    --ca "$keys/no-usage.pem"
verdict "a signer under a root that is no CA" "$work/under-not-a-ca.exe" "" 1 \
    "the certificate CN=Not a CA is not a CA, yet stands above CN=Under no CA" --ca "$keys/not-a-ca.pem"
verdict "a signer under a root that is no CA, carried in the signature" "$work/under-not-a-ca-carried.exe" "" 1 \
    "the certificate CN=Not a CA, named as the issuer of CN=Under no CA, which did not issue it" --ca "$keys/not-a-ca.pem"
verdict "a signer whose name holds a line break, a look-alike letter and a comma" "$work/odd-name.exe" "" 0 \
    'signer:  CN=Line one\u000aline tw\u0435\u002c O\u003dMicrosoft' --ca "$keys/odd-name.pem"
verify_environment=(SSL_CERT_DIR="$work/system-cas")
verdict "a stranger trusted by the system's CA folder, with --ca" "$work/stranger-signed.exe" "" 1 \
    "the signature does not verify against $keys/signer.pem" "${trust_signer[@]}"
verify_environment=()
verdict "the signed digest replaced by another program's" "$work/transplanted.exe" "" 1 \
    "its attributes do not sign the file's digest" "${trust_signer[@]}"
verdict "the signed digest and the attributes replaced to agree" "$work/forged.exe" "" 1 \
    "its signer's key did not sign it" "${trust_signer[@]}"
verdict "an MD5 signature by the signer" "$work/md5.exe" "" 1 "digest MD5" "${trust_signer[@]}"
verdict "a SHA-1 signature by the signer" "$work/sha1.exe" "" 1 "digest SHA1" "${trust_signer[@]}"
verdict "a time-stamp with a broken signature" "$work/bad-time-stamp.exe" "" 1 "the time-stamp does not verify" "${trust_both[@]}"
verdict "a time-stamp of another file's hash" "$work/other-hash.exe" "" 1 "the time-stamp does not verify" "${trust_both[@]}"
verdict "a time-stamp by an authority not trusted" "$work/time-stamped.exe" "" 1 "the time-stamp does not verify" "${trust_signer[@]}"
verdict "a time-stamp of the older kind" "$work/countersigned.exe" "" 1 "time-stamp is of the older Authenticode kind" "${trust_signer[@]}"
verdict "a blob added beside the signature" "$work/blob.exe" "" 1 "content the signer did not sign" "${trust_signer[@]}"
verdict "a signature describing the program by another name" "$work/misnamed.exe" "" 1 \
    "describes the program as \"Microsoft Windows Update\", not by its own name \"UsbResetOnResume\"" "${trust_signer[@]}"
verdict "a description of two lines" "$work/two-lines.exe" "" 1 \
    'describes the program as "UsbResetOnResume\u000aTimestamp is not available"' "${trust_both[@]}"
verdict "a signature naming a link" "$work/linked.exe" "" 1 "names a link for the program, https://example.invalid/update" "${trust_signer[@]}"
verdict "a stranger's certificate beside the signer's" "$work/extra-certificate.exe" "" 1 \
    "carries certificates that are not the signer's chain: CN=Someone else" "${trust_signer[@]}"
verdict "a signature by a certificate for web servers" "$work/tls-signed.exe" "" 1 "is not for code signing" --ca "$keys/server.pem"
verdict "a signature with no description" "$work/undescribed.exe" "" 0 "description: none" "${trust_signer[@]}"
verdict "the trusted certificate in DER form" "$signed" "" 0 "signer:  $subject" --ca "$work/signer.cer"
verdict "the trusted certificate in a .p7b bundle" "$signed" "" 0 "signer:  $subject" --ca "$work/signer.p7b"
verdict "two trusted certificates in DER, one after the other" "$signed" "" 0 "signer:  $subject" \
    --ca "$work/stranger-and-signer.der"
verdict "a --ca file that is not a certificate" "$signed" "" 1 "is not a certificate in PEM or DER form" --ca "$keys/password"
verdict "a --ca file in PEM that holds no certificate" "$signed" "" 1 "$keys/signer-key.pem holds no certificate" \
    --ca "$keys/signer-key.pem"
verdict "a signer under an intermediate CA, the root trusted" "$work/leaf-signed.exe" "" 0 "signer:  CN=Leaf signer" --ca "$keys/root.pem"
verdict "a signer under an intermediate CA, the intermediate trusted" "$work/leaf-signed.exe" "" 0 "signer:  CN=Leaf signer" \
    --ca "$ca/intermediate.pem"
verdict "a signer under an intermediate CA, its own certificate trusted" "$work/leaf-signed.exe" "" 0 "signer:  CN=Leaf signer" \
    --ca "$ca/leaf.pem"
verdict "another signer under the same intermediate, the first one's certificate trusted" "$work/other-leaf-signed.exe" "" 1 \
    "the signature does not verify against" --ca "$ca/leaf.pem"
verdict "a signer whose bundle had the intermediate first, the root trusted" "$work/reordered-signed.exe" "" 0 \
    "signer:  CN=Leaf signer" --ca "$keys/root.pem"
verdict "a signer under an intermediate CA from a PKCS#12 file, the root trusted" "$work/leaf-p12-signed.exe" "" 0 \
    "signer:  CN=Leaf signer" --ca "$keys/root.pem"
verdict "a signer whose revocation list's server never answers" "$work/revocable-signed.exe" "" 0 "revocation: not checked" \
    --ca "$keys/revocable.pem"
while [ "$(date +%s)" -le "$short_lived_until" ]; do sleep 1; done
verdict "a signature whose certificate has expired since" "$work/short-lived-signed.exe" "" 1 \
    "the certificate CN=short-lived was not valid on" --ca "$keys/short-lived.pem"
verdict "a time-stamped signature whose certificate has expired since" "$work/short-lived-stamped.exe" "" 0 "time-stamp: " \
    --ca "$keys/short-lived.pem" --tsa-ca "$keys/tsa-root.pem"
verdict "a time-stamp whose authority's certificate has expired since" "$work/short-lived-authority.exe" "" 0 \
    "by the authority whose certificate is issued by CN=Throwaway time-stamp root" "${trust_both[@]}"
verdict "a time-stamp by a private authority, its root given" "$work/time-stamped.exe" "" 0 \
    "by the authority whose certificate is issued by CN=Throwaway time-stamp root" "${trust_both[@]}"

# Compared with a program at hand, the verdict says so, and no more; a name that begins with '-' is a file.
if (cd "$work" && "$scripts/verify-release.sh" "${trust_signer[@]}" --unsigned "$other_program" -- -program-signed.exe) \
        >"$work/verify.out" 2>&1; then
    grep -qxF "OK: -program-signed.exe is the given program $other_program, signed" "$work/verify.out" \
        || fail "the verdict claims more than the comparison with a given program: $(cat "$work/verify.out")"
else
    fail "verify-release.sh rejects -program-signed.exe: $(cat "$work/verify.out")"
fi

[ "$failures" -eq 0 ] || exit 1
# scripts/test.sh names the versions the signing tests passed with.
cp "$tools/version" "$tools/tested"
echo "signing with osslsigncode $(cat "$tools/version"): refusals, sign, verify, remove and attach as expected"
