#!/usr/bin/env bash
# Builds the bench's Linux guest into DIR: the kernel from the Debian package, uncompressed
# (its PVH entry boots straight from QEMU's -kernel, twice as fast as the compressed image
# under software emulation), and a small initramfs that mounts the host's /usr and this tree
# over 9p and runs the case named on the kernel command line. Rebuilt only when the kernel
# or the init script changed.
set -euo pipefail

dir=${1:?usage: build-guest.sh DIR}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$dir"

vmlinuz=$(ls /boot/vmlinuz-* 2>/dev/null | sort -V | tail -1)
[ -n "$vmlinuz" ] || { echo "build-guest: no kernel in /boot (Debian package linux-image-amd64)" >&2; exit 1; }
release=${vmlinuz#/boot/vmlinuz-}
stamp="$release $(sha256sum "$here/guest-init.sh" | cut -c1-16)"
if [ -f "$dir/stamp" ] && [ "$(cat "$dir/stamp")" = "$stamp" ] && [ -f "$dir/vmlinux" ] && [ -f "$dir/initramfs" ]; then
  exit 0
fi

# The ELF image sits inside the bzImage as an xz stream; xz stops at the stream's end and
# complains about what follows it, which is the bzImage's own trailer.
offset=$(python3 -c 'import sys; print(open(sys.argv[1], "rb").read().find(b"\xfd7zXZ\x00"))' "$vmlinuz")
[ "$offset" -ge 0 ] || offset=
[ -n "$offset" ] || { echo "build-guest: no xz stream in $vmlinuz" >&2; exit 1; }
tail -c +$((offset + 1)) "$vmlinuz" | xz -dc --single-stream > "$dir/vmlinux.new" 2>/dev/null || true
[ "$(head -c 4 "$dir/vmlinux.new" | od -An -c | tr -d ' ')" = "177ELF" ] ||
  { echo "build-guest: the kernel image did not decompress to an ELF file" >&2; exit 1; }
mv "$dir/vmlinux.new" "$dir/vmlinux"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"/{bb,proc,sys,dev,usr,work,tmp,run,etc/modprobe.d,modules,mnt}
cp /usr/bin/busybox "$root/bb/busybox"
# Merged /usr: once the host's /usr is mounted, its programs run unchanged.
for link in bin sbin lib lib64; do ln -s "usr/$link" "$root/$link"; done
cp /etc/ld.so.cache "$root/etc/"
cp -a /etc/alternatives "$root/etc/" 2>/dev/null || true
# The host-side network class drivers must never take the devices: usbfs needs them free.
for module in cdc_ether cdc_ncm rndis_host usbnet cdc_subset cdc_eem; do
  echo "install $module /bin/false" >> "$root/etc/modprobe.d/bench.conf"
done
n=0
for module in virtio_pci 9pnet_virtio 9p; do
  for ko in $(modprobe --show-depends -S "$release" "$module" | awk '$1 == "insmod" {print $2}'); do
    name=$(basename "$ko")
    ls "$root/modules" | grep -q -- "-$name\$" && continue
    n=$((n + 1))
    cp "$ko" "$root/modules/$(printf %02d $n)-$name"
  done
done
cp "$here/guest-init.sh" "$root/init"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet) > "$dir/initramfs"
echo "$stamp" > "$dir/stamp"
