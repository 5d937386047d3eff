#!/usr/bin/env bash
# Runs commands, by default the README's two, in a fresh minimal Debian 12 that holds nothing but a
# clone of this checkout's HEAD commit: what a newcomer has, so that a missing install step fails here
# instead of on their machine.
# usage: in-fresh-debian.sh [COMMAND...]   (as root; default: scripts/demo.sh scripts/test.sh)
# The root is made anew on every run in build/fresh-debian/root with debootstrap --variant=minbase from
# the mirrors this machine's apt uses for bookworm, bookworm-updates and bookworm-security; where they
# cannot be reached the run fails and says so (this machine's own packages are never used instead).
# Each COMMAND runs with bash -c in the clone, as root, with only HOME and PATH set; the first that
# fails ends the run with its status. The clone's folder name holds a space. A root whose run failed is
# kept until the next run, to look into; one whose run passed is removed (some 7 GB). Whatever was
# mounted in it is unmounted on every exit (Ctrl-C and TERM included), and the run ends, pass or fail,
# with the time of each stage.
set -euo pipefail
checkout=$(cd "$(dirname "$0")/.." && pwd -P)
folder=$checkout/build/fresh-debian
root=$folder/root
# A folder whose name holds a space, as a clone under "My Projects" would: every test and script
# must take such a path.
clone_in_root="/root/fresh clone/UsbResetOnResume"
suites=(bookworm bookworm-updates bookworm-security)
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
[ $# -gt 0 ] || set -- scripts/demo.sh scripts/test.sh

fail() {
    echo "in-fresh-debian: $*" >&2
    exit 1
}

if [ "$(id -u)" -ne 0 ]; then
    fail "run this as root: making the root, mounting in it and chroot need it"
fi

stage_times=()
started=$SECONDS
current_stage=""
root_ours=""
child=""
stage_end=failed
print_times() {
    if [ -n "$current_stage" ]; then
        stage_times+=("$current_stage: $((SECONDS - current_started)) s ($stage_end)")
    fi
    [ ${#stage_times[@]} -gt 0 ] || return 0
    echo "Stage times (fresh Debian 12 root):"
    printf '  %s\n' "${stage_times[@]}"
    echo "  total: $((SECONDS - started)) s"
}
# stage NAME COMMAND...: runs one stage and records how long it took. A stage that fails ends the
# run, which records it as failed on the way out.
stage() {
    current_stage=$1 current_started=$SECONDS
    shift
    echo "== $current_stage"
    "$@"
    stage_times+=("$current_stage: $((SECONDS - current_started)) s")
    current_stage=""
}

# Mount points at or below a folder, deepest first, as this machine's mount table has them now.
mounts_below() {
    findmnt --list --noheadings --output TARGET | awk -v dir="$1" \
        'index($0, dir "/") == 1 || $0 == dir { print length($0) "\t" $0 }' | sort -rn | cut -f2-
}

# Processes whose root is the fresh root: what its commands started and left running (a wineserver,
# a build cut short). They hold its mounts busy, so they end before the unmounting.
root_processes() {
    local proc
    for proc in /proc/[0-9]*; do
        [ "$(readlink "$proc/root" 2>/dev/null)" != "$root" ] || echo "${proc#/proc/}"
    done
}
stop_root_processes() {
    local signal pids
    for signal in TERM KILL; do
        pids=$(root_processes)
        [ -n "$pids" ] || return 0
        echo "in-fresh-debian: stopping what still runs in the root (SIG$signal): ${pids//$'\n'/ }" >&2
        # shellcheck disable=SC2086
        kill -s "$signal" $pids 2>/dev/null || true
        for _ in {1..20}; do
            [ -n "$(root_processes)" ] || return 0
            sleep 0.5
        done
    done
}

# Unmounts what this run mounted, and whatever its commands mounted below the root, deepest first.
unmount_root() {
    local target
    stop_root_processes
    while read -r target; do
        [ -n "$target" ] || continue
        # A busy mount is detached all the same, so that nothing below the root reaches this machine's
        # /dev or /proc once the run is over.
        umount "$target" 2>/dev/null || umount --lazy "$target" \
            || echo "in-fresh-debian: could not unmount $target" >&2
    done < <(mounts_below "$root")
}

cleanup() {
    local status=$?
    # Nothing may cut the unmounting short: no failing command, no second signal.
    set +e
    trap - EXIT
    trap '' INT TERM HUP PIPE
    # Only in a root this run made: mounts found at the start belong to another run, which is refused.
    if [ -n "$root_ours" ]; then
        # debootstrap, cut short, unmounts what it mounted in the root itself, given a moment.
        if [ -n "$child" ]; then
            kill -TERM "$child" 2>/dev/null
            for _ in {1..20}; do
                kill -0 "$child" 2>/dev/null || break
                sleep 0.5
            done
        fi
        unmount_root
    fi
    if [ -n "$root_ours" ] && [ -n "$(mounts_below "$root")" ]; then
        echo "in-fresh-debian: still mounted below $root: $(mounts_below "$root" | tr '\n' ' ')" >&2
        status=1
    elif [ -n "$root_ours" ] && [ "$status" = 0 ]; then
        rm -rf --one-file-system "$folder"
    fi
    print_times
    exit "$status"
}
trap cleanup EXIT
# A signal ends the run through cleanup. The output may go to a pipe that the same Ctrl-C closed
# (`| tee`), so writing there must not kill the script before it has unmounted.
on_signal() {
    trap '' PIPE
    stage_end=interrupted
    echo "in-fresh-debian: $1" >&2 || true
    exit "$2"
}
trap 'on_signal interrupted 130' INT
trap 'on_signal terminated 143' TERM
trap 'on_signal "hung up" 129' HUP
trap 'on_signal "its output was closed" 141' PIPE

# Never rm -rf a folder with a mount below it: with /dev or /proc bound there, it would delete this
# machine's own.
remove_folder() {
    local below
    below=$(mounts_below "$1")
    if [ -n "$below" ]; then
        fail "refusing to remove $1: mounted below it: ${below//$'\n'/ }; unmount those (umount PATH) and run again"
    fi
    rm -rf --one-file-system "$1"
}

# The mirror this machine's apt takes SUITE's main component from, read by apt itself from
# /etc/apt (sources.list and sources.list.d, one-line and deb822 alike).
mirror_for() {
    # shellcheck disable=SC2016 # apt's own field names
    apt-get indextargets --format '$(TARGET_OF) $(RELEASE) $(COMPONENT) $(REPO_URI)' 2>/dev/null \
        | awk -v suite="$1" '$1 == "deb" && $2 == suite && $3 == "main" { print $4; exit }'
}

make_root() {
    local suite mirror log=$folder/debootstrap.log include=()
    declare -gA mirrors=()
    for suite in "${suites[@]}"; do
        mirror=$(mirror_for "$suite")
        [ -n "$mirror" ] || fail "this machine's apt names no mirror for $suite main (in /etc/apt/sources.list or sources.list.d), so there is none to make the root from"
        case $mirror in
            http://*) ;;
            # The root's apt checks the mirror's certificate with the CA list, as an installer given
            # an https mirror sets up.
            https://*) include=(--include=ca-certificates) ;;
            *) fail "the mirror for $suite is $mirror, which a root of its own cannot reach; it needs an http or https mirror" ;;
        esac
        mirrors[$suite]=$mirror
    done
    [ -f "$keyring" ] || fail "$keyring is missing: install debian-archive-keyring"
    echo "Mirrors (from this machine's apt):" "${mirrors[@]}"

    [ ! -e "$folder" ] || remove_folder "$folder"
    mkdir -p "$root"
    root_ours=yes
    echo "Making the root in $root ..."
    if ! in_background debootstrap --variant=minbase --components=main --keyring="$keyring" "${include[@]}" \
            bookworm "$root" "${mirrors[bookworm]}" >"$log" 2>&1; then
        tail -n 15 "$log" >&2
        fail "debootstrap could not make the Debian 12 root from ${mirrors[bookworm]} (full log: $log): is the package registry reachable from this machine?"
    fi
    # The sources a Debian 12 installer writes: the release, its updates and its security updates.
    {
        echo "deb ${mirrors[bookworm]} bookworm main"
        echo "deb ${mirrors[bookworm-updates]} bookworm-updates main"
        echo "deb ${mirrors[bookworm-security]} bookworm-security main"
    } > "$root/etc/apt/sources.list"
    copy_network_settings
}

# The root reaches the registries through this machine's network, so it takes that network's settings:
# the resolver, and the certificate authorities added here by hand (update-ca-certificates reads
# them), which a network that inspects TLS needs trusted, or the npm registry is refused. Debian's
# ca-certificates, when the commands install it, adds them to the root's list, as on this machine.
copy_network_settings() {
    cp -L /etc/resolv.conf "$root/etc/resolv.conf"
    if [ -d /usr/local/share/ca-certificates ]; then
        mkdir -p "$root/usr/local/share/ca-certificates"
        cp -rL /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/"
        # Already there for an https mirror, whose root came with ca-certificates.
        if [ -x "$root/usr/sbin/update-ca-certificates" ]; then
            chroot "$root" /usr/sbin/update-ca-certificates >/dev/null
        fi
    fi
}

# root_mount PATH MOUNT-ARGUMENT...: mounts at PATH inside the root.
root_mount() {
    local target=$root$1
    shift
    mkdir -p "$target"
    mount "$@" "$target"
}

# What Wine, valgrind, the guest's qemu and the tests' terminals need: the kernel's /proc and /sys,
# this machine's devices, a pseudo-terminal file system and shared memory of the root's own.
mount_root() {
    root_mount /proc -t proc proc
    root_mount /sys -t sysfs sysfs
    root_mount /dev --bind /dev
    # Private, so that the mounts below it stay in the root instead of appearing in this machine's /dev.
    mount --make-private "$root/dev"
    root_mount /dev/pts --bind /dev/pts
    root_mount /dev/shm -t tmpfs -o mode=1777,nosuid,nodev shm
}

# in_background COMMAND...: runs COMMAND and waits for it; in the background, so that Ctrl-C or TERM
# to this script reaches the traps at once instead of when COMMAND ends.
in_background() {
    local status=0
    "$@" </dev/null &
    child=$!
    wait "$child" || status=$?
    child=""
    return "$status"
}

# in_root COMMAND: runs COMMAND with bash -c in the clone, as root, with nothing of this shell's
# environment but HOME and PATH.
in_root() {
    in_background env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        chroot "$root" /bin/bash -c "cd $(printf %q "$clone_in_root") && $1"
}

# The package lists of the three suites, and the updates a new install gets from them; no package is
# added, so that the commands find only what a minimal Debian 12 has.
update_root() {
    local log=$folder/packages.log
    if ! in_root "export DEBIAN_FRONTEND=noninteractive; apt-get update && apt-get -y upgrade" >"$log" 2>&1; then
        tail -n 15 "$log" >&2
        fail "the root could not update its packages from its mirrors (full log: $log): is the package registry reachable?"
    fi
}

# The commit, not the work tree: a newcomer gets what was committed. Cloned from here, since the root
# has no git.
clone_into_root() {
    local commit
    commit=$(git -C "$checkout" rev-parse HEAD)
    git clone --quiet --no-hardlinks "$checkout" "$root$clone_in_root"
    git -C "$root$clone_in_root" reset --quiet --hard "$commit"
    echo "Cloned $checkout at $commit into $clone_in_root"
}

stage "install-deps fresh-root (this machine)" "$checkout/scripts/install-deps.sh" fresh-root
stage "root made" make_root
clone_into_root
mount_root
stage packages update_root
for command in "$@"; do
    stage "$command" in_root "$command"
done
