// The converter's firmware memory in real firmware. It lives in the
// variable ConvsimFirmware (non-volatile, boot services only, so the OS
// never sees it), which survives a reset and, on the same variable store,
// a new QEMU process alike; the power-on token from the machine's SMBIOS
// tells the two apart (sim/power_cycle.h). The handles of one scenario
// share it: every converter runs the same firmware, and an image written
// whole to any of them starts on all at the next power-on.
#include "sim/driver/driver_parts.h"
#include "sim/power_cycle.h"

namespace {

constexpr char16_t kMemoryName[] = u"ConvsimFirmware";
constexpr UINT32 kMemoryAttributes = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;

constinit EFI_SYSTEM_TABLE* gTable = nullptr;
constinit SimFirmwareMemory gMemory = {};
constinit char gPowerOn[kSimPowerOnMax + 1] = {};

bool SameGuid(const EFI_GUID& a, const EFI_GUID& b) {
  const auto* x = reinterpret_cast<const UINT8*>(&a);
  const auto* y = reinterpret_cast<const UINT8*>(&b);
  for (UINTN i = 0; i < sizeof(EFI_GUID); ++i)
    if (x[i] != y[i]) return false;
  return true;
}

const UINT8* ConfigurationTable(EFI_SYSTEM_TABLE* st, EFI_GUID guid) {
  for (UINTN i = 0; st->ConfigurationTable != nullptr && i < st->NumberOfTableEntries; ++i)
    if (SameGuid(st->ConfigurationTable[i].VendorGuid, guid))
      return static_cast<const UINT8*>(st->ConfigurationTable[i].VendorTable);
  return nullptr;
}

UINT32 Little(const UINT8* p, unsigned bytes) {
  UINT32 value = 0;
  for (unsigned i = bytes; i-- > 0;) value = value << 8 | p[i];
  return value;
}

// The structure table through the SMBIOS 3.0 entry point, else the 2.x one.
void FindPowerOn(EFI_SYSTEM_TABLE* st) {
  const UINT8* ep = ConfigurationTable(st, SMBIOS3_TABLE_GUID);
  if (ep != nullptr && ep[0] == '_' && ep[1] == 'S' && ep[2] == 'M' && ep[3] == '3') {
    const UINT64 at = Little(ep + 0x10, 4) | static_cast<UINT64>(Little(ep + 0x14, 4)) << 32;
    (void)SimFindPowerOn(reinterpret_cast<const uint8_t*>(at), Little(ep + 0x0C, 4), gPowerOn);
    return;
  }
  ep = ConfigurationTable(st, SMBIOS_TABLE_GUID);
  if (ep != nullptr && ep[0] == '_' && ep[1] == 'S' && ep[2] == 'M' && ep[3] == '_')
    (void)SimFindPowerOn(reinterpret_cast<const uint8_t*>(static_cast<UINTN>(Little(ep + 0x18, 4))),
                         Little(ep + 0x16, 2), gPowerOn);
}

EFI_STATUS Keep() {
  EFI_GUID guid = kConvsimRecordGuid;
  EFI_STATUS err = gTable->RuntimeServices->SetVariable(Wide(kMemoryName), &guid, kMemoryAttributes,
                                                        sizeof gMemory, &gMemory);
  if (EFI_ERROR(err))
    Say(gTable, "convsim: keeping the converter's firmware memory failed (error %u)\n",
        static_cast<UINT32>(err & 0xFFFFFFFFu));
  return err;
}

}  // namespace

UINT32 StartConverterFirmware(EFI_SYSTEM_TABLE* st, SimScenario* scenario) {
  gTable = st;
  FindPowerOn(st);
  EFI_GUID guid = kConvsimRecordGuid;
  UINTN size = sizeof gMemory;
  const EFI_STATUS read =
      st->RuntimeServices->GetVariable(Wide(kMemoryName), &guid, nullptr, &size, &gMemory);
  if (EFI_ERROR(read) || size != sizeof gMemory) gMemory = {};
  bool changed = false;
  const SimFirmwareStart start = SimStartFirmware(&gMemory, gPowerOn, scenario, &changed);
  // Nothing is kept for a converter that never held a written image.
  if (changed && !EFI_ERROR(read)) (void)Keep();
  const char* power = gPowerOn[0] != 0 ? gPowerOn : "unknown";
  if (start == SimFirmwareStart::kStarted)
    Say(st, "convsim: power-on %s: the converter starts the firmware written before (%02X_%02X)\n",
        power, gMemory.runningMajor, gMemory.runningMinor);
  if (start == SimFirmwareStart::kStillWaits)
    Say(st, "convsim: power-on %s, as when written: the firmware written (%02X_%02X) waits for "
        "a power-on\n", power, gMemory.waitingMajor, gMemory.waitingMinor);
  return static_cast<UINT32>(start);
}

void KeepWrittenFirmware(unsigned converter) {
  const SimConverter* c = gConvsimRecord.converters[converter];
  if (gTable == nullptr || c == nullptr || !c->firmwareWritten) return;
  if (SimRememberWrittenFirmware(&gMemory, c, gPowerOn)) (void)Keep();
}

const char* ConverterPowerOn() { return gPowerOn; }
