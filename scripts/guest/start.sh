#!/usr/bin/env bash
# Boots the emulated guest for the Wine prefix WINEPREFIX (made on this machine by wine64, see
# scripts/wine-prefix.sh) and returns once it serves requests: qemu with TCG, which needs neither KVM
# nor this machine's 32-bit support, on the kernel and initramfs of make-boot-files.sh. The guest sees
# this machine's root and its /tmp read-only, and the prefix and the exchange folder
# ($WINEPREFIX.guest: requests, answers, the console's log) read-write; the exchange twice, as its
# init says why. A guest already booted for the prefix is stopped first.
# usage: start.sh   (with WINEPREFIX set)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
prefix=${WINEPREFIX%/}
exchange=$prefix.guest
boot=$("$here/make-boot-files.sh")

"$here/stop.sh"
rm -rf "$exchange"
mkdir -p "$exchange/requests"
cp "$here/serve.sh" "$exchange/"
# Read by the guest's init (busybox sh) and by serve.sh.
printf 'exchange=%q\nprefix=%q\nuser=%q\ngroup=%q\n' "$exchange" "$prefix" \
    "$(stat -c %u "$prefix")" "$(stat -c %g "$prefix")" > "$exchange/guest.conf"
# The guest sees this machine's /tmp, but keeps its Wine server sockets in a tmpfs of its own over the
# owner's /tmp/.wine-UID, which must exist here to be mounted over; Wine makes it so when it first runs.
wine_dir=/tmp/.wine-$(stat -c %u "$prefix")
[ -d "$wine_dir" ] || mkdir -m 700 "$wine_dir"

# -cpu qemu64, not max: with max the guest kernel oopses on the 32-bit iret that Wine's 32-bit code
# returns through. A comma in a path is written twice in qemu's options.
share() {
    echo "local,path=${1//,/,,},mount_tag=$2,security_model=none,multidevs=remap${3:+,$3}"
}
qemu-system-x86_64 -machine q35 -accel tcg,thread=multi -cpu qemu64 -smp 2 -m 3072 -nographic -no-reboot \
    -kernel "$boot/vmlinuz" -initrd "$boot/initramfs" -append "console=ttyS0 quiet panic=-1" \
    -virtfs "$(share / machine readonly=on)" -virtfs "$(share /tmp tmp readonly=on)" \
    -virtfs "$(share "$prefix" prefix)" \
    -virtfs "$(share "$exchange" exchange)" -virtfs "$(share "$exchange" exchange-cached)" \
    </dev/null >"$exchange/console.log" 2>&1 &
echo $! > "$exchange/qemu.pid"

# Booting takes seconds; a loaded machine may take a minute.
for ((waited = 0; waited < 3000; waited++)); do
    [ ! -s "$exchange/ready" ] || exit 0
    if ! kill -0 "$(cat "$exchange/qemu.pid")" 2>/dev/null; then
        echo "guest: the guest stopped while booting; its console:" >&2
        tail -n 20 "$exchange/console.log" >&2
        exit 1
    fi
    sleep 0.1
done
echo "guest: not serving after 300 s; its console:" >&2
tail -n 20 "$exchange/console.log" >&2
"$here/stop.sh"
exit 1
