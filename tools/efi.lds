/* The layout of every EFI image we build. Firmware with memory protection
   maps each PE section with the permissions its flags give, so each kind
   of memory gets a section of its own, starting on a page of its own:
   code (read, execute), constants (read only: the embedded firmware image,
   strings, tables, and the pointer tables the loader fixes up before it
   protects the image), data (read, write), the SBAT entries shim reads
   (read only), and the base relocations the loader applies. No section
   is ever both writable and executable.
   tools/efi-link.sh copies only these five into the PE image; the ELF
   bookkeeping that `ld -shared` makes stays behind. An input section that
   has no place here fails the link (--orphan-handling=error), so a new kind
   of memory is placed on purpose, never by default. */
OUTPUT_FORMAT("elf64-x86-64")
OUTPUT_ARCH(i386:x86-64)
ENTRY(EfiImageEntry)
SECTIONS
{
  . = 0;
  /* Dynamic-linking bookkeeping: read by tools/efi_image.py, not loaded. */
  .hash : { *(.hash) }
  .gnu.hash : { *(.gnu.hash) }
  .dynsym : { *(.dynsym) }
  .dynstr : { *(.dynstr) }
  .gnu.version : { *(.gnu.version) }
  .gnu.version_d : { *(.gnu.version_d) }
  .gnu.version_r : { *(.gnu.version_r) }
  .rela.dyn : { *(.rela.*) }
  .dynamic : { *(.dynamic) }

  . = ALIGN(4096);
  /* With every symbol bound inside the image, ld leaves the PLT empty. */
  .text : { *(.text .text.*) *(.plt .plt.got) }

  . = ALIGN(4096);
  .rodata : {
    *(.rodata .rodata.*)
    *(.data.rel.ro .data.rel.ro.*)
    *(.got .got.plt)
  }

  . = ALIGN(4096);
  .data : {
    *(.data .data.*)
    /* Zero-filled data stays in the file, as the loader needs no .bss. */
    *(.dynbss .bss .bss.*)
    *(COMMON)
  }

  . = ALIGN(4096);
  .sbat : { KEEP(*(.sbat)) }

  /* Last, so that adding it on the second link moves nothing before it. */
  . = ALIGN(4096);
  .reloc : { *(.reloc) }

  /* Unwinding tables and notes: nothing in firmware reads them. */
  /DISCARD/ : { *(.eh_frame) *(.sframe) *(.note.GNU-stack) *(.comment) }
}
