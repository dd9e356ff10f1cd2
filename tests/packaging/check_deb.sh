#!/bin/sh
# check_deb.sh BUILD: makes the package as `make deb` does, and checks it:
# lintian reports no error and no warning, it holds the command, its manual
# page, its copyright and changelog and the identification driver, it
# depends on the libraries the binary links, and it carries nothing
# test-only.
set -eu
build=$1
cd "$build"
cpack --config CPackConfig.cmake >cpack.log 2>&1 || { cat cpack.log; exit 1; }
deb=$(ls pelloryctl_*_amd64.deb)
echo "$deb"
lintian --fail-on error,warning --display-info "$deb"
contents=$(dpkg-deb --contents "$deb")
for path in ./usr/sbin/pelloryctl ./usr/share/man/man8/pelloryctl.8.gz \
    ./usr/share/doc/pelloryctl/copyright ./usr/share/doc/pelloryctl/changelog.gz \
    ./usr/lib/pellory/pellory-identify.efi; do
    echo "$contents" | grep -q " $path\$" || { echo "no $path in $deb"; exit 1; }
done
depends=$(dpkg-deb --field "$deb" Depends)
for library in libefivar1 libefiboot1 libssl3 libblkid1; do
    echo "$depends" | grep -q "$library" || { echo "Depends: $depends lacks $library"; exit 1; }
done
# The manual page as man shows it: no warning from groff.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
# The driver `pelloryctl driver install` takes by default: the build's,
# unsigned, byte for byte.
driver="$unpacked/usr/lib/pellory/pellory-identify.efi"
built=efi/pellory-identify.efi
[ -f efi/pellory-identify-unsigned.efi ] && built=efi/pellory-identify-unsigned.efi
cmp "$driver" "$built" || { echo "the package's driver is not $built"; exit 1; }
[ "$(stat -c %a "$driver")" = 644 ] || { echo "the package's driver is not mode 644"; exit 1; }
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$unpacked/usr/share/man/man8/pelloryctl.8.gz" 2>&1 >/dev/null)
[ -z "$warnings" ] || { echo "the manual page: $warnings"; exit 1; }
# Nothing test-only ships: the faults pelloryctl's tests inject live in
# tests/pelloryctl/, so neither the release build nor the package's binary
# names one (the package's binary may be stripped; the release build is not).
hooks='VarsFail|VarsCorrupt|VarsClearFaults|CopyCorrupt|FaultyStore|ReadCorrupted|Injected'
for binary in pelloryctl/pelloryctl "$unpacked/usr/sbin/pelloryctl"; do
    found=$({ nm -C "$binary" 2>/dev/null; nm -C -D "$binary"; } | grep -E "$hooks" || true)
    [ -z "$found" ] || { echo "$binary carries test hooks: $found"; exit 1; }
done
echo "$deb: lintian clean; Depends: $depends"
