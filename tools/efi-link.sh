#!/bin/sh
# efi-link.sh OUTPUT.efi SUBSYSTEM SBAT.csv OBJECTS...
# Links freestanding objects into a PE32+ EFI image (subsystem 10: shell
# application, 11: boot-service driver) that follows the firmware's memory
# rules: code, constants, data, the SBAT entries (SBAT.csv, which shim
# demands of what it starts) and base relocations each in a section of
# their own (tools/efi.lds), none both writable and executable, and NX_COMPAT
# set. Refuses an image that would depend on global constructors or on
# symbols nobody defines.
set -eu
out=$1 subsystem=$2 sbat=$3
shift 3
tools=$(dirname "$0")
so=${out%.efi}.so
relocs=${out%.efi}.reloc.S
case $subsystem in
  10) target=efi-app-x86_64 ;;
  11) target=efi-bsdrv-x86_64 ;;
  *) echo "efi-link.sh: unknown subsystem $subsystem" >&2; exit 2 ;;
esac

sbat_object=${out%.efi}.sbat.o

link() {
  ld -nostdlib -znocombreloc -T "$tools/efi.lds" -shared -Bsymbolic --no-undefined \
    --orphan-handling=error "$@" "$sbat_object" -o "$so"
}

# The SBAT text, read-only data padded with NULs to the file alignment, so
# that the section's raw size in the file equals its virtual size: shim
# reads the section by its raw size.
printf '    .section .sbat,"a"\n    .incbin "%s"\n    .balign %s, 0\n    .section .note.GNU-stack,"",@progbits\n' \
  "$sbat" 512 | as --64 -o "$sbat_object"

# First link: the layout, and from it the base relocations. The second link
# adds them as the last section, so nothing before it moves; the table is
# made again from that link and must come out the same.
link "$@"
if readelf -SW "$so" | grep -E '\.(init_array|ctors|fini_array|dtors)' >/dev/null; then
  echo "error: $so has global constructors or destructors, which never run in firmware" >&2
  exit 1
fi
undefined=$(nm -u "$so")
if [ -n "$undefined" ]; then
  echo "error: $so leaves symbols undefined: $undefined" >&2
  exit 1
fi
python3 "$tools/efi_image.py" relocs "$so" "$relocs"
as --64 -o "${relocs%.S}.o" "$relocs"
link "$@" "${relocs%.S}.o"
python3 "$tools/efi_image.py" relocs "$so" "$relocs.again"
if ! cmp -s "$relocs" "$relocs.again"; then
  echo "error: $so: the base relocations changed when they were added" >&2
  exit 1
fi
rm -f "$relocs.again"

# The constants' ELF section is writable only because the pointer tables in
# it are, for the moment before the loader has relocated them; in the image
# it is read-only.
objcopy --strip-all -j .text -j .rodata -j .data -j .sbat -j .reloc \
  --set-section-flags .rodata=alloc,load,readonly,data,contents \
  --set-section-flags .sbat=alloc,load,readonly,data,contents \
  --target "$target" --subsystem="$subsystem" "$so" "$out"
python3 "$tools/efi_image.py" trim "$out"
python3 "$tools/efi_image.py" nx-compat "$out"
echo "built $out: $(stat -c %s "$out") bytes"
