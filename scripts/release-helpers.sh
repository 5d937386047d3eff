# What release.sh, sign.sh and verify-release.sh share; sourced, not run. The script sets `me`, the
# name its messages start with, and defines `usage`.
# shellcheck shell=bash disable=SC2154,SC2034 # me comes from the script, argument goes to it

release_scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# The program image and its signature, read with pefile and asn1crypto (Debian's Python has both).
windows_image=$release_scripts/windows_image.py

die() {
    echo "$me: $*" >&2
    exit 1
}

# What a script lacks is installed first (as root); a machine that has the tools is left alone, so that
# whoever holds the key can sign there without being root.
require_tools() {  # TOOL...
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || { "$release_scripts/install-deps.sh" release; return; }
    done
    /usr/bin/python3 -c 'import pefile, asn1crypto' 2>/dev/null || "$release_scripts/install-deps.sh" release
}

# The command line, read into variables named after the options (--tsa-ca FILE sets tsa_ca, the flag
# --force sets force to 1) and the one argument that is not an option into `argument`, which keeps its
# value when there is none. Anything else is a usage error, and so is an empty value, which would
# quietly mean a default.
parse_command_line() {  # "--OPTION-WITH-VALUE..." "--FLAG..." ARGUMENTS...
    local with_value=" $1 " flags=" $2 " given=''
    shift 2
    while [ $# -gt 0 ]; do
        case $1 in
            -h|--help) usage ;;
            --) [ $# -eq 2 ] && [ -z "$given" ] || usage; argument=$2; shift 2 ;;
            -*)
                local variable=${1#--}
                variable=${variable//-/_}
                if [[ $with_value == *" $1 "* ]]; then
                    [ $# -ge 2 ] && [ -n "$2" ] || usage
                    printf -v "$variable" '%s' "$2"
                    shift 2
                elif [[ $flags == *" $1 "* ]]; then
                    printf -v "$variable" 1
                    shift
                else
                    echo "$me: unknown option $1" >&2
                    usage
                fi ;;
            *) [ -z "$given" ] || usage; argument=$1; given=1; shift ;;
        esac
    done
}

# Git as the repository alone has it: no user or system configuration (a filter, a pager, a signature
# shown in a log), no replace refs (`git replace` shows another commit's tree under the commit's id),
# and none of the caller's GIT_DIR, GIT_INDEX_FILE and the like, which point git at another
# repository or index. (sign.sh runs where there may be no git, and needs none.)
# shellcheck disable=SC2046 # one variable name a line, none with a space
! command -v git >/dev/null || unset $(git rev-parse --local-env-vars)
plain_git() {
    GIT_CONFIG_NOSYSTEM=1 GIT_CONFIG_GLOBAL=/dev/null GIT_NO_REPLACE_OBJECTS=1 git -c log.showSignature=false "$@"
}

# The commit checked out in DIR and what it holds, each entry checked before anything is written: sets
# `commit`, `commit_time` and `entries` (MODE OBJECT, a tab, PATH). Fails with git's own words where
# git will not read DIR (not a checkout, or one owned by another user).
read_commit() {  # DIR
    local refusal entry mode type object path
    refusal=$(mktemp "${TMPDIR:-/tmp}/export.XXXXXX") || die "cannot make a scratch file in ${TMPDIR:-/tmp}"
    commit=$(plain_git -C "$1" rev-parse --verify --quiet 'HEAD^{commit}' 2>"$refusal") \
        || { local why; why=$(head -n 1 "$refusal"); rm -f "$refusal"; die "$1: git names no commit to build: ${why:-no commit checked out}"; }
    rm -f "$refusal"
    commit_time=$(plain_git -C "$1" show -s --format=%ct "$commit")
    entries=()
    while IFS= read -r -d '' entry; do
        path=${entry#*$'\t'}
        read -r mode type object <<<"${entry%%$'\t'*}"
        [[ $mode == 100644 || $mode == 100755 ]] \
            || die "$1: commit $commit holds $path as a $type ($mode), which a build does not take"
        # Windows reads a backslash as a folder separator: a path holding one would land elsewhere there.
        [[ /$path/ != */../* && /${path,,}/ != */.git/* && $path != *\\* ]] \
            || die "$1: commit $commit holds the path $path, which a release does not take"
        entries+=("$mode $object"$'\t'"$path")
    done < <(plain_git -C "$1" ls-tree -r -z --full-tree "$commit")
}
# The commit's files written into the new folder FOLDER as the commit holds them, from git's objects,
# never from the work tree: no edit hidden from git status (a file marked skip-worktree, a clean
# filter, a work tree moved with core.worktree), no stale output and no file git does not list can
# reach what is built from it.
export_commit() {  # DIR FOLDER
    local entry mode object path
    mkdir "$2"
    for entry in "${entries[@]}"; do
        path=${entry#*$'\t'}
        read -r mode object <<<"${entry%%$'\t'*}"
        mkdir -p "$2/$(dirname "$path")"
        plain_git -C "$1" cat-file blob "$object" >"$2/$path"
        [ "$mode" = 100644 ] || chmod +x "$2/$path"
    done
}

# The files of checkout DIR that are not as its commit has them (changed, or not tracked), one a line,
# as git status names them, with the user's own configuration (line ends, files to ignore): this only
# tells the person releasing what the release, which takes the commit's files alone, leaves out. Fails,
# with git's own words, where git will not read DIR.
work_tree_changes() {  # DIR
    GIT_NO_REPLACE_OBJECTS=1 git -C "$1" status --porcelain --untracked-files=all | cut -c4-
}

# Builds the programs of commit DIR's checkout in FOLDER, made empty first: the commit exported to
# FOLDER/source and built through the windows preset without the tests, in an environment that holds
# PATH alone: CFLAGS, CXXFLAGS, CPPFLAGS, LDFLAGS, RCFLAGS, the compilers' CPATH and LIBRARY_PATH,
# CMake's CMAKE_* defaults and MAKEFLAGS would each make another program from the same sources. Sets
# `commit` and `commit_time`.
build_commit() {  # DIR FOLDER TARGET...
    local checkout=$1 folder=$2 log
    shift 2
    read_commit "$checkout"
    rm -rf "$folder"
    mkdir -p "$folder"
    export_commit "$checkout" "$folder/source"
    if ! log=$(env -i PATH="$PATH" cmake -S "$folder/source" --preset windows -B "$folder" -DBUILD_TESTING=OFF 2>&1 \
            && env -i PATH="$PATH" cmake --build "$folder" --target "$@" -j"$(nproc)" 2>&1); then
        printf '%s\n' "$log" | tail -n 20 >&2
        die "the build of commit $commit failed"
    fi
}
