#!/bin/bash
# Builds the bed's btvirt: the one of the installed bluez-test-tools, from
# Debian's source package of the same version with btvirt.patch applied, and
# caches it; later runs find it there. Prints the executable's path.
#
# The patch makes btvirt carry several links per controller (ACL data went
# out under the sender's connection handle, right only while neither side had
# another link), ends a link for the other side when a controller is reset or
# removed (it vanished silently), keeps each link's pairing state with the
# link (kept per controller, an earlier or aborted pairing of hci0 misled the
# next one), and adds --control, a socket on which the bed removes a
# controller and adds it back.
#
# Usage: btvirt.sh CACHE_DIR
set -euo pipefail

cache=${1:?cache dir}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
patch_file=$here/btvirt.patch

for tool in gcc:gcc dpkg-source:dpkg-dev patch:patch xz:xz-utils apt-get:apt; do
    command -v "${tool%%:*}" >/dev/null ||
        { echo "btvirt: ${tool%%:*} is missing: install the Debian package ${tool#*:}" >&2; exit 1; }
done

mkdir -p "$cache"
# One build at a time; a second run waits and finds it done.
exec 9>"$cache/btvirt.lock"
flock 9
ver=$(dpkg-query -W -f='${source:Version}' bluez-test-tools 2>/dev/null) ||
    { echo "btvirt: bluez-test-tools is not installed" >&2; exit 1; }
dir=$cache/btvirt-$ver
exe=$dir/btvirt
src=$dir/source

# Unpacks the source package into $1 with Debian's patches and the bed's, and
# builds btvirt there: its own sources and the two libraries it links, with
# the few settings they read from configure's header; nothing else of bluez.
build() {
    local work=$1 upstream
    dpkg-source -q -x "$src"/bluez_*.dsc "$work/bluez" >"$work/unpack.log" 2>&1 ||
        { cat "$work/unpack.log" >&2; return 1; }
    patch -d "$work/bluez" -p1 --quiet <"$patch_file" ||
        { echo "btvirt: btvirt.patch does not apply to this bluez" >&2; return 1; }
    upstream=$(sed -n 's/^AC_INIT(bluez, *\([^)]*\)).*/\1/p' "$work/bluez/configure.ac")
    printf '#define %s\n' "VERSION \"$upstream\"" HAVE_LINUX_TYPES_H HAVE_LINUX_IF_ALG_H \
        HAVE_SYS_RANDOM_H HAVE_GETRANDOM >"$work/config.h"
    (
        cd "$work/bluez"
        gcc -O2 -D_GNU_SOURCE -DHAVE_CONFIG_H -I"$work" -I. -o "$work/btvirt" \
            emulator/{main,serial,server,vhci,btdev,bthost,smp,phy,amp,le}.c \
            src/shared/{queue,util,crypto,ecc,io-mainloop,timeout-mainloop,mainloop,mainloop-notify}.c \
            lib/bluetooth.c lib/hci.c
    ) >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; return 1; }
}

# Built again when the patch or the build changes, not for the rest of this.
stamp=$({ cat "$patch_file"; declare -f build; } | sha256sum | cut -c1-16)
if [[ -x $exe && $(cat "$dir/stamp" 2>/dev/null) == "$stamp" ]]; then
    echo "$exe"
    exit 0
fi

mkdir -p "$dir"
work=$(mktemp -d "$cache/btvirt.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The source package stays in the cache: a new patch needs no download.
if ! ls "$src"/bluez_*.dsc >/dev/null 2>&1; then
    echo "btvirt: fetching the source of bluez $ver" >&2
    mkdir -p "$work/dl"
    # Sandbox user root: apt's own user cannot write into a private temp dir.
    apt=(apt-get -q -o APT::Sandbox::User=root)
    if ! "${apt[@]}" source --print-uris "bluez=$ver" >/dev/null 2>&1; then
        # No deb-src lines on this machine: a private list with one for each
        # archive the deb lines name, leaving the machine's own apt as it is.
        mkdir -p "$work/apt/lists/partial" "$work/apt/parts"
        apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Created-By: Packages' |
            sort -u | sed 's/^/deb-src /' >"$work/apt/sources.list"
        apt+=(-o Dir::Etc::SourceList="$work/apt/sources.list" -o Dir::Etc::SourceParts="$work/apt/parts"
            -o Dir::State::Lists="$work/apt/lists")
        "${apt[@]}" update >&2
    fi
    # The installed version's, else (gone from the archive) the archive's
    # own: btvirt stands alone, and the patch is for bluez 5.66.
    (cd "$work/dl" && "${apt[@]}" source --download-only "bluez=$ver" >&2) ||
        (cd "$work/dl" && "${apt[@]}" source --download-only bluez >&2)
    mkdir -p "$src.new"
    mv "$work/dl"/* "$src.new/"
    rm -rf "$src"
    mv "$src.new" "$src"
fi

echo "btvirt: building the patched btvirt of bluez $ver" >&2
build "$work"
mv "$work/btvirt" "$exe.new"
mv "$exe.new" "$exe"
echo "$stamp" >"$dir/stamp"
echo "$exe"
