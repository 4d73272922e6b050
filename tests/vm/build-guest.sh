#!/usr/bin/env bash
# Makes the virtual PC's kernel and initramfs under OUT (default build/vm), from Debian packages
# only: the Debian kernel package fetched with apt-get download (kept in OUT/cache, so a second
# run needs no registry) and busybox-static. Safe to run again; it does nothing when both exist.
#
#   tests/vm/build-guest.sh [OUT]
#
# OUT/vmlinuz          the kernel
# OUT/initrd.img       busybox, the modules for the 9p root, and stage 1 (tests/vm/initramfs-init)
# OUT/modules/<K>      the kernel's modules with modules.dep, bind-mounted as /lib/modules in the
#                      guest (the host's own /lib/modules belongs to another kernel)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$(mkdir -p "${1:-$here/../../build/vm}" && cd "${1:-$here/../../build/vm}" && pwd)

if [ -f "$out/vmlinuz" ] && [ -f "$out/initrd.img" ] && [ "$out/initrd.img" -nt "$here/initramfs-init" ]; then
    exit 0
fi

mkdir -p "$out/cache"
deb=$(ls "$out"/cache/linux-image-*-amd64_*.deb 2>/dev/null | head -n 1 || true)
if [ -z "$deb" ]; then
    # linux-image-amd64 only depends on the versioned package, which holds the kernel.
    pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
    if [ -z "$pkg" ]; then
        apt-get update -qq || true
        pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
    fi
    if [ -z "$pkg" ]; then
        echo "build-guest: apt-cache knows no linux-image-amd64 (run apt-get update)" >&2
        exit 1
    fi
    echo "build-guest: fetching $pkg"
    # apt's sandbox user cannot write to a folder owned by root; the download is the same.
    (cd "$out/cache" && apt-get download -q "$pkg" 2>&1 | grep -v '^W: Download is performed unsandboxed' || true)
    deb=$(ls "$out"/cache/linux-image-*-amd64_*.deb 2>/dev/null | head -n 1 || true)
    [ -n "$deb" ] || { echo "build-guest: apt-get download $pkg failed" >&2; exit 1; }
fi

tmp=$(mktemp -d "$out/tmp.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp/pkg"
kver=$(ls "$tmp/pkg/lib/modules")
rm -rf "$out/modules"
mkdir -p "$out/modules"
mv "$tmp/pkg/lib/modules/$kver" "$out/modules/$kver"
mkdir -p "$tmp/depmod-root/lib/modules"
ln -s "$out/modules/$kver" "$tmp/depmod-root/lib/modules/$kver"
depmod -b "$tmp/depmod-root" "$kver"

# Stage 1 needs what mounts the host's root over virtio-9p and puts a RAM overlay on it.
root="$tmp/initramfs"
mkdir -p "$root"/{bin,dev,proc,sys,lower,rw,newroot,mods}
cp /bin/busybox "$root/bin/busybox"
if ldd "$root/bin/busybox" >/dev/null 2>&1; then
    echo "build-guest: /bin/busybox is not the static one (install busybox-static)" >&2
    exit 1
fi
: >"$root/mods/order"
for m in virtio_pci 9pnet_virtio 9p overlay; do
    # modprobe --show-depends lists the module after everything it needs, in loading order.
    modprobe -d "$tmp/depmod-root" -S "$kver" --show-depends "$m" | while read -r kind path _; do
        [ "$kind" = insmod ] || continue
        name=$(basename "$path")
        if ! grep -qx "$name" "$root/mods/order"; then
            cp "$out/modules/$kver/${path#*/lib/modules/$kver/}" "$root/mods/$name"
            echo "$name" >>"$root/mods/order"
        fi
    done
done
install -m 755 "$here/initramfs-init" "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$out/initrd.img.new"
cp "$tmp/pkg/boot/vmlinuz-$kver" "$out/vmlinuz"
mv "$out/initrd.img.new" "$out/initrd.img"
echo "build-guest: kernel $kver, initramfs with $(wc -l <"$root/mods/order") modules"
