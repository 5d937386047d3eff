#!/usr/bin/env bash
# Can this machine run 32-bit x86 code, as 32-bit Wine needs? Exit 0 if it can, 1 if it cannot, with
# one line saying why on standard output. Some hypervisors give user space no 32-bit code segment and
# some kernels are booted without 32-bit support: there no i386 process starts, Wine's included.
# RUN_X86_32=yes or RUN_X86_32=no overrides the answer, to try the other path on one machine.
set -u

case "${RUN_X86_32:-}" in
    yes) echo "32-bit x86 code: assumed to run (RUN_X86_32=yes)"; exit 0 ;;
    no) echo "32-bit x86 code: assumed not to run (RUN_X86_32=no)"; exit 1 ;;
    "") ;;
    *) echo "RUN_X86_32 must be yes or no, not '$RUN_X86_32'" >&2; exit 2 ;;
esac

# The i386 dynamic loader (Debian's libc6-i386) is the cheapest 32-bit program at hand.
loader=/lib/ld-linux.so.2
if [ ! -e "$loader" ]; then
    echo "32-bit x86 code: cannot tell, $loader is missing (install libc6-i386)"
    exit 1
fi
if ! error=$("$loader" --version 2>&1 >/dev/null); then
    echo "32-bit x86 code: does not run here ($loader --version: ${error##*"$loader": })"
    exit 1
fi
echo "32-bit x86 code: runs here"
