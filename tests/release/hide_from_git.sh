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

# A same-size edit that breaks the build (its first line made an unknown directive), with the file's
# time put back, in a clone told to trust sizes and whole-second times: git status then compares no
# contents. The file is made old first, so that git does not re-read it as one changed in the second
# the index was written.
trusted_by_size_and_time() {
    git -C "$1" checkout --quiet -- "$2"
    touch -d '2001-01-01 00:00:00' "$1/$2"
    git -C "$1" update-index --refresh >/dev/null
    sed -i '1s|^//|#e|' "$1/$2"
    touch -d '2001-01-01 00:00:00' "$1/$2"
    git -C "$1" config core.checkStat minimal
    git -C "$1" config core.trustctime false
}

# A clean filter that takes `#error` lines out of what git compares, so that git status, once the
# file is added, shows the edited file as unchanged; and a smudge filter that would add one to
# whatever git writes out.
hidden_by_a_filter() {
    mkdir -p "$1/.git/info"
    echo "/$2 filter=hide" >>"$1/.git/info/attributes"
    git -C "$1" config filter.hide.clean "sed '/^#error/d'"
    git -C "$1" config filter.hide.smudge "sed '\$a #error smudged'"
    git -C "$1" add -- "$2"
}

# The commit signed, as by a maintainer with a signing key, and git told to show signatures in its
# log, which then prints the signature's check before what was asked of it. The check is a stand-in for
# gpg that vouches for the signature.
signed_and_shown() {
    local signed
    signed=$(git -C "$1" cat-file commit HEAD \
        | sed '/^committer /a gpgsig -----BEGIN PGP SIGNATURE-----\n \n iQEzBAABCAAdFiEE\n -----END PGP SIGNATURE-----' \
        | git -C "$1" hash-object -t commit -w --stdin)
    git -C "$1" reset --quiet --hard "$signed"
    printf '#!/bin/sh\necho "gpg: Good signature from \\"A maintainer\\"" >&2\n' >"$1/.git/gpg"
    chmod +x "$1/.git/gpg"
    git -C "$1" config gpg.program "$1/.git/gpg"
    git -C "$1" config log.showSignature true
}
