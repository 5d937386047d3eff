#!/usr/bin/env bash
# Makes what the emulated guest boots, once per checkout, in build/guest: Debian's amd64 kernel
# (fetched with apt-get download and unpacked there, never installed; it runs 32-bit processes) and an
# initramfs of busybox, the kernel's virtio and 9p modules and scripts/guest/init. Both are reused; the
# initramfs is made again when its init script changes. Prints the folder.
# usage: make-boot-files.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
boot=$(cd "$here/../.." && pwd)/build/guest
# The 9p file system over virtio, each module after those it needs.
module_paths=(drivers/virtio/virtio_ring drivers/virtio/virtio drivers/virtio/virtio_pci_legacy_dev
              drivers/virtio/virtio_pci_modern_dev drivers/virtio/virtio_pci net/9p/9pnet net/9p/9pnet_virtio
              fs/netfs/netfs fs/fscache/fscache fs/9p/9p)

fail() {
    echo "make-boot-files: $*" >&2
    exit 1
}

checkout=${boot%/build/guest}
[ -d "$checkout/build" ] || made_build=yes
mkdir -p "$boot"
scratch=$(mktemp -d "$boot/scratch.XXXXXX")
# Made by root (install-deps.sh), the folder still belongs to whoever owns the checkout, who runs the
# tests and may need the initramfs made again.
hand_over() {
    rm -rf "$scratch"
    if [ "$(id -u)" -eq 0 ]; then
        chown -R "$(stat -c %u:%g "$checkout")" "$boot"
        [ -z "${made_build:-}" ] || chown "$(stat -c %u:%g "$checkout")" "$checkout/build"
    fi
}
trap hand_over EXIT

if [ ! -s "$boot/vmlinuz" ] || [ ! -d "$boot/modules" ]; then
    # The kernel package that the metapackage linux-image-amd64 points at now.
    package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
    [ -n "$package" ] || fail "apt knows no linux-image-amd64; run apt-get update (as root)"
    # apt downloads as its own user, who must be able to write the folder.
    if [ "$(id -u)" -eq 0 ] && id _apt >/dev/null 2>&1; then
        chown _apt "$scratch"
    fi
    (cd "$scratch" && apt-get download -q "$package" >download.log 2>&1) \
        || { cat "$scratch/download.log" >&2; fail "could not download $package"; }
    patterns=('./boot/vmlinuz-*')
    for path in "${module_paths[@]}"; do
        patterns+=("./lib/modules/*/kernel/$path.ko")
    done
    mkdir "$scratch/root"
    dpkg-deb --fsys-tarfile "$scratch"/*.deb | tar -x -C "$scratch/root" --wildcards "${patterns[@]}"
    rm -rf "$boot/modules"
    mkdir "$boot/modules"
    for i in "${!module_paths[@]}"; do
        # Numbered, so that the init script loads them in this order.
        cp "$scratch"/root/lib/modules/*/kernel/"${module_paths[$i]}.ko" "$boot/modules/$i-${module_paths[$i]##*/}.ko"
    done
    cp "$scratch"/root/boot/vmlinuz-* "$boot/vmlinuz.new"
    mv "$boot/vmlinuz.new" "$boot/vmlinuz"
    echo "$package" > "$boot/kernel-package"
fi

if [ ! -s "$boot/initramfs" ] || [ "$here/init" -nt "$boot/initramfs" ] || [ "$boot/vmlinuz" -nt "$boot/initramfs" ]; then
    # Nothing but the initramfs is there when busybox starts, so it must be the static build.
    dpkg-query -W -f='${Status}' busybox-static 2>/dev/null | grep -q 'install ok installed' \
        || fail "busybox-static is not installed; scripts/install-deps.sh installs it (as root)"
    tree=$scratch/initramfs
    mkdir -p "$tree"/{bin,dev,proc,sys,mnt/root}
    cp /bin/busybox "$tree/bin/"
    cp -r "$boot/modules" "$tree/modules"
    cp "$here/init" "$tree/init"
    chmod 755 "$tree/init"
    (cd "$tree" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) > "$boot/initramfs.new"
    mv "$boot/initramfs.new" "$boot/initramfs"
fi
echo "$boot"
