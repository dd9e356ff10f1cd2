// convsim-dump.efi: an application that writes what the resident simulator
// driver recorded into the shell's current directory, or, started without
// a shell (by a test loader), into the folder it was loaded from: each
// converter's flash as flash<i>.bin (65,536 bytes) and the counts, logs and
// timings as simrec.txt, written last so its presence means a whole dump.
// Started without a shell it returns EFI_ABORTED even after a whole dump.
#include "platform/files.h"
#include "platform/services.h"
#include "platform/shell.h"
#include "sim/driver/driver_parts.h"
#include "sim/driver/record_text.h"
#include "text/text.h"

namespace {

constexpr UINTN kTextCapacity = 64 * 1024;

// The whole of `bytes` as the new content of `name`; an older file of that
// name is replaced.
EFI_STATUS WriteWholeFile(const char16_t* name, const void* bytes, UINTN length) {
  FileHandle file = FileOpenEmpty(name);
  if (file == nullptr) return EFI_ACCESS_DENIED;
  EFI_STATUS err = FileWrite(file, static_cast<const char*>(bytes), length);
  const EFI_STATUS closed = FileClose(file);
  return EFI_ERROR(err) ? err : closed;
}

UINT32 Code(EFI_STATUS status) { return static_cast<UINT32>(status & 0xFFFFFFFFu); }

// The record, when a driver built from these sources installed one.
const ConvsimRecordProtocol* FindRecord(EFI_SYSTEM_TABLE* st) {
  EFI_GUID guid = kConvsimRecordGuid;
  void* found = nullptr;
  if (EFI_ERROR(st->BootServices->LocateProtocol(&guid, nullptr, &found))) {
    Say(st, "convsim-dump: no simulator record (is convsim.efi loaded?); nothing written\n");
    return nullptr;
  }
  const auto* record = static_cast<const ConvsimRecordProtocol*>(found);
  if (record->revision != kConvsimRecordRevision || record->converterSize != sizeof(SimConverter) ||
      record->converterCount > kSimMaxHandles) {
    Say(st, "convsim-dump: the simulator record is of another build; nothing written\n");
    return nullptr;
  }
  return record;
}

EFI_STATUS WriteFlashFiles(EFI_SYSTEM_TABLE* st, const ConvsimRecordProtocol& record) {
  for (UINT32 i = 0; i < record.converterCount; ++i) {
    char16_t name[] = u"flash0.bin";
    name[5] = static_cast<char16_t>(u'0' + i);
    EFI_STATUS err = WriteWholeFile(name, record.converters[i]->flash, kSimFlashSize);
    if (EFI_ERROR(err)) {
      Say(st, "convsim-dump: writing flash%u.bin failed (error %u)\n", i, Code(err));
      return err;
    }
  }
  return EFI_SUCCESS;
}

// `started`: the TSC when the dump began, so that two boots can be told
// apart by what ran before it.
EFI_STATUS WriteRecordText(EFI_SYSTEM_TABLE* st, const ConvsimRecordProtocol& record, UINT64 started) {
  char* text = static_cast<char*>(PoolAllocate(kTextCapacity));
  if (text == nullptr) {
    Say(st, "convsim-dump: no pool for simrec.txt\n");
    return EFI_OUT_OF_RESOURCES;
  }
  size_t length = ConvsimRecordText(record, text, kTextCapacity);
  if (length != 0) {
    text::Writer<char> more = text::WriterOn(text + length, kTextCapacity - length);
    text::Put(&more, "tscDump=");
    text::PutNumber(&more, started);
    text::PutChar(&more, '\n');
    length = more.fits ? length + more.used : 0;
  }
  EFI_STATUS err = length == 0 ? EFI_BUFFER_TOO_SMALL : WriteWholeFile(u"simrec.txt", text, length);
  PoolFree(text);
  if (EFI_ERROR(err)) Say(st, "convsim-dump: writing simrec.txt failed (error %u)\n", Code(err));
  return err;
}

}  // namespace

extern "C" EFI_STATUS efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE* st) {
  const UINT64 started = ReadTsc();
  PlatformBind(image, st);
  EFI_SHELL_PARAMETERS_PROTOCOL* parameters = nullptr;
  const bool shell = StartedByShell(&parameters);
  FilesBind(shell ? FilePlace::ShellDirectory : FilePlace::ProgramFolder);
  const ConvsimRecordProtocol* record = FindRecord(st);
  if (record == nullptr) return EFI_NOT_FOUND;
  EFI_STATUS err = WriteFlashFiles(st, *record);
  if (EFI_ERROR(err)) return err;
  err = WriteRecordText(st, *record, started);
  if (EFI_ERROR(err)) return err;
  Say(st, "convsim-dump: wrote simrec.txt\n");
  // As a boot option (first in BootOrder, ahead of the OS) an error sends
  // the boot manager on to the next option; success would open its setup
  // menu and stay there.
  return shell ? EFI_SUCCESS : EFI_ABORTED;
}
