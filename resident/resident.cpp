#include "resident/resident.h"

#include "contract/contract.h"
#include "platform/services.h"
#include "platform/variables.h"
#include "resident/reading.h"

namespace {

// Once a boot, whatever the firmware signals later, even when it could not
// close the event.
constinit bool gRead = false;

void EFIAPI AtReadyToBoot(EFI_EVENT event, VOID*) {
  EventClose(event);
  if (gRead) return;
  gRead = true;
  ConverterReading reading;
  ReadConverter(&reading);
  char bytes[contract::kTextLimit];
  text::Writer<char> text = text::WriterOn(bytes, sizeof bytes);
  if (!FormatConverterReading(reading, &text)) return;
  // Refused (no runtime services, a store that takes nothing): the OS then
  // finds no reading this boot, which it tells apart from a stale one.
  (void)VariableWrite(contract::kConverterVariable, text.bytes, text.used, kPelloryVolatileAttributes);
}

}  // namespace

EFI_STATUS ResidentStart(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
  PlatformBind(image, systemTable);
  gRead = false;
  EFI_EVENT event = nullptr;
  return NotifyAtReadyToBoot(AtReadyToBoot, &event);
}
