#include "record/fields.h"

#include "output/format.h"
#include "platform/services.h"

namespace {

bool ValidTime(const EFI_TIME& t) {
  return t.Year >= 1900 && t.Year <= 9999 && t.Month >= 1 && t.Month <= 12 && t.Day >= 1 &&
         t.Day <= 31 && t.Hour <= 23 && t.Minute <= 59 && t.Second <= 59;
}

}  // namespace

void FormatClock(FieldText text) {
  text[0] = 0;
  EFI_TIME t = {};
  if (ReadTime(&t) && ValidTime(t))
    FormatString(text, kFieldTextMax, "%04u-%02u-%02uT%02u:%02u:%02u", t.Year, t.Month, t.Day, t.Hour,
                 t.Minute, t.Second);
}

void FormatPort(FieldText text, UINT32 port) { FormatString(text, kFieldTextMax, "%u", port); }

void FormatVendorBlock(FieldText text, UINT32 base) { FormatString(text, kFieldTextMax, "0x%X", base); }

void FormatOui(FieldText text, const UINT8 oui[3]) {
  FormatString(text, kFieldTextMax, "%02X%02X%02X", oui[0], oui[1], oui[2]);
}

void FormatBootloader(FieldText text, UINT8 bootloader) {
  FormatString(text, kFieldTextMax, "%X.0.%X", bootloader >> 4, bootloader & 0xF);
}

void FormatFirmware(FieldText text, UINT8 major, UINT8 minor) {
  FormatString(text, kFieldTextMax, "0x%02X_0x%02X", major, minor);
}
