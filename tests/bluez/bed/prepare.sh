#!/bin/bash
# Fetches Debian's kernel package and builds the bed's initramfs, once per
# kernel version; later runs find both in the cache. Prints two lines:
# the kernel image and the initramfs.
#
# Usage: prepare.sh CACHE_DIR
# Env:   QUINTEL_VM_KERNEL_PKG  a concrete package (linux-image-6.12.NN+deb12-amd64,
#                               linux-image-6.1.0-NN-amd64) instead of the default
set -euo pipefail

cache=${1:?cache dir}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
mkdir -p "$cache"
# One preparation at a time; a second run waits and finds it done.
exec 9>"$cache/prepare.lock"
flock 9

# Modules the guest needs; their dependencies come along. The crypto ones are
# loaded up front because the guest has no modprobe that could find them
# later: ECDH needs the default random generator (drbg and its ciphers;
# jitterentropy_rng fails its own health test under emulation, drbg does
# without it).
modules=(virtio_pci virtio_rng 9pnet_virtio 9p
    sha512_generic sha256_generic hmac aes_generic ctr drbg
    ecdh_generic ecc cmac ecb ccm af_alg algif_hash algif_skcipher crc16
    bluetooth hci_vhci rfcomm)

# The kernel of Debian 12's 6.12 series by default: its 6.1 panics in
# hci_chan_del (list_del corruption) when bluetoothd closes the L2CAP socket
# of a page that failed, as a connect to a phone switched off does. The 6.1
# kernel remains the fallback where apt knows no 6.12.
pick_package() {
    if [[ -n ${QUINTEL_VM_KERNEL_PKG:-} ]]; then
        echo "$QUINTEL_VM_KERNEL_PKG"
        return
    fi
    local dep
    dep=$(apt-cache depends linux-image-6.12-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-6\.12\.[0-9a-z.+~-]*-amd64\)$/\1/p' | head -n1)
    if [[ -z $dep ]]; then
        dep=$(apt-cache depends linux-image-amd64 2>/dev/null |
            sed -n 's/^ *Depends: \(linux-image-6\.1\.0-[0-9]*-amd64\)$/\1/p' | head -n1)
    fi
    if [[ -z $dep ]]; then
        dep=$(apt-cache search --names-only '^linux-image-6\.1\.0-[0-9]+-amd64$' |
            awk '{print $1}' | sort -V | tail -n1)
    fi
    [[ -n $dep ]] || { echo "prepare: no linux-image-6.12 or 6.1.0 amd64 package known to apt" >&2; exit 1; }
    echo "$dep"
}

pkg=$(pick_package)
kver=${pkg#linux-image-}
dir="$cache/$kver"
kernel="$dir/vmlinuz"
initrd="$dir/initrd.cpio"
# Rebuild the initramfs when its init or the module list here changes.
stamp=$(cat "$here/init" "${BASH_SOURCE[0]}" | sha256sum | cut -c1-16)

deb="$dir/$pkg.deb"
if [[ ! -s $deb ]]; then
    echo "prepare: fetching $pkg" >&2
    mkdir -p "$dir"
    tmp=$(mktemp -d "$cache/fetch.XXXXXX")
    trap 'rm -rf "$tmp"' EXIT
    # Sandbox user root: apt's own user cannot write into a private temp dir.
    (cd "$tmp" && apt-get download -q -o APT::Sandbox::User=root "$pkg" >&2)
    mv "$tmp"/"$pkg"_*.deb "$deb"
    rm -rf "$tmp"
    trap - EXIT
    rm -f "$kernel" "$initrd"
fi

if [[ ! -s $kernel || ! -s $initrd || $(cat "$dir/initrd.stamp" 2>/dev/null) != "$stamp" ]]; then
    echo "prepare: building the initramfs for $kver" >&2
    work=$(mktemp -d "$cache/initrd.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    # Unpacked only here, never installed: the machine's own kernel stays.
    dpkg -x "$deb" "$work/pkg"
    depmod -b "$work/pkg" "$kver"
    stage=$work/stage
    mods=$work/pkg/lib/modules/$kver
    mkdir -p "$stage"/{bin,dev,proc,sys,newroot,lib/modules}
    cp /bin/busybox "$stage/bin/busybox"
    cp "$here/init" "$stage/init"
    chmod 755 "$stage/init"
    : >"$stage/modules.list"
    for m in "${modules[@]}"; do
        # insmod lines come in dependency order; builtins need no file.
        modprobe -d "$work/pkg" -S "$kver" --show-depends "$m" |
            awk '$1 == "insmod" {print $2}'
    done | awk '!seen[$0]++' | while read -r path; do
        rel=${path#"$mods/"}
        mkdir -p "$stage/lib/modules/$(dirname "$rel")"
        # Unpacked here: the kernel refuses a compressed module busybox
        # hands it first, and says so on the console for each.
        if [[ $rel == *.ko.xz ]]; then
            rel=${rel%.xz}
            xz -dc "$path" >"$stage/lib/modules/$rel"
        else
            cp "$path" "$stage/lib/modules/$rel"
        fi
        echo "$rel" >>"$stage/modules.list"
    done
    (cd "$stage" && find . | cpio -o -H newc --quiet) >"$initrd.new"
    cp "$work/pkg/boot/vmlinuz-$kver" "$kernel.new"
    mv "$kernel.new" "$kernel"
    mv "$initrd.new" "$initrd"
    echo "$stamp" >"$dir/initrd.stamp"
    rm -rf "$work"
    trap - EXIT
fi

echo "$kernel"
echo "$initrd"
