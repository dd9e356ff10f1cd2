#!/bin/sh
# Makes sure the Debian packages that the build and both kinds of test need
# are installed. Silent when they all are; installs the missing ones when run
# as root (as CI is); otherwise prints the one command that would and fails,
# so a developer's machine is never changed behind their back.
set -eu

# g++/make/cmake/libgtest-dev: host build and tests; gnu-efi: firmware build;
# ovmf/qemu-system-x86/mtools/python3/python3-pytest: real-firmware tests
# (tools/pellory_machine, the tests written for pytest);
# clang/libclang-rt-14-dev: the fuzz target (libFuzzer and its sanitizers);
# sbsigntool/openssl: Secure Boot signing (tools/sign-efi.sh) and its tests;
# libefivar-dev/libefiboot-dev/pkg-config: pelloryctl (variables, boot entry);
# libssl-dev/libblkid-dev: pelloryctl's signature and key checks (libcrypto)
# and its reading of the ESP's partition table (libblkid);
# efibootmgr/e2fsprogs: copied with their libraries into the Linux test guest
# (tools/linux_guest.py), which makes its boot entries with efibootmgr and
# lifts efivarfs' immutable flag with chattr. The guest's kernel and busybox
# are downloaded as packages and unpacked, never installed;
# mmdebstrap/gdisk (and e2fsprogs): the playbook test's Debian guest
# (tools/debian_guest.py), a Debian system made from Debian's packages, its
# root file system filled without a loop device (mkfs.ext4 -d) and its disk
# partitioned with sgdisk;
# ansible-core/openssh-client: the fleet playbook and its test, which reach
# the Debian guest's SSH server; lintian: `make deb`'s
# package is checked with it (CPack makes it, dpkg-shlibdeps finds its
# dependencies, pod2man makes its manual page: dpkg-dev and perl);
# nginx-core/socat/dnsmasq-base: the network-start scenarios' boot server
# (nginx's WebDAV PUT stores the records; socat carries QEMU's guestfwd
# connections to its loopback port; dnsmasq's DHCP and TFTP serve the PXE
# scenario's namespace, which iproute2's ip makes). Each runs only as the
# test's own process.
PACKAGES="g++ cmake make libgtest-dev gnu-efi ovmf qemu-system-x86 mtools python3 python3-pytest clang libclang-rt-14-dev sbsigntool openssl libefivar-dev libefiboot-dev libssl-dev libblkid-dev pkg-config efibootmgr e2fsprogs mmdebstrap gdisk ansible-core openssh-client lintian dpkg-dev nginx-core socat dnsmasq-base iproute2"

missing_packages() {
    list=""
    for package in $PACKAGES; do
        # A package removed with its configuration left behind reports
        # "config-files", so only "installed" counts.
        status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
        if [ "$status" != "installed" ]; then
            list="${list:+$list }$package"
        fi
    done
    echo "$list"
}

missing=$(missing_packages)
if [ -z "$missing" ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages: $missing" >&2
    echo "Install them with:" >&2
    echo "    sudo apt-get install -y --no-install-recommends $missing" >&2
    exit 1
fi

echo "Installing missing Debian packages: $missing"
apt-get update
# shellcheck disable=SC2086 # the list is meant to split into words
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing

still_missing=$(missing_packages)
if [ -n "$still_missing" ]; then
    echo "Still missing after apt-get install: $still_missing" >&2
    exit 1
fi
