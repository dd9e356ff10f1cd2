// The program's main: announce, find the port, identify the converter,
// report its versions, then run the download.
#include "app/converter.h"
#include "app/download.h"
#include "app/probe.h"
#include "app/request.h"
#include "link/link.h"
#include "link/run_state.h"
#include "output/console.h"
#include "payload/firmware_image.h"
#include "platform/start.h"
#include "record/run_record.h"

namespace {

constexpr UINT32 kAdaptorBlock = 256;

// A failed read leaves the byte as the caller set it, 0, and is noted:
// a run the OS asked for never judges the converter by it.
UINT8 ReadIdentity(UINT32 address) {
  UINT8 value = 0;
  if (EFI_ERROR(ReadDPCD(address, &value))) gRunRecord.versionUnread = true;
  return value;
}

UINT8 ReadVendor(UINT32 offset) { return ReadIdentity(gRunRecord.vendorBlockBase + offset); }

}  // namespace

namespace pellory {

int main(int, char**) {
  gRunState = {};
  gRunRecord = {};
  UINT8 adaptor[kAdaptorBlock] = {};

  // Probe quietly: a port without the converter fails its reads by nature.
  gRunState.reportI2cReadErrors = 0;
  StdPrint("%s", ProgramBanner);
  // Nothing reaches the converter before the OS's request is served and the
  // record in the firmware says the run has started.
  if (!BeginRun()) return 0;
  // No port answering is no reason to stop: the last one tried is used.
  (void)ProbePort();
  (void)I2CProtocolRead(kAdaptorSlave, kAdaptorBlock, adaptor);
  gRunState.reportI2cReadErrors = 1;

  // Protocol-converter mode before the first DPCD access.
  (void)I2CProtocolWrite(kAdaptorSlave, kModeChangeOffset, kConverterMode);

  // A branch device keeps its vendor registers at 0x500, others at 0x400.
  const UINT8 downstream = ReadIdentity(kDownstreamPortPresent);
  gRunRecord.vendorBlockBase = VendorBlockBase(downstream);

  for (UINT32 i = 0; i < 3; i++) gRunRecord.converterOui[i] = ReadVendor(kVendorOui + i);

  UINT8 bootloader = ReadVendor(kBootloaderVersion);
  ConPrint(u"Bootloader:%x.0.%x\n", bootloader >> 4, bootloader & 0xF);
  UINT8 major = ReadVendor(kFirmwareMajor);
  UINT8 minor = ReadVendor(kFirmwareMinor);
  StdPrint("Current FirmwareVer:0x%02X_0x%02X\n", major, minor);
  gRunRecord.bootloader = bootloader;
  gRunRecord.firmwareMajor = major;
  gRunRecord.firmwareMinor = minor;
  gRunRecord.identified = true;

  // A run the OS asked for may end here, before log.txt is touched and
  // before anything is written to the converter.
  if (!DownloadWanted()) return 0;
  // The outcome is told by the console and the update log, not the status.
  DownloadFirmware();
  return 0;
}

}  // namespace pellory
