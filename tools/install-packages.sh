#!/bin/sh
# Makes sure the Debian packages a make target needs are installed, and no
# more: `make demo` gets what the build and the demo need, `make test`
# everything. Silent when they all are; installs the missing ones when run
# as root (as CI is); otherwise prints the one command that would and fails,
# so a developer's machine is never changed behind their back.
#
#     sh tools/install-packages.sh TARGET...     (make's targets; default test)
#     sh tools/install-packages.sh --list TARGET...   the packages, one line
#     sh tools/install-packages.sh --groups   each group: its packages
#
# A package this script installs that starts a system service (nginx-core's
# nginx-common and lighttpd start a web server on port 80) has it disabled
# and stopped at once: the tests run their servers as their own processes,
# and nothing a build installs keeps running afterwards. A package
# installed before is never touched.
set -eu

# The one list, in groups; every package is in exactly one.
# build: the program's two builds and the stick (g++/make/cmake, gnu-efi;
# the FAT volumes with mtools, the machinery in python3);
BUILD="g++ cmake make gnu-efi mtools python3"
# boot: OVMF in QEMU, for the demo, the real-firmware tests and the bench;
BOOT="ovmf qemu-system-x86"
# host-tests: GoogleTest, for the host tests, the fault campaign and the
# bench's host figures;
HOST_TESTS="libgtest-dev"
# pelloryctl: its variables and boot entry (libefivar, libefiboot), its
# signature and key checks (libcrypto) and its reading of the ESP's
# partition table (libblkid);
PELLORYCTL="libefivar-dev libefiboot-dev libssl-dev libblkid-dev pkg-config"
# package: `make deb` (CPack makes it, dpkg-shlibdeps finds its
# dependencies, perl's pod2man its manual page: dpkg-dev and perl);
PACKAGE="dpkg-dev"
# signing: Secure Boot signing (tools/sign-efi.sh) and its checks;
SIGNING="sbsigntool openssl"
# fuzz: the fuzz target (libFuzzer and its sanitizers);
FUZZ="clang libclang-rt-14-dev"
# test: what only `make test` needs besides all of the above: the Python
# tests (python3-pytest); efibootmgr/e2fsprogs copied with their libraries
# into the busybox Linux guest (tools/linux_guest.py), which makes its boot
# entries with efibootmgr and lifts efivarfs' immutable flag with chattr
# (its kernel and busybox are downloaded as packages and unpacked, never
# installed); mmdebstrap/gdisk (and e2fsprogs) for the Debian guest
# (tools/debian_guest.py), its root filled without a loop device (mkfs.ext4
# -d) and its disk partitioned with sgdisk; ansible-core/openssh-client for
# the fleet playbook and its test over the Debian guest's SSH; lintian for
# `make deb`'s package; nginx-core, lighttpd/lighttpd-mod-webdav,
# socat, dnsmasq-base and iproute2 for the network-start scenarios' boot
# servers (nginx's and lighttpd's WebDAV PUT stores the records; socat
# carries QEMU's guestfwd connections to their loopback port; dnsmasq's
# DHCP and TFTP serve the PXE scenario's namespace, which iproute2's ip
# makes). Each server runs only as the
# test's own process.
TEST="python3-pytest efibootmgr e2fsprogs mmdebstrap gdisk ansible-core openssh-client lintian nginx-core lighttpd lighttpd-mod-webdav socat dnsmasq-base iproute2"
GROUPS="BUILD BOOT HOST_TESTS PELLORYCTL PACKAGE SIGNING FUZZ TEST"
# Ours that start a system service when installed (nginx-core through
# nginx-common, lighttpd); named to a user who installs by hand.
SERVERS="nginx-core lighttpd"

# What each make target needs, as groups.
groups_of() {
    case "$1" in
        efi|usb-image) echo BUILD ;;
        demo) echo BUILD BOOT ;;
        signing) echo BUILD SIGNING ;;
        build) echo BUILD HOST_TESTS PELLORYCTL ;;
        soak) echo BUILD HOST_TESTS ;;
        bench) echo BUILD BOOT HOST_TESTS ;;
        deb) echo BUILD PELLORYCTL PACKAGE ;;
        fuzz) echo BUILD HOST_TESTS FUZZ ;;
        test) echo "$GROUPS" ;;
        *) echo "install-packages.sh: no such target: $1" >&2; return 1 ;;
    esac
}

packages_of() {
    list=""
    for target in "$@"; do
        groups=$(groups_of "$target") || exit 2
        for group in $groups; do
            eval "members=\$$group"
            for package in $members; do
                case " $list " in *" $package "*) ;; *) list="${list:+$list }$package" ;; esac
            done
        done
    done
    echo "$list"
}

missing_packages() {
    list=""
    for package in "$@"; do
        # A package removed with its configuration left behind reports
        # "config-files", so only "installed" counts.
        status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
        if [ "$status" != "installed" ]; then
            list="${list:+$list }$package"
        fi
    done
    echo "$list"
}

# Every installed package, one a line, sorted.
installed_packages() {
    dpkg-query -W -f='${db:Status-Status} ${Package}\n' 2>/dev/null |
        awk '$1 == "installed" { print $2 }' | sort -u
}

# The system units a package ships that its installation may have enabled
# (templates are only ever enabled by name, which none of ours does).
units_of() {
    dpkg -L "$1" 2>/dev/null |
        grep -E '^(/usr)?/lib/systemd/system/[^/@]+\.(service|socket|timer|path)$' |
        sed 's|.*/||' || true
}

# Disables and stops, or unlinks where systemd does not run, the units of
# the packages named on standard input; prints the units it changed.
quiet_services() {
    while read -r package; do
        for unit in $(units_of "$package"); do
            if [ -d "$SYSTEM_ROOT/run/systemd/system" ]; then
                enabled=$(systemctl is-enabled "$unit" 2>/dev/null || true)
                active=$(systemctl is-active "$unit" 2>/dev/null || true)
                if [ "$enabled" = enabled ] || [ "$active" = active ]; then
                    systemctl disable --now "$unit" >/dev/null 2>&1 || true
                    echo "$unit"
                fi
            else
                links=$(find "$SYSTEM_ROOT/etc/systemd/system" -path '*.wants/*' -name "$unit" 2>/dev/null || true)
                if [ -n "$links" ]; then
                    # shellcheck disable=SC2086 # one link a word
                    rm -f $links
                    echo "$unit"
                fi
            fi
        done
    done
}

# The system whose services are looked at: / (another root only for this
# script's own tests).
SYSTEM_ROOT=${PELLORY_SYSTEM_ROOT:-}

if [ "${1:-}" = "--groups" ]; then
    for group in $GROUPS; do
        eval "echo \"$group: \$$group\""
    done
    exit 0
fi
if [ "${1:-}" = "--list" ]; then
    shift
    packages_of "${@:-test}"
    exit 0
fi
wanted=$(packages_of "${@:-test}")
# shellcheck disable=SC2086 # the list is meant to split into words
missing=$(missing_packages $wanted)
if [ -z "$missing" ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages: $missing" >&2
    echo "Install them with:" >&2
    echo "    sudo apt-get install -y --no-install-recommends $missing" >&2
    for server in $SERVERS; do
        case " $missing " in
            *" $server "*)
                echo "(or with sudo sh tools/install-packages.sh ${*:-test}, which also disables" \
                     "and stops the services they start: $SERVERS)" >&2
                break ;;
        esac
    done
    exit 1
fi

echo "Installing missing Debian packages: $missing"
before=$(mktemp)
trap 'rm -f "$before"' EXIT
installed_packages > "$before"
apt-get update
# shellcheck disable=SC2086 # the list is meant to split into words
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing

quieted=$(installed_packages | comm -13 "$before" - | quiet_services | tr '\n' ' ')
if [ -n "$quieted" ]; then
    echo "Disabled and stopped what the new packages started (the tests run these servers themselves): ${quieted% }"
fi

# shellcheck disable=SC2086 # the list is meant to split into words
still_missing=$(missing_packages $missing)
if [ -n "$still_missing" ]; then
    echo "Still missing after apt-get install: $still_missing" >&2
    exit 1
fi
