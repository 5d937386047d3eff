#!/usr/bin/env bash
# verify-release.sh building the program itself, as the maintainer's guide has a verifier do it: in a
# fresh clone, whatever compiler flags the environment holds and a build folder left configured with
# other settings, it accepts the signed release and names the commit; in a clone whose edits git
# status does not show (marks, a clean filter, a replaced commit, a moved work tree), or that holds
# files git does not list, it still builds the commit alone; it runs no command the clone's git
# configuration names; a checkout with no commit is refused; and a program planted in the checkout's
# build folder, newer than the sources, is never taken for the one the commit builds.
# usage: check_verify_sources.sh SCRIPTS_DIR CLONES_DIR  (the clones as build_clean_clones.sh leaves them)
set -euo pipefail
scripts=$1 clones=$2
# shellcheck source-path=SCRIPTDIR source=hide_from_git.sh
. "$(dirname "$0")/hide_from_git.sh"
program=$clones/a/build/package/UsbResetOnResume.exe
work=$clones/verify-sources
rm -rf "$work" && mkdir -p "$work"
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$work/signer-key.pem" -out "$work/signer.pem" \
    -subj '/CN=UsbResetOnResume test signer' -addext keyUsage=digitalSignature -addext extendedKeyUsage=codeSigning 2>/dev/null
signer=(--cert "$work/signer.pem" --key "$work/signer-key.pem")
"$scripts/sign.sh" "${signer[@]}" --output "$work/signed.exe" "$program" >"$work/sign.out" 2>&1 \
    || { echo "FAIL: sign.sh: $(cat "$work/sign.out")" >&2; exit 1; }
# A program these sources do not build, validly signed: two letters of its DOS stub's message
# swapped, two bytes apart so that the header's checksum (a sum of 16-bit words) still holds.
cp "$program" "$work/other-program.exe"
stub=$(grep -boaF 'This program cannot' "$program" | head -n 1 | cut -d: -f1)
printf 'ihT' | dd of="$work/other-program.exe" bs=1 seek="$stub" conv=notrunc status=none
"$scripts/sign.sh" "${signer[@]}" --output "$work/other-signed.exe" "$work/other-program.exe" >"$work/sign.out" 2>&1 \
    || { echo "FAIL: sign.sh: $(cat "$work/sign.out")" >&2; exit 1; }

# Each case: a fresh clone, changed as the case says, then verify-release.sh --sources with it in the
# environment given. The edits are `#error` lines, so an edit that reached the build would fail it.
clone=$work/clone
edit='#error an edit that must not reach the build'
verified() {  # WHAT SIGNED EXIT-STATUS LINE SETUP [VARIABLE=VALUE...]
    local what=$1 signed=$2 expected=$3 line=$4 setup=$5 status=0
    shift 5
    rm -rf "$clone" "$clone-untouched"
    git clone --quiet "$clones/a" "$clone"
    (cd "$clone" && "$setup") || { fail "verify-release.sh in a clone with $what: the case could not be set up"; return; }
    env "$@" "$scripts/verify-release.sh" --ca "$work/signer.pem" --sources "$clone" "$signed" >"$work/verify.out" 2>&1 \
        || status=$?
    [ "$status" = "$expected" ] && grep -qF -- "$line" "$work/verify.out" \
        || fail "verify-release.sh in a clone with $what: exit status $status, expected $expected and \"$line\": $(cat "$work/verify.out")"
}
commit=$(git -C "$clones/a" rev-parse HEAD)
sources_line="  sources: $clone at commit $commit"

a_build_folder_configured_otherwise() {
    cmake --preset windows -B build/verify -DCMAKE_CXX_FLAGS_MINSIZEREL=-O2 >/dev/null
}
verified "a build folder configured otherwise and compiler flags in the environment" "$work/signed.exe" 0 "$sources_line" \
    a_build_folder_configured_otherwise CXXFLAGS=-fstack-protector-strong LDFLAGS=-Wl,--insert-timestamp
grep -qxF "OK: $work/signed.exe is the program commit $commit builds, signed" "$work/verify.out" \
    || fail "no verdict naming the commit: $(cat "$work/verify.out")"
for line in '  signer:  CN=UsbResetOnResume test signer' '  description: UsbResetOnResume' '  digest:  SHA256' \
        '  time-stamp: none' '  revocation: not checked (no revocation list is fetched)'; do
    grep -qxF -- "$line" "$work/verify.out" || fail "verify-release.sh does not say \"$line\": $(cat "$work/verify.out")"
done

edits_hidden_from_git_status() {
    echo "$edit" >>pass/controller_rule.cpp
    skip_worktree . pass/controller_rule.cpp
    echo "$edit" >>pass/apply_to_class_key.cpp
    hidden_by_a_filter . pass/apply_to_class_key.cpp
    echo "$edit" >pass/windows.h
    excluded_locally . pass/windows.h
}
an_edit_under_a_replaced_commit() { echo "$edit" >>entry/main.cpp; under_a_replaced_commit . entry/main.cpp; }
a_work_tree_moved_to_an_untouched_clone() {
    git clone --quiet "$clones/a" "$clone-untouched"
    echo "$edit" >>pass/controller_rule.cpp
    git config core.worktree "$clone-untouched"
}
# Commands the checkout's own git configuration names, which git would run on reading its work tree
# (a file-system monitor, a clean filter): each would put the other program where it could be compared.
commands_in_the_git_configuration() {
    printf '#!/bin/sh\ntouch %q\nexit 1\n' "$work/a command ran" >.git/command
    chmod +x .git/command
    git config core.fsmonitor "$PWD/.git/command"
    echo '/README.md filter=run' >>.git/info/attributes
    git config filter.run.clean "$PWD/.git/command"
}
# A checkout with no commit, which there is nothing to build from.
no_commit() {
    rm -rf .git && git init --quiet
}
# The program the other signed file holds, in the build folder and newer than any source.
a_program_planted_in_the_build_folder() {
    mkdir -p build/verify
    cp "$work/other-program.exe" build/verify/UsbResetOnResume.exe
    touch -d 2030-01-01 build/verify/UsbResetOnResume.exe
}
verified "edits hidden from git status, by marks, a filter and an exclusion" "$work/signed.exe" 0 "$sources_line" \
    edits_hidden_from_git_status
verified "an edit under a commit replaced by one holding it" "$work/signed.exe" 0 "$sources_line" an_edit_under_a_replaced_commit
verified "a work tree moved to an untouched clone" "$work/signed.exe" 0 "$sources_line" a_work_tree_moved_to_an_untouched_clone
rm -f "$work/a command ran"
verified "commands in its git configuration" "$work/signed.exe" 0 "$sources_line" commands_in_the_git_configuration
[ ! -e "$work/a command ran" ] || fail "verify-release.sh ran a command the checkout's git configuration names"
verified "no commit" "$work/signed.exe" 1 "verify-release: $clone: git names no commit to build" no_commit
verified "a program planted in the build folder" "$work/other-signed.exe" 1 \
    "verify-release: $work/other-signed.exe without its signature is not the program commit $commit builds (" \
    a_program_planted_in_the_build_folder

[ "$failures" -eq 0 ] || exit 1
echo "verifying from the sources: the commit built whatever the clone holds or hides, and named"
