#include "platform/smbios.h"

#include "platform/services.h"

namespace {

constexpr UINT8 kSystemInformation = 1;
constexpr UINT8 kEndOfTable = 127;
constexpr UINT8 kSerialField = 0x07;
constexpr UINT8 kUuidField = 0x08;
constexpr UINT8 kUuidLength = 16;
constexpr UINT16 kLittleEndianUuid = 0x0206;
// A table is a few KiB; a length beyond this is a firmware's mistake and
// must not send the walk through memory that is not the table.
constexpr UINTN kMaxTable = 1 << 20;

UINT16 Read16(const UINT8* p) { return static_cast<UINT16>(p[0] | p[1] << 8); }
UINT32 Read32(const UINT8* p) { return static_cast<UINT32>(Read16(p) | Read16(p + 2) << 16); }
UINT64 Read64(const UINT8* p) { return Read32(p) | static_cast<UINT64>(Read32(p + 4)) << 32; }

bool SameBytes(const UINT8* a, const char* b, UINTN n) {
  for (UINTN i = 0; i < n; i++)
    if (a[i] != static_cast<UINT8>(b[i])) return false;
  return true;
}

const UINT8* ConfigurationTable(EFI_GUID guid) {
  const EFI_SYSTEM_TABLE* st = SystemTable();
  for (UINTN i = 0; st->ConfigurationTable != nullptr && i < st->NumberOfTableEntries; i++) {
    const EFI_CONFIGURATION_TABLE& entry = st->ConfigurationTable[i];
    if (SameBytes(reinterpret_cast<const UINT8*>(&entry.VendorGuid),
                  reinterpret_cast<const char*>(&guid), sizeof guid))
      return static_cast<const UINT8*>(entry.VendorTable);
  }
  return nullptr;
}

// String `number` (1-based) of the set that starts at `strings`, within
// `end`; null when there is none.
const UINT8* String(const UINT8* strings, const UINT8* end, UINT8 number) {
  if (number == 0) return nullptr;
  const UINT8* s = strings;
  for (UINT8 n = 1; s < end && *s != 0; n++) {
    if (n == number) return s;
    while (s < end && *s != 0) s++;
    s++;
  }
  return nullptr;
}

void CopySerial(const UINT8* s, const UINT8* end, char* out) {
  // A string the table's end cuts off is no serial: it may be wrong.
  const UINT8* stop = s;
  while (stop != nullptr && stop < end && *stop != 0) stop++;
  if (stop == nullptr || stop == end) return;
  UINTN n = 0;
  for (; s < stop && n < kSerialMax; s++)
    out[n++] = *s >= 0x20 && *s < 0x7F ? static_cast<char>(*s) : '?';
  // A serial made only of blanks is no serial.
  while (n > 0 && out[n - 1] == ' ') n--;
  out[n] = 0;
}

void CopyUuid(const UINT8* u, UINT16 version, char* out) {
  bool allZero = true, allOnes = true;
  for (UINTN i = 0; i < kUuidLength; i++) {
    allZero = allZero && u[i] == 0x00;
    allOnes = allOnes && u[i] == 0xFF;
  }
  if (allZero || allOnes) return;
  // From 2.6 on the first three fields are little-endian.
  static constexpr UINT8 kSwapped[kUuidLength] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  const bool swapped = version >= kLittleEndianUuid;
  UINTN n = 0;
  for (UINTN i = 0; i < kUuidLength; i++) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out[n++] = '-';
    UINT8 byte = u[swapped ? kSwapped[i] : i];
    out[n++] = "0123456789ABCDEF"[byte >> 4];
    out[n++] = "0123456789ABCDEF"[byte & 0xF];
  }
  out[n] = 0;
}

}  // namespace

void ReadSystemIdentityFrom(const UINT8* table, UINTN length, UINT16 version,
                            SystemIdentity* identity) {
  *identity = {};
  if (table == nullptr) return;
  const UINT8* end = table + (length < kMaxTable ? length : kMaxTable);
  const UINT8* p = table;
  while (p + 4 <= end) {
    const UINT8 type = p[0], formatted = p[1];
    if (formatted < 4 || p + formatted > end) return;
    const UINT8* strings = p + formatted;
    if (type == kSystemInformation) {
      if (formatted > kSerialField) CopySerial(String(strings, end, p[kSerialField]), end, identity->serial);
      if (formatted >= kUuidField + kUuidLength) CopyUuid(p + kUuidField, version, identity->uuid);
      return;
    }
    if (type == kEndOfTable) return;
    // The string set ends with two zero bytes (two also when it is empty).
    const UINT8* next = strings;
    while (next + 1 < end && (next[0] != 0 || next[1] != 0)) next++;
    p = next + 2;
  }
}

void ReadSystemIdentity(SystemIdentity* identity) {
  *identity = {};
  if (const UINT8* ep = ConfigurationTable(SMBIOS3_TABLE_GUID); ep != nullptr && SameBytes(ep, "_SM3_", 5)) {
    const UINT16 version = static_cast<UINT16>(ep[7] << 8 | ep[8]);
    ReadSystemIdentityFrom(reinterpret_cast<const UINT8*>(Read64(ep + 0x10)), Read32(ep + 0x0C),
                           version, identity);
    return;
  }
  if (const UINT8* ep = ConfigurationTable(SMBIOS_TABLE_GUID); ep != nullptr && SameBytes(ep, "_SM_", 4)) {
    const UINT16 version = static_cast<UINT16>(ep[6] << 8 | ep[7]);
    ReadSystemIdentityFrom(reinterpret_cast<const UINT8*>(static_cast<UINTN>(Read32(ep + 0x18))),
                           Read16(ep + 0x16), version, identity);
  }
}
