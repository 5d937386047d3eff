#!/usr/bin/env bash
# The release package from two clones (build_clean_clones.sh runs release.sh in each): the same zip
# bytes and SHA256SUMS, and in the zip what an administrator needs: the programs as built, each with
# its checksum, the licence, the administrator's guide as README.txt, every administrator script the
# commit holds, all as text files Notepad shows line by line. And release.sh, run in clones made as
# Git for Windows makes them (core.autocrlf=true): it refuses changes not committed, a committed link
# or name holding a backslash, a clone git will not read and any argument, naming what it found, and
# builds nothing; and whatever else a clone holds or hides (line ends from the user's configuration,
# edits git status does not show, by marks, filters or a moved work tree; files git never lists;
# stale programs and files in its build folder; compiler flags or SOURCE_DATE_EPOCH in the environment;
# a commit shown with its signature), it packs the commit's own zip, byte for byte the clean clones',
# alone in its folder.
# usage: check_package.sh VERSION WORK_DIR
set -euo pipefail
version=$1 work=$2
# shellcheck source-path=SCRIPTDIR source=hide_from_git.sh
. "$(dirname "$0")/hide_from_git.sh"
clone=$work/a other="$work/second clone, at a longer path"
name=UsbResetOnResume-$version-win32
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

release=$clone/build/package/release
cmp "$release/$name.zip" "$other/build/package/release/$name.zip" || fail "two clones packed different zips"
cmp "$release/SHA256SUMS" "$other/build/package/release/SHA256SUMS" || fail "two clones wrote different SHA256SUMS"
(cd "$release" && sha256sum --check --quiet SHA256SUMS) || fail "SHA256SUMS does not match the zip"

unpacked=$work/unpacked
rm -rf "$unpacked" && mkdir -p "$unpacked"
(cd "$unpacked" && cmake -E tar xf "$release/$name.zip")
folder=$unpacked/$name

programs=(UsbResetOnResume.exe UsbResetOnResumeCheck.exe UsbResetOnResumeUndo.exe)
mapfile -t admin_files < <(git -C "$clone" ls-files admin)
expected=$( (printf '%s\n' LICENSE.txt README.txt "${admin_files[@]}"
             for program in "${programs[@]}"; do printf '%s\n' "$program" "$program.sha256"; done) | sort)
actual=$(cd "$folder" && find . -type f | sed 's|^\./||' | sort)
[ "$actual" = "$expected" ] || fail "the zip holds $(tr "\n" " " <<<"$actual"), expected $(tr "\n" " " <<<"$expected")"
[ "$(cd "$unpacked" && ls)" = "$name" ] || fail "the zip does not hold one folder $name"

for program in "${programs[@]}"; do
    cmp "$folder/$program" "$clone/build/package/$program" || fail "the $program in the zip is not the one built"
    (cd "$folder" && sha256sum --check --quiet "$program.sha256") || fail "the $program.sha256 in the zip does not match it"
done
for file in "${admin_files[@]}"; do
    cmp "$folder/$file" "$clone/$file" || fail "$file in the zip differs from the sources"
done

diff <(tr -d '\r' <"$folder/LICENSE.txt") "$clone/LICENSE" >/dev/null || fail "LICENSE.txt is not the licence"
readme=$(tr -d '\r' <"$folder/README.txt")
[ "$readme" = "$(cat "$clone/docs/administrators.md")" ] || fail "README.txt is not docs/administrators.md"
# A Windows administrator has the zip, not the sources or a Debian machine.
! grep -nE 'scripts/|install-deps|sha256sum|cmake |osslsigncode|Debian|Wine|pass/|tests/|build/' <<<"$readme" \
    || fail "README.txt sends the administrator to tools that are not in the zip"
for windows_check in 'certutil -hashfile UsbResetOnResume.exe SHA256' 'Get-AuthenticodeSignature'; do
    grep -qF "$windows_check" <<<"$readme" || fail "README.txt does not show how to check the download with $windows_check"
done
# Read in Notepad, which wraps nothing by default: no line wider than a hundred characters.
wide=$(awk 'length > 100 { print FNR ": " $0 }' <<<"$readme")
[ -z "$wide" ] || fail "README.txt has lines wider than 100 characters: $wide"
for text in LICENSE.txt README.txt "${programs[@]/%/.sha256}"; do
    ! grep -q $'[^\r]$' "$folder/$text" || fail "$text has lines not ending in CR LF"
done

crlf_clone=$work/autocrlf-clone
rm -rf "$crlf_clone"
git clone --quiet --config core.autocrlf=true "$clone" "$crlf_clone"
crlf_scripts=$(cd "$crlf_clone" && git ls-files -z '*.sh' '*.py' .ci/run | xargs -0 grep -l $'\r' || true)
[ -z "$crlf_scripts" ] || fail "scripts with CR LF line ends in a core.autocrlf=true clone, which bash cannot run: $crlf_scripts"
[ -z "$(git -C "$crlf_clone" status --porcelain)" ] || fail "a fresh core.autocrlf=true clone shows changes"

# Each case: a fresh core.autocrlf=true clone, changed as the case says, then release.sh in it with
# the environment given. A case whose edit reached the build would fail it: the edits are `#error`
# lines in a source file.
changed=$work/changed-clone
edit='#error an edit that must not reach the build'
released() {  # WHAT EXPECTED(refused:NAMED|the zip) SETUP [VARIABLE=VALUE...]
    local what=$1 expected=$2 setup=$3 status=0 left
    shift 3
    rm -rf "$changed" "$changed-elsewhere" "$changed-untouched"
    git clone --quiet --config core.autocrlf=true "$clone" "$changed"
    (cd "$changed" && "$setup") || { fail "release.sh with $what: the case could not be set up"; return; }
    env "$@" "$changed/scripts/release.sh" >"$work/release.out" 2>&1 || status=$?
    if [ "$expected" = "the zip" ]; then
        left=$(cd "$changed/build/package/release" 2>/dev/null && LC_ALL=C ls -A | paste -sd' ' - || true)
        [ "$status" = 0 ] && cmp -s "$changed/build/package/release/$name.zip" "$release/$name.zip" \
            && [ "$left" = "SHA256SUMS $name.zip" ] \
            || fail "release.sh with $what: exit status $status, and in its folder $left, expected 0 and the clean clones' zip alone: $(cat "$work/release.out")"
    else
        [ "$status" = 1 ] && grep -qF -- "${expected#refused:}" "$work/release.out" && [ ! -e "$changed/build/package" ] \
            || fail "release.sh with $what: exit status $status, expected 1, ${expected#refused:} named and nothing built: $(cat "$work/release.out")"
    fi
}
a_changed_file() { echo x >>README.md; }
a_file_not_committed() { echo echo >admin/extra.cmd; }
an_edit_committed_elsewhere() { echo "$edit" >>pass/controller_rule.cpp; committed_elsewhere . pass/controller_rule.cpp; }
an_edit_under_a_replaced_commit() { echo "$edit" >>pass/controller_rule.cpp; under_a_replaced_commit . pass/controller_rule.cpp; }
nothing() { :; }
released "a changed file" refused:README.md a_changed_file
released "a file not committed" refused:admin/extra.cmd a_file_not_committed
released "an edit committed in another repository that GIT_DIR names" refused:pass/controller_rule.cpp \
    an_edit_committed_elsewhere GIT_DIR="$changed-elsewhere/.git"
released "an edit under a commit replaced by one holding it" refused:pass/controller_rule.cpp an_edit_under_a_replaced_commit
released "a clone owned by another user, which git will not read" "refused:dubious ownership" nothing \
    GIT_TEST_ASSUME_DIFFERENT_OWNER=1
# What a release must not take from a commit: a link, and a name Windows would read as folders.
committed() {  # PATH...: the paths committed, as made
    git add -- "$@" && git "${scratch_identity[@]}" commit --quiet -m 'a commit to refuse'
}
a_link_committed() { ln -s ../LICENSE admin/LICENSE.txt && committed admin/LICENSE.txt; }
a_backslash_committed() { echo echo >'admin/tools\run.cmd' && committed 'admin/tools\run.cmd'; }
released "a committed registry link" "refused:holds admin/LICENSE.txt as a blob (120000)" a_link_committed
released "a committed name holding a backslash" 'refused:holds the path admin/tools\run.cmd' a_backslash_committed
# It empties build/package, so it acts on no argument: --help and anything else are usage errors.
for arguments in --help extra; do
    rm -rf "$changed" && git clone --quiet "$clone" "$changed"
    status=0
    "$changed/scripts/release.sh" "$arguments" >"$work/release.out" 2>&1 || status=$?
    [ "$status" = 2 ] && grep -q '^usage: release.sh' "$work/release.out" && [ ! -e "$changed/build" ] \
        || fail "release.sh $arguments: exit status $status, expected 2, its usage and nothing built: $(cat "$work/release.out")"
done

files_git_does_not_list() {
    mkdir -p admin/__pycache__ admin/.git
    echo x >admin/__pycache__/stray.pyc
    echo x >admin/.git/stray.txt
    echo "$edit" >pass/windows.h
    excluded_locally . pass/windows.h
}
edits_hidden_by_marks() {
    echo "$edit" >>pass/controller_rule.cpp
    skip_worktree . pass/controller_rule.cpp
    echo "$edit" >>pass/apply_to_class_key.cpp
    assume_unchanged . pass/apply_to_class_key.cpp
}
an_edit_hidden_by_trusted_sizes_and_times() { trusted_by_size_and_time . pass/controller_rule.cpp; }
an_edit_hidden_by_a_filter() { echo "$edit" >>pass/controller_rule.cpp; hidden_by_a_filter . pass/controller_rule.cpp; }
a_work_tree_moved_to_an_untouched_clone() {
    git clone --quiet --config core.autocrlf=true "$clone" "$changed-untouched"
    echo "$edit" >>pass/controller_rule.cpp
    git config core.worktree "$changed-untouched"
}
a_signed_commit_shown_with_its_signature() { signed_and_shown .; }
# A clone whose CR LF line ends come from the user's own configuration, not the clone's.
printf '[core]\n\tautocrlf = true\n' >"$work/user.gitconfig"
line_ends_from_the_user_configuration() { git config --unset core.autocrlf; }
# The build folder of an earlier release, since configured with other settings, holding a program built
# later than the sources, an earlier version's zip and a stray file beside it.
a_stale_build_folder() {
    scripts/release.sh >/dev/null
    cmake -DCMAKE_CXX_FLAGS_MINSIZEREL=-O2 build/package >/dev/null
    echo 'a program' >build/package/UsbResetOnResume.exe
    touch -d 2030-01-01 build/package/UsbResetOnResume.exe
    echo 'an earlier release' >build/package/release/UsbResetOnResume-0.9.0-win32.zip
    echo 'a stray file' >build/package/release/notes.txt
}
released "files git does not list (ignored, excluded, in a folder named .git)" "the zip" files_git_does_not_list
released "edits git was told to skip or to assume unchanged" "the zip" edits_hidden_by_marks
released "a same-size edit in a clone told to trust file sizes and times" "the zip" \
    an_edit_hidden_by_trusted_sizes_and_times
released "an edit hidden by a clean filter" "the zip" an_edit_hidden_by_a_filter
released "a work tree moved to an untouched clone" "the zip" a_work_tree_moved_to_an_untouched_clone
released "a signed commit, with log.showSignature set" "the zip" a_signed_commit_shown_with_its_signature
released "line ends that the user's global core.autocrlf sets" "the zip" line_ends_from_the_user_configuration \
    GIT_CONFIG_GLOBAL="$work/user.gitconfig"
# Compiler flags would change the program (the stack protector imports CryptGenRandom) and its header.
released "a stale build folder, compiler flags and SOURCE_DATE_EPOCH in the environment" "the zip" a_stale_build_folder \
    CXXFLAGS=-fstack-protector-strong CFLAGS=-O0 CPPFLAGS=-DNDEBUG LDFLAGS=-Wl,--insert-timestamp \
    RCFLAGS=--language=0x407 SOURCE_DATE_EPOCH=1

[ "$failures" -eq 0 ] || exit 1
echo "package: $name.zip $(stat -c %s "$release/$name.zip") bytes, identical from two clones, sha256 $(cut -d' ' -f1 "$release/SHA256SUMS")"
