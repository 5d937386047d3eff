#!/usr/bin/env bash
# Signing and verifying with throwaway certificates and a throwaway time-stamp authority made here:
# sign.sh refuses each mistake with its own message and leaves nothing behind, embeds the signer's chain
# in order and describes each program by its own name; a signed copy verifies against the sources in a
# fresh clone, whatever compiler flags the environment holds, naming the commit and whether the clone
# was clean; without its signature it is the reproducible program; its detached signature attached to
# the other clone's build gives the signed bytes; and verify-release.sh rejects every file that is not
# one SHA-256 signature by the trusted signer (a root, a CA under it or the signer's own certificate)
# over this program, with a time-stamp that verifies where there is one and nothing added that the
# signer did not sign, and gives its verdict without reaching for the network.
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
# Four servers on loopback: one that answers, one whose tokens carry a broken signature, one whose tokens
# stamp another file's hash, and one that accepts the connection and never answers. Each stops by itself
# after five minutes at the latest.
servers=()
trap 'kill "${servers[@]}" 2>/dev/null || true' EXIT
for manner in answer corrupt other-hash silent; do
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
sign "$work/time-stamped.exe" "${pem_signer[@]}" --timestamp "$(server_url answer)" --tsa-ca "$keys/tsa-root.pem" "$exe"
sign "$work/leaf-signed.exe" --cert "$keys/leaf-chain.pem" --key "$keys/leaf-key.pem" "$exe"
sign "$work/reordered-signed.exe" --cert "$keys/intermediate-first.pem" --key "$keys/leaf-key.pem" "$exe"
sign "$work/leaf-p12-signed.exe" --pkcs12 "$keys/leaf-chain.p12" --password-file "$keys/password" "$exe"
sign "$work/other-leaf-signed.exe" --cert "$keys/other-leaf-chain.pem" --key "$keys/other-leaf-key.pem" "$exe"
sign "$work/revocable-signed.exe" --cert "$keys/revocable.pem" --key "$keys/revocable-key.pem" "$exe"
# --force replaces a signed copy made before.
sign "$work/pem-signed.exe" "${pem_signer[@]}" --force "$exe"
cmp "$exe" "$program" || fail "signing changed the unsigned program"
for file in "$signed" "$work/pem-signed.exe" "$work/time-stamped.exe" "$work/leaf-signed.exe" "$work/revocable-signed.exe" \
        "$work/reordered-signed.exe" "$work/leaf-p12-signed.exe" "$work/other-leaf-signed.exe"; do
    [ -f "$file" ] || { echo "FAIL: no signed copy $file to go on with" >&2; exit 1; }
done
# Each program's signature is described by the program's own name, which Windows shows for it (in
# the elevation prompt, among other places).
for name in UsbResetOnResume UsbResetOnResumeCheck UsbResetOnResumeUndo; do
    sign "$work/$name-described.exe" "${pem_signer[@]}" "$clones/a/build/$name.exe"
    osslsigncode verify -CAfile "$keys/signer.pem" -ignore-crl -in "$work/$name-described.exe" >"$work/verify.out" 2>&1 || true
    description=$(sed -n 's/^[[:space:]]*Text description: //p' "$work/verify.out")
    [ "$description" = "$name" ] || fail "the signature of $name.exe is described as \"$description\", not by the program's name"
done

# Each mistake: sign.sh's own message that names it (any tool's report indented below it), and the
# program's and the keys' folders exactly as they were, and no osslsigncode left running. A signed copy
# already stands beside the program; an interrupted sign.sh is sent the signal as a terminal's Ctrl-C
# sends it (INT to its process group) or as a service manager stops it (TERM to sign.sh alone).
folders_state() {
    (cd "$work" && find dist keys | sort && find dist keys -type f -exec sha256sum {} + | sort)
}
before=$(folders_state)
ln -s "$work/nowhere.exe" "$work/dangling.exe"
refused=$work/refused.exe
signing_now() {  # whether an osslsigncode started by sign.sh for $refused is running
    pgrep -f -- "osslsigncode .*$work/\.sign\." >/dev/null
}
interrupted() {  # SIGNAL ENVIRONMENT ARGUMENTS...: sign.sh's exit status once the signal reaches it mid-way
    local signal=$1 environment=$2 pid tries=0
    shift 2
    set -m
    # shellcheck disable=SC2086 # the environment holds no spaces
    env $environment "$scripts/sign.sh" "$@" >"$work/sign.out" 2>&1 &
    pid=$!
    set +m
    until signing_now; do
        tries=$((tries + 1))
        [ "$tries" -le 300 ] || break
        sleep 0.1
    done
    if [ "$signal" = INT ]; then kill -INT -- "-$pid"; else kill -TERM "$pid"; fi
    wait "$pid"
}
# the message|the environment|the arguments|the signal sent while it waits for the time-stamp
refusals=(
    "no such file||--pkcs12 $keys/missing.p12 $exe"
    "wrong password||--pkcs12 $keys/signer.p12 --password-file $keys/wrong-password $exe"
    "wrong password||--pkcs12 $keys/signer.p12 $exe"
    "both SIGN_PASSWORD and --password-file|SIGN_PASSWORD=horse|--pkcs12 $keys/signer.p12 --password-file $keys/password $exe"
    "not for code signing||--cert $keys/server.pem --key $keys/server-key.pem $exe"
    "is not valid before||--cert $keys/not-yet-valid.pem --key $keys/not-yet-valid-key.pem $exe"
    "expired on||--cert $keys/expired.pem --key $keys/expired-key.pem $exe"
    "is not the private key of any certificate in $keys/signer.pem: O=Throwaway,CN=UsbResetOnResume test signer||--cert $keys/signer.pem --key $keys/server-key.pem $exe"
    "the certificate that issued CN=Leaf signer (CN=Throwaway intermediate) is not in||--cert $ca/leaf.pem --key $keys/leaf-key.pem $exe"
    "the certificate that issued CN=Leaf signer (CN=Throwaway intermediate) is not in||--pkcs12 $keys/leaf-alone.p12 --password-file $keys/password $exe"
    "no part of the signer's chain: CN=Someone else||--cert $keys/leaf-chain-and-stranger.pem --key $keys/leaf-key.pem $exe"
    "must not replace||${pem_signer[*]} --output $exe $exe"
    "must not replace||${pem_signer[*]} --output $keys/signer-key.pem $exe"
    "must not replace||--pkcs12 $keys/signer.p12 --password-file $keys/password --output $keys/signer.p12 $exe"
    "must not replace||${pem_signer[*]} --tsa-ca $keys/tsa-root.pem --output $keys/tsa-root.pem --force $exe"
    "is a folder||${pem_signer[*]} --output $keys $exe"
    "exists already||${pem_signer[*]} $exe"
    "exists already||${pem_signer[*]} --output $exe.sha256 $exe"
    "is signed already||${pem_signer[*]} --output $work/twice.exe $signed"
    "not a Windows program||${pem_signer[*]} --output $work/text.exe $exe.sha256"
    "time-stamp server||${pem_signer[*]} --timestamp http://127.0.0.1:9/ $exe"
    "did not answer within 3 seconds||${pem_signer[*]} --timestamp $(server_url silent) --timestamp-timeout 3 $exe"
    "the time-stamp does not verify||${pem_signer[*]} --timestamp $(server_url corrupt) --tsa-ca $keys/tsa-root.pem --output $refused $exe"
    "the time-stamp does not verify||${pem_signer[*]} --timestamp $(server_url other-hash) --tsa-ca $keys/tsa-root.pem --output $refused $exe"
    "the time-stamp does not verify||${pem_signer[*]} --timestamp $(server_url answer) --output $refused $exe"
    "exists already||${pem_signer[*]} --output $work/dangling.exe $exe"
    "is a folder||${pem_signer[*]} --output $work/new-folder/ $exe"
    "interrupted||${pem_signer[*]} --timestamp $(server_url silent) --timestamp-timeout 30 --output $refused $exe|INT"
    "interrupted||${pem_signer[*]} --timestamp $(server_url silent) --timestamp-timeout 30 --output $refused $exe|TERM"
)
for refusal in "${refusals[@]}"; do
    IFS='|' read -r message environment arguments signal <<<"$refusal"
    status=0
    if [ -n "$signal" ]; then
        # shellcheck disable=SC2086 # the arguments hold no spaces
        interrupted "$signal" "$environment" $arguments || status=$?
    else
        # shellcheck disable=SC2086 # the arguments hold no spaces
        timeout 60 env $environment "$scripts/sign.sh" $arguments >"$work/sign.out" 2>&1 || status=$?
    fi
    arguments="$arguments${signal:+ (SIG$signal)}"
    [ "$status" = 1 ] || fail "sign.sh $arguments: exit status $status, expected 1"
    grep -q "^sign: .*$message" "$work/sign.out" || fail "sign.sh $arguments: no \"sign: ...$message\" in: $(cat "$work/sign.out")"
    ! grep -qv -e '^sign: ' -e '^  ' "$work/sign.out" || fail "sign.sh $arguments: another tool's noise in: $(cat "$work/sign.out")"
    [ "$(folders_state)" = "$before" ] || fail "sign.sh $arguments: the folders changed: $(ls -A "$dist" "$keys")"
    [ ! -e "$work/twice.exe" ] && [ ! -e "$work/text.exe" ] && [ ! -e "$refused" ] && [ ! -e "$work/new-folder" ] \
        && [ -L "$work/dangling.exe" ] && [ ! -e "$work/dangling.exe" ] || fail "sign.sh $arguments: left a signed copy behind"
    ! signing_now || fail "sign.sh $arguments: left osslsigncode running"
done

# The signer's check from a fresh clone, as the maintainer's guide has it; neither a build folder left
# configured with other settings nor compiler flags in the environment may change the program it
# compares with. The verdict names the commit, and says when the clone is not clean, edits git was
# told not to look at included.
git clone --quiet "$clones/a" "$work/fresh-clone"
commit=$(git -C "$work/fresh-clone" rev-parse HEAD)
(cd "$work/fresh-clone" && cmake --preset windows -B build/verify -DCMAKE_CXX_FLAGS_MINSIZEREL=-O2 >/dev/null)
if CXXFLAGS=-fstack-protector-strong LDFLAGS=-Wl,--insert-timestamp \
        "$scripts/verify-release.sh" --ca "$keys/signer.pem" --sources "$work/fresh-clone" "$signed" >"$work/verify.out" 2>&1; then
    grep -qF "is the program these sources build" "$work/verify.out" || fail "no verdict on the sources: $(cat "$work/verify.out")"
    grep -qxF "  sources: $work/fresh-clone at commit $commit" "$work/verify.out" \
        || fail "verify-release.sh does not name the clean clone's commit: $(cat "$work/verify.out")"
    grep -qF "signer:  $subject" "$work/verify.out" || fail "verify-release.sh does not name the signer: $(cat "$work/verify.out")"
    grep -qx '  digest:  SHA256' "$work/verify.out" || fail "not signed with SHA-256: $(cat "$work/verify.out")"
    grep -qx '  time-stamp: none' "$work/verify.out" || fail "a time-stamp where there is none: $(cat "$work/verify.out")"
    grep -q '^  revocation: not checked' "$work/verify.out" || fail "no word on revocation: $(cat "$work/verify.out")"
else
    fail "verify-release.sh rejects the signed program in a fresh clone: $(cat "$work/verify.out")"
fi
git -C "$work/fresh-clone" update-index --skip-worktree README.md
echo 'an edit git does not look at' >>"$work/fresh-clone/README.md"
"$scripts/verify-release.sh" --ca "$keys/signer.pem" --sources "$work/fresh-clone" "$signed" >"$work/verify.out" 2>&1 || true
grep -qxF "  sources: $work/fresh-clone at commit $commit, dirty: README.md (skip-worktree)" "$work/verify.out" \
    || fail "verify-release.sh does not say the clone is dirty: $(cat "$work/verify.out")"
# Compared with a program at hand, the verdict says so, and no more.
if "$scripts/verify-release.sh" --ca "$keys/signer.pem" --unsigned "$other_program" "$work/pem-signed.exe" >"$work/verify.out" 2>&1; then
    grep -qF "is the given program $other_program, signed" "$work/verify.out" && ! grep -qF 'these sources' "$work/verify.out" \
        || fail "the verdict claims more than the comparison with a given program: $(cat "$work/verify.out")"
else
    fail "verify-release.sh rejects the PEM-signed program: $(cat "$work/verify.out")"
fi
# A time-stamp by a private authority verifies against its root, and is reported, with no attempt to
# fetch the authority's revocation list from the address its certificate names.
if "$scripts/verify-release.sh" --ca "$keys/signer.pem" --tsa-ca "$keys/tsa-root.pem" --unsigned "$other_program" \
        "$work/time-stamped.exe" >"$work/verify.out" 2>&1; then
    grep -qE '^  time-stamp: .*[0-9]{4}' "$work/verify.out" && grep -qF 'issued by /CN=Throwaway time-stamp root' "$work/verify.out" \
        || fail "verify-release.sh does not report the time-stamp and its authority: $(cat "$work/verify.out")"
else
    fail "verify-release.sh rejects the time-stamped program: $(cat "$work/verify.out")"
fi

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
attacker "$work/bad-time-stamp.exe" -h sha256 -certs "$keys/signer.pem" -key "$keys/signer-key.pem" \
    -ts "$(server_url corrupt)" -in "$program"
attacker "$work/other-hash.exe" -h sha256 -certs "$keys/signer.pem" -key "$keys/signer-key.pem" \
    -ts "$(server_url other-hash)" -in "$program"
cat "$keys/signer.pem" "$keys/stranger.pem" >"$work/signer-and-stranger.pem"
attacker "$work/extra-certificate.exe" -h sha256 -certs "$work/signer-and-stranger.pem" -key "$keys/signer-key.pem" -in "$program"
# Bytes appended after the signature, which no signature covers.
{ cat "$signed"; echo 'appended'; } >"$work/appended.exe"
# The text description is printed as it is, line ends included: lines of osslsigncode's report forged
# in it, hiding a broken time-stamp or standing beside a valid one.
attacker "$work/description-hides.exe" -h sha256 -certs "$keys/signer.pem" -key "$keys/signer-key.pem" \
    -n "UsbResetOnResume"$'\n''Timestamp is not available' -ts "$(server_url corrupt)" -in "$program"
attacker "$work/description-forges.exe" -h sha256 -certs "$keys/signer.pem" -key "$keys/signer-key.pem" \
    -n "UsbResetOnResume"$'\n''Countersignatures:'$'\n\t''Timestamp time: Jan  1 00:00:00 2001 GMT'$'\n\t''Issuer: /CN=Forged'$'\n\t''Serial: 01' \
    -ts "$(server_url answer)" -in "$program"
# Content added by someone without the key: a blob beside the signature.
osslsigncode add -addUnauthenticatedBlob -in "$work/pem-signed.exe" -out "$work/blob.exe" >"$work/attacker.out" 2>&1 \
    || fail "osslsigncode add -addUnauthenticatedBlob: $(cat "$work/attacker.out")"

# What verify-release.sh must report. Offsets: the PE header starts at the word at 0x3c; its checksum
# is 88 bytes in, and the size of the signature's table 156 bytes in (a 32-bit image's security
# directory), whose second byte inverted makes a table of some 60 KiB; the signature (a WIN_CERTIFICATE)
# begins where the unsigned program ends.
pe=$(od -An -tu4 -j60 -N4 "$signed" | tr -d ' ')
unsigned_size=$(stat -c %s "$program")
signed_size=$(stat -c %s "$signed")
trust_signer="--ca $keys/signer.pem"
trust_both="--ca $keys/signer.pem --tsa-ca $keys/tsa-root.pem"
# what|file|offset of the byte to invert|verify-release.sh's options|exit status|what it says
verdicts=(
    "a byte of code|$signed|$((0x400 + 0x100))|$trust_signer|1|the signature does not verify"
    "the header checksum|$signed|$((pe + 88))|$trust_signer|1|differs from the build with its own signature"
    "a byte inside the signature|$signed|$(((unsigned_size + signed_size) / 2))|$trust_signer|1|the signature does not verify"
    "the last byte of the file|$signed|$((signed_size - 1))|$trust_signer|1|differs from the build with its own signature"
    "bytes appended after the signature|$work/appended.exe||$trust_signer|1|9 bytes after its signature"
    "a signature table that runs past the end of the file|$signed|$((pe + 157))|$trust_signer|1|bytes past the end of the file"
    "a certificate that is not trusted|$signed||--ca $keys/stranger.pem|1|the signature does not verify against"
    "no signature at all|$program||$trust_signer|1|is not signed"
    "a file that is no program|$exe.sha256||$trust_signer|1|not a Windows program"
    "another program, validly signed|$work/other-signed.exe||$trust_signer|1|without its signature is not the given program"
    "a stranger's signature nested in the signer's|$work/nested.exe||$trust_signer|1|carries 2 signatures"
    "the signer's signature nested in a stranger's|$work/reversed.exe||$trust_signer|1|carries 2 signatures"
    "an MD5 signature by the signer|$work/md5.exe||$trust_signer|1|digest MD5"
    "a SHA-1 signature by the signer|$work/sha1.exe||$trust_signer|1|digest SHA1"
    "a time-stamp with a broken signature|$work/bad-time-stamp.exe||$trust_both|1|the time-stamp does not verify"
    "a time-stamp of another file's hash|$work/other-hash.exe||$trust_both|1|the time-stamp does not verify"
    "a time-stamp by an authority not trusted|$work/time-stamped.exe||$trust_signer|1|the time-stamp does not verify"
    "a blob added beside the signature|$work/blob.exe||$trust_signer|1|content the signer did not sign"
    "a stranger's certificate beside the signer's|$work/extra-certificate.exe||$trust_signer|1|certificates that are not the signer's chain: /CN=Someone else"
    "a description hiding a broken time-stamp|$work/description-hides.exe||$trust_both|1|cannot be read safely"
    "a description forging a time-stamp beside a valid one|$work/description-forges.exe||$trust_both|1|cannot be read safely"
    "a signer under an intermediate CA, the root trusted|$work/leaf-signed.exe||--ca $keys/root.pem|0|signer:  /CN=Leaf signer"
    "a signer under an intermediate CA, the intermediate trusted|$work/leaf-signed.exe||--ca $ca/intermediate.pem|0|signer:  /CN=Leaf signer"
    "a signer under an intermediate CA, its own certificate trusted|$work/leaf-signed.exe||--ca $ca/leaf.pem|0|signer:  /CN=Leaf signer"
    "another signer under the same intermediate, the first one's certificate trusted|$work/other-leaf-signed.exe||--ca $ca/leaf.pem|1|the signature does not verify against"
    "a signer whose bundle had the intermediate first, the root trusted|$work/reordered-signed.exe||--ca $keys/root.pem|0|signer:  /CN=Leaf signer"
    "a signer under an intermediate CA from a PKCS#12 file, the root trusted|$work/leaf-p12-signed.exe||--ca $keys/root.pem|0|signer:  /CN=Leaf signer"
    "a signer whose revocation list's server never answers|$work/revocable-signed.exe||--ca $keys/revocable.pem|0|revocation: not checked"
)
for verdict in "${verdicts[@]}"; do
    IFS='|' read -r what file offset options expected diagnosis <<<"$verdict"
    cp "$file" "$work/changed.exe"
    [ -z "$offset" ] || flip_byte "$work/changed.exe" "$offset"
    status=0
    # shellcheck disable=SC2086 # the options hold no spaces
    timeout 90 "$scripts/verify-release.sh" $options --unsigned "$other_program" "$work/changed.exe" \
        >"$work/verify.out" 2>&1 || status=$?
    verdict_line=$([ "$expected" = 0 ] && echo '^OK' || echo '^verify-release: ')
    [ "$status" = "$expected" ] && grep -qF -- "$diagnosis" "$work/verify.out" && grep -q "$verdict_line" "$work/verify.out" \
        || fail "verify-release.sh with $what: exit status $status, expected $expected and \"$diagnosis\": $(cat "$work/verify.out")"
done

[ "$failures" -eq 0 ] || exit 1
echo "signing: refusals, sign, verify, remove and attach as expected; $(sha256sum "$signed" | cut -d' ' -f1) signed"
