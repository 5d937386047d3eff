#!/usr/bin/env bash
# The release package from two clones (build_clean_clones.sh): the same zip bytes and SHA256SUMS,
# and in the zip what an administrator needs: the program and its companions as built, each with its
# checksum, the licence, the administrator's guide as README.txt, every administrator script, all as
# text files Notepad shows line by line. And release.sh, run in a clone made as Git for Windows makes
# one (core.autocrlf=true), refuses what would give a zip of the same name with other bytes (changes
# not committed, edits git was told not to look at or reads under a replaced commit, ignored files,
# SOURCE_DATE_EPOCH) or a clone git will not read, naming what it found; and gives the same zip, alone
# in its folder, whatever its build folder was configured with, the compiler flags in the environment
# and the zips left there.
# usage: check_package.sh VERSION WORK_DIR
set -euo pipefail
version=$1 work=$2
# shellcheck source-path=SCRIPTDIR source=hide_from_git.sh
. "$(dirname "$0")/hide_from_git.sh"
clone=$work/a other=$work/second-clone-at-a-longer-path
name=UsbResetOnResume-$version-win32
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

release=$clone/build/release
cmp "$release/$name.zip" "$other/build/release/$name.zip" || fail "two clones packed different zips"
cmp "$release/SHA256SUMS" "$other/build/release/SHA256SUMS" || fail "two clones wrote different SHA256SUMS"
(cd "$release" && sha256sum --check --quiet SHA256SUMS) || fail "SHA256SUMS does not match the zip"

unpacked=$work/unpacked
rm -rf "$unpacked" && mkdir -p "$unpacked"
(cd "$unpacked" && cmake -E tar xf "$release/$name.zip")
folder=$unpacked/$name

programs=(UsbResetOnResume.exe UsbResetOnResumeCheck.exe UsbResetOnResumeUndo.exe)
expected=$( (printf '%s\n' LICENSE.txt README.txt
             for program in "${programs[@]}"; do printf '%s\n' "$program" "$program.sha256"; done
             git -C "$clone" ls-files admin) | sort)
actual=$(cd "$folder" && find . -type f | sed 's|^\./||' | sort)
[ "$actual" = "$expected" ] || fail "the zip holds $(tr "\n" " " <<<"$actual"), expected $(tr "\n" " " <<<"$expected")"
[ "$(cd "$unpacked" && ls)" = "$name" ] || fail "the zip does not hold one folder $name"

for program in "${programs[@]}"; do
    cmp "$folder/$program" "$clone/build/$program" || fail "the $program in the zip is not the one built"
    (cd "$folder" && sha256sum --check --quiet "$program.sha256") || fail "the $program.sha256 in the zip does not match it"
done
for file in $(git -C "$clone" ls-files admin); do
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
# what|the file|the text appended to it|how it is kept from git status|the environment|what the message
# names (the file, else the variable)
changed_clone=$work/changed-clone
changes=(
    "a changed file|README.md||||"
    "a file not committed|admin/extra.cmd|echo|||"
    "a git-ignored file in admin/, which the zip would carry|admin/__pycache__/stray.pyc|x|||"
    "a header git ignores in an include folder|pass/windows.h|$machine_keys_to_user_keys|excluded_locally||"
    "an edit to a file git was told to skip|LICENSE|x|skip_worktree||"
    "an edit to a file git was told to assume unchanged|LICENSE|x|assume_unchanged||"
    "an edit under a commit replaced by one holding it|pass/controller_rule.cpp|// edited|under_a_replaced_commit||"
    "a same-size edit in a clone told to trust file sizes and times|pass/controller_rule.cpp||trusted_by_size_and_time||"
    "an edit committed in another repository that GIT_DIR names|pass/controller_rule.cpp|// edited|committed_elsewhere|GIT_DIR=$changed_clone-elsewhere/.git|pass/controller_rule.cpp"
    "SOURCE_DATE_EPOCH, which would stamp the zip with another date||||SOURCE_DATE_EPOCH=1|"
    "a clone owned by another user, which git will not read||||GIT_TEST_ASSUME_DIFFERENT_OWNER=1|dubious ownership"
)
for change in "${changes[@]}"; do
    IFS='|' read -r what file text hide environment named <<<"$change"
    rm -rf "$changed_clone" "$changed_clone-elsewhere"
    git clone --quiet --config core.autocrlf=true "$clone" "$changed_clone"
    if [ -n "$file" ]; then
        mkdir -p "$(dirname "$changed_clone/$file")"
        printf '%b\n' "$text" >>"$changed_clone/$file"
    fi
    [ -z "$hide" ] || "$hide" "$changed_clone" "$file"
    named=${named:-${file:-${environment%%=*}}}
    status=0
    # shellcheck disable=SC2086 # the environment holds no spaces
    env $environment "$changed_clone/scripts/release.sh" >"$work/release.out" 2>&1 || status=$?
    [ "$status" = 1 ] && grep -qF "$named" "$work/release.out" \
        || fail "release.sh with $what: exit status $status, expected 1 and $named named: $(cat "$work/release.out")"
    [ ! -e "$changed_clone/build" ] || fail "release.sh with $what built: $(find "$changed_clone/build" -name '*.zip')"
done
# The same zip, and nothing else in its folder, from a build folder left configured with other settings
# and holding an earlier version's zip, with compiler flags in the environment that would change the
# program (the stack protector imports CryptGenRandom) and its header.
(cd "$crlf_clone" && cmake --preset windows -B build/package -DCMAKE_CXX_FLAGS_MINSIZEREL=-O2 >/dev/null)
mkdir -p "$crlf_clone/build/package/release"
echo 'an earlier release' >"$crlf_clone/build/package/release/UsbResetOnResume-0.9.0-win32.zip"
CXXFLAGS=-fstack-protector-strong CFLAGS=-O0 CPPFLAGS=-DNDEBUG LDFLAGS=-Wl,--insert-timestamp RCFLAGS=--language=0x407 \
    "$crlf_clone/scripts/release.sh" >"$work/release.out" 2>&1 || fail "release.sh after other settings: $(cat "$work/release.out")"
cmp "$crlf_clone/build/package/release/$name.zip" "$release/$name.zip" \
    || fail "release.sh packed another zip from a build folder configured with other settings, or with compiler flags in the environment"
left=$(cd "$crlf_clone/build/package/release" && LC_ALL=C ls -A | paste -sd' ' -)
[ "$left" = "SHA256SUMS $name.zip" ] || fail "release.sh left in its folder: $left, expected SHA256SUMS and $name.zip"

[ "$failures" -eq 0 ] || exit 1
echo "package: $name.zip $(stat -c %s "$release/$name.zip") bytes, identical from two clones, sha256 $(cut -d' ' -f1 "$release/SHA256SUMS")"
