# What release.sh, sign.sh and verify-release.sh share; sourced, not run. The script sets `me`, the
# name its messages start with, and defines `usage`; one that calls osslsigncode sets
# `interrupted_outcome`, what an interruption leaves undone, and traps INT and TERM with `interrupted`.
# shellcheck shell=bash disable=SC2154,SC2034 # me and interrupted_outcome come from the script, argument goes to it

release_scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

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

# Git reads the checkout as its commit has it, and no other: a replace ref (`git replace`) would show
# another commit's tree under the commit's own id, so that an edited tree in the index and the files
# reads as clean; and GIT_DIR, GIT_INDEX_FILE and the like from the caller would point git at another
# repository or index than the one whose files are built.
# (sign.sh runs where there may be no git, and needs none.)
# shellcheck disable=SC2046 # one variable name a line, none with a space
! command -v git >/dev/null || unset $(git rev-parse --local-env-vars)
export GIT_NO_REPLACE_OBJECTS=1

# The files of checkout DIR that are not as its commit has them, one a line: changed, not tracked,
# ignored, or marked for git not to look at (skip-worktree, assume-unchanged), whose edits `git status`
# does not show. Every file the commit lacks counts, ignored ones included (.gitignore,
# .git/info/exclude, core.excludesFile): the program's folders are include folders, so a header there
# changes the program as surely as an edit; only build/, where the scripts build, is left out. Fails,
# with git's own words, where git will not read DIR: not a checkout, or one owned by another user
# ("dubious ownership").
# git status compares contents only where a file's recorded size, times and inode differ; a checkout
# may tell it to trust size and whole-second times alone (core.checkStat, core.trustctime), or a
# monitor, or to ignore stat data, and then a same-size edit with its time put back goes unseen. The
# ctime, which no one can set back, is always compared here.
git_by_content() {
    git -c core.checkStat=default -c core.trustctime=true -c core.ignoreStat=false -c core.fsmonitor=false \
        -c core.untrackedCache=false "$@"
}

tree_changes() {  # DIR
    local refusal record
    refusal=$(git -C "$1" rev-parse --git-dir 2>&1 >/dev/null) || { printf '%s\n' "$refusal"; return 1; }
    while IFS= read -r -d '' record; do
        case $record in
            '?? '*) echo "${record:3} (not tracked)" ;;
            '!! build/'*) ;;
            '!! '*) echo "${record:3} (ignored)" ;;
            # A rename or copy is followed by the path it came from.
            [RC]*) IFS= read -r -d '' _; echo "${record:3}" ;;
            *) echo "${record:3}" ;;
        esac
    done < <(git_by_content -C "$1" status --porcelain -z --untracked-files=all --ignored=traditional)
    while IFS= read -r -d '' record; do
        case ${record:0:1} in
            S) echo "${record:2} (skip-worktree)" ;;
            s) echo "${record:2} (skip-worktree, assume-unchanged)" ;;
            [[:lower:]]) echo "${record:2} (assume-unchanged)" ;;
        esac
    done < <(git -C "$1" ls-files -v -z)
}

# The build sees PATH and HOME (where git finds which folders its user trusts) and no other variable
# of the caller's: CFLAGS, CXXFLAGS, CPPFLAGS, LDFLAGS, RCFLAGS, the compilers' CPATH and LIBRARY_PATH,
# CMake's CMAKE_* defaults and MAKEFLAGS would each make another program from the same sources. The
# packing asks git for the commit's time, past replace refs too.
in_build_environment() {  # COMMAND...
    env -i PATH="$PATH" ${HOME:+HOME="$HOME"} GIT_NO_REPLACE_OBJECTS=1 "$@"
}

# A program's own name, the InternalName of its version information: the description its signature
# carries, which Windows shows in place of the file's name (in the elevation prompt, among other
# places). Empty where the program has none.
program_name() {  # PROGRAM.exe
    i686-w64-mingw32-windres -i "$1" -O rc 2>/dev/null \
        | sed -n 's/^ *VALUE "InternalName", "\([[:alnum:]._ -]*\)"$/\1/p' | head -n 1 || true
}

# The description an Authenticode signature gives its program (the program name of its one
# SpcSpOpusInfo attribute, IA5 or BMP text), byte for byte into OUTPUT as UTF-8, line ends and all;
# osslsigncode prints it as it is, so its report cannot tell where it ends. No attribute, or one
# without a program name, gives an empty file; fails where the signature holds the attribute twice.
signature_description() {  # SIGNATURE.der OUTPUT
    local place found start length kind
    place=$(openssl asn1parse -inform DER -in "$1" 2>/dev/null | awk '
        {
            match($0, /^ *[0-9]+/); offset = substr($0, RSTART, RLENGTH) + 0
            match($0, /d=[0-9]+/); depth = substr($0, RSTART + 2, RLENGTH - 2) + 0
            match($0, /hl= *[0-9]+/); header = substr($0, RSTART + 3, RLENGTH - 3) + 0
            match($0, / l= *[0-9]+/); size = substr($0, RSTART + 3, RLENGTH - 3) + 0
        }
        / OBJECT +:1\.3\.6\.1\.4\.1\.311\.2\.1\.12$/ { found++; attribute = depth; name = 0; next }
        attribute && depth < attribute { attribute = 0 }
        # SEQUENCE { programName [0] EXPLICIT SpcString OPTIONAL, moreInfo [1] ... }, in the attribute'"'"'s SET
        attribute && depth == attribute + 2 { name = / cons: cont \[ 0 \]/; next }
        attribute && name && depth == attribute + 3 {
            if (/ prim: cont \[ 0 \]/) text = (offset + header) " " size " bmp"
            else if (/ prim: cont \[ 1 \]/) text = (offset + header) " " size " ia5"
            name = 0
        }
        END { print found + 0, text }')
    read -r found start length kind <<<"$place"
    [ "$found" -le 1 ] || return 1
    if [ -z "$kind" ]; then
        : >"$2"
    elif [ "$kind" = bmp ]; then
        tail -c +"$((start + 1))" "$1" | head -c "$length" | iconv -f UTF-16BE -t UTF-8 >"$2" || return 1
    else
        tail -c +"$((start + 1))" "$1" | head -c "$length" >"$2"
    fi
}

# Every osslsigncode call is bounded: it waits for a server (a time-stamp authority, a revocation list)
# as long as the connection stays open, and one that never answers must not hold the script for good.
# It runs in the background because bash acts on a signal only once a foreground command ends: an
# interrupted script stops it at once. (timeout keeps it in a process group of its own, which a
# terminal's Ctrl-C does not reach; the script passes the signal on.) The trap runs inside whatever
# redirection the interrupted call has, so it writes to the script's own standard error, kept aside.
exec {script_stderr}>&2
osslsigncode_child=''
interrupted() {
    if [ -n "$osslsigncode_child" ]; then
        kill -TERM "$osslsigncode_child" 2>/dev/null || true
        wait "$osslsigncode_child" 2>/dev/null || true
    fi
    die "interrupted; $interrupted_outcome" 2>&"$script_stderr"
}
osslsigncode_bounded() {  # SECONDS OSSLSIGNCODE-ARGUMENTS...: osslsigncode's exit status, 124 when out of time
    local limit=$1 status=0
    shift
    timeout "$limit" osslsigncode "$@" &
    osslsigncode_child=$!
    wait "$osslsigncode_child" || status=$?
    osslsigncode_child=''
    return "$status"
}
# A call that reaches no server: a minute is plenty, and more means something is wrong.
osslsigncode_local() {  # OSSLSIGNCODE-ARGUMENTS...
    local status=0
    osslsigncode_bounded 60 "$@" || status=$?
    [ "$status" != 124 ] || die "osslsigncode $1 did not finish within 60 seconds"
    return "$status"
}
verify_offline=() verify_offline_probed=''
# osslsigncode's verify, offline: 2.9 fetches the revocation lists that certificates name and fails, or
# waits, when it cannot reach them, 2.5 fetches none (and has no option to say so). Fetching nothing
# keeps a verdict the same whichever runs, with or without a network.
osslsigncode_verify() {  # VERIFY-ARGUMENTS...
    if [ -z "$verify_offline_probed" ]; then
        local help
        help=$(osslsigncode verify --help 2>&1 || true)
        ! grep -q -- '-ignore-crl' <<<"$help" || verify_offline=(-ignore-crl)
        verify_offline_probed=1
    fi
    osslsigncode_local verify "${verify_offline[@]}" "$@"
}

# Certificates, one PEM file each, and how they relate.
split_certificates() {  # FOLDER: the PEM certificates on standard input, one file each, in their order
    mkdir -p "$1"
    sed -n '/^-----BEGIN CERTIFICATE-----/,/^-----END CERTIFICATE-----/p' \
        | awk -v dir="$1" '/^-----BEGIN/ { n++ } { print > (dir "/" n ".pem") }'
}
subject_of() {  # CERTIFICATE.pem
    openssl x509 -in "$1" -noout -subject -nameopt RFC2253 | sed 's/^subject=//'
}
issuer_of() {  # CERTIFICATE.pem
    openssl x509 -in "$1" -noout -issuer -nameopt RFC2253 | sed 's/^issuer=//'
}
issued() {  # ISSUER.pem CERTIFICATE.pem: whether the first certificate's key signed the second
    [ "$(subject_of "$1")" = "$(issuer_of "$2")" ] \
        && openssl verify -no_check_time -partial_chain -CAfile "$1" "$2" >/dev/null 2>&1
}
