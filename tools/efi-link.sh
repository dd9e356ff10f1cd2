#!/bin/sh
# efi-link.sh OUTPUT.efi SUBSYSTEM GNU_EFI_LIB OBJECTS...
# Links freestanding objects into a PE32+ EFI image (subsystem 10: shell
# application, 11: boot-service driver) and refuses an image that would
# depend on global constructors or on symbols nobody defines.
set -eu
out=$1 subsystem=$2 lib=$3
shift 3
so=${out%.efi}.so
case $subsystem in
  10) target=efi-app-x86_64 ;;
  11) target=efi-bsdrv-x86_64 ;;
  *) echo "efi-link.sh: unknown subsystem $subsystem" >&2; exit 2 ;;
esac
ld -nostdlib -znocombreloc -T "$lib/elf_x86_64_efi.lds" -shared -Bsymbolic --no-undefined \
  "$lib/crt0-efi-x86_64.o" "$@" -L"$lib" -lgnuefi -o "$so"
if readelf -SW "$so" | grep -E '\.(init_array|ctors|fini_array|dtors)' >/dev/null; then
  echo "error: $so has global constructors or destructors, which never run in firmware" >&2
  exit 1
fi
undefined=$(nm -u "$so")
if [ -n "$undefined" ]; then
  echo "error: $so leaves symbols undefined: $undefined" >&2
  exit 1
fi
objcopy --strip-all -j .text -j .sdata -j .data -j .rodata -j .dynamic -j .dynsym -j .rel -j .rela \
  -j '.rel.*' -j '.rela.*' -j .reloc --target "$target" --subsystem="$subsystem" "$so" "$out"
echo "built $out: $(stat -c %s "$out") bytes"
