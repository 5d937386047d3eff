#!/usr/bin/env bash
# How this machine runs 32-bit x86 code, as the shipped programs' tests under 32-bit Wine need it.
# Prints one line saying how, and why, and exits with
#   0  natively;
#   3  in the emulated guest (scripts/guest/: qemu's TCG, which needs neither KVM nor this machine's
#      32-bit support, running this machine's own 32-bit Wine), where it does not run natively and
#      what the guest needs is installed;
#   1  neither: the 32-bit programs' Wine tests are skipped.
# Some hypervisors give user space no 32-bit code segment and some kernels are booted without 32-bit
# support: there no i386 process starts, Wine's included. RUN_X86_32 overrides the answer, to try
# another path on one machine: yes (natively), guest (in the emulated guest), no (neither).
# wine-env.sh's x86_32_way is the one reader of this answer.
set -u

native() {
    # The i386 dynamic loader (Debian's libc6-i386) is the cheapest 32-bit program at hand.
    local loader=/lib/ld-linux.so.2 error
    if [ ! -e "$loader" ]; then
        reason="cannot tell, $loader is missing (install libc6-i386)"
        return 1
    fi
    if ! error=$("$loader" --version 2>&1 >/dev/null); then
        reason="does not run here ($loader --version: ${error##*"$loader": })"
        return 1
    fi
    reason="runs here"
}

# What the emulated guest needs from this machine; the kernel it boots is fetched when first needed.
guest_lacks() {
    local package path lacking=()
    for package in qemu-system-x86:/usr/bin/qemu-system-x86_64 wine32:i386:/usr/lib/wine/wine \
                   wine64:/usr/lib/wine/wine64 busybox-static:/bin/busybox cpio:/bin/cpio; do
        path=${package##*:}
        [ -x "$path" ] || lacking+=("${package%:*}")
    done
    echo "${lacking[*]}"
}

case "${RUN_X86_32:-}" in
    yes) echo "32-bit x86 code: assumed to run here (RUN_X86_32=yes)"; exit 0 ;;
    no) echo "32-bit x86 code: assumed to run nowhere (RUN_X86_32=no)"; exit 1 ;;
    guest) reason="run in the emulated guest (RUN_X86_32=guest)" ;;
    "") if native; then echo "32-bit x86 code: $reason"; exit 0; fi
        reason="$reason, so it runs in the emulated guest" ;;
    *) echo "RUN_X86_32 must be yes, guest or no, not '$RUN_X86_32'" >&2; exit 2 ;;
esac
absent=$(guest_lacks)
if [ -n "$absent" ]; then
    echo "32-bit x86 code: $reason, but the guest lacks $absent (scripts/install-deps.sh installs it, as root)"
    exit 1
fi
echo "32-bit x86 code: $reason"
exit 3
