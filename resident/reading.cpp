#include "resident/reading.h"

#include "app/converter.h"
#include "app/probe.h"
#include "contract/reading.h"
#include "link/gop.h"
#include "link/link.h"
#include "link/run_state.h"
#include "platform/services.h"
#include "record/fields.h"

namespace {

bool Read(UINT32 address, UINT8* value) { return !EFI_ERROR(ReadDPCD(address, value)); }

void ReadVendorBlock(ConverterReading* r) {
  const UINT32 base = r->vendorBlockBase;
  // Every register is read even after one failed, so each value that did
  // answer is kept.
  r->ouiRead = true;
  for (UINT32 i = 0; i < 3; i++) r->ouiRead = Read(base + kVendorOui + i, &r->oui[i]) && r->ouiRead;
  r->bootloaderRead = Read(base + kBootloaderVersion, &r->bootloader);
  const bool major = Read(base + kFirmwareMajor, &r->firmwareMajor);
  const bool minor = Read(base + kFirmwareMinor, &r->firmwareMinor);
  r->firmwareRead = major && minor;
}

}  // namespace

void ReadConverter(ConverterReading* r) {
  *r = {};
  r->driverThere = ProtocolPresent(kGopNativeGuid) || ProtocolPresent(kGopI2cGuid);
  if (!r->driverThere) return;
  // Quiet, as the program's probe is, and nothing printed at all: the
  // firmware's screen shows.
  gRunState = {};
  gRunState.silent = true;
  r->portAnswered = ProbePort();
  if (!r->portAnswered) return;
  r->port = gRunState.port;
  UINT8 downstream = 0;
  r->blockRead = Read(kDownstreamPortPresent, &downstream);
  if (!r->blockRead) return;
  r->vendorBlockBase = VendorBlockBase(downstream);
  ReadVendorBlock(r);
}

contract::ReadingState StateOf(const ConverterReading& r) {
  if (!r.driverThere) return contract::ReadingState::None;
  const bool all = r.portAnswered && r.blockRead && r.ouiRead && r.bootloaderRead && r.firmwareRead;
  return all ? contract::ReadingState::Seen : contract::ReadingState::Unreadable;
}

bool FormatConverterReading(const ConverterReading& r, text::Writer<char>* writer) {
  FieldText time = {}, port = {}, block = {}, oui = {}, bootloader = {}, firmware = {};
  FormatClock(time);
  if (r.portAnswered) FormatPort(port, r.port);
  if (r.blockRead) FormatVendorBlock(block, r.vendorBlockBase);
  if (r.ouiRead) FormatOui(oui, r.oui);
  if (r.bootloaderRead) FormatBootloader(bootloader, r.bootloader);
  if (r.firmwareRead) FormatFirmware(firmware, r.firmwareMajor, r.firmwareMinor);
  const char* const values[contract::kReadingValueCount] = {time, port, block, oui, bootloader, firmware};
  return contract::FormatReading(StateOf(r), values, writer);
}
