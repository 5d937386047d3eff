# Ways an edit to a checkout is kept from `git status`, as someone passing another program off as a
# commit's could keep it; sourced by the package and signing tests. Each takes the checkout and the
# edited file.
# shellcheck shell=bash disable=SC2034 # the header is for the scripts that source this

# The scratch commits carry an identity of their own: a fresh machine has none configured, and git
# refuses to commit without one.
scratch_identity=(-c user.name='UsbResetOnResume tests' -c user.email=tests@invalid)

skip_worktree() {
    git -C "$1" update-index --skip-worktree -- "$2"
}
assume_unchanged() {
    git -C "$1" update-index --assume-unchanged -- "$2"
}
# The clone's own exclude list, which no commit carries.
excluded_locally() {
    echo "/$2" >>"$1/.git/info/exclude"
}
# The commit replaced (`git replace`) by one whose tree holds the edit: HEAD keeps its id, and git
# reads the edited tree under it.
under_a_replaced_commit() {
    git -C "$1" add -- "$2"
    git -C "$1" replace HEAD "$(git -C "$1" "${scratch_identity[@]}" commit-tree -m 'the commit, edited' "$(git -C "$1" write-tree)")"
}
# Another repository whose commit holds the edit, for the caller to name in GIT_DIR: git then reads
# the checkout's files against that commit.
committed_elsewhere() {
    git clone --quiet --no-checkout --config core.autocrlf="$(git -C "$1" config core.autocrlf || echo false)" "$1" "$1-elsewhere"
    git -C "$1-elsewhere" read-tree HEAD
    GIT_DIR="$1-elsewhere/.git" GIT_WORK_TREE="$1" git add -- "$2"
    GIT_DIR="$1-elsewhere/.git" git "${scratch_identity[@]}" commit --quiet -m 'the commit, edited'
}

# A same-size edit with the file's time put back, in a clone told to trust sizes and whole-second
# times: git status then compares no contents. The file is made old first, so that git does not
# re-read it as one changed in the second the index was written.
trusted_by_size_and_time() {
    git -C "$1" checkout --quiet -- "$2"
    touch -d '2001-01-01 00:00:00' "$1/$2"
    git -C "$1" update-index --refresh >/dev/null
    sed -i '1s|^// .|// X|' "$1/$2"
    touch -d '2001-01-01 00:00:00' "$1/$2"
    git -C "$1" config core.checkStat minimal
    git -C "$1" config core.trustctime false
}

# A header that, found in an include folder before the system's, makes the program change the user's
# keys instead of the machine's; printf's %b reads its line ends.
machine_keys_to_user_keys='#pragma GCC system_header\n#include_next <windows.h>\n#undef HKEY_LOCAL_MACHINE\n#define HKEY_LOCAL_MACHINE HKEY_CURRENT_USER'
