// The program's main: announce, find the port, identify the converter,
// report its versions, then run the download.
#include "app/converter.h"
#include "app/download.h"
#include "app/request.h"
#include "link/link.h"
#include "link/run_state.h"
#include "output/console.h"
#include "platform/start.h"
#include "record/run_record.h"

namespace {

constexpr UINT32 kProbePorts[] = {0, 2, 4, 6, 8, 10};
constexpr UINT32 kAdaptorBlock = 256;

// The first even port whose adaptor registers answer; the last one tried
// when none does.
void ProbePort(UINT8* adaptor) {
  for (UINT32 port : kProbePorts) {
    gRunState.port = port;
    if (!EFI_ERROR(I2CProtocolRead(kAdaptorSlave, 1, adaptor))) return;
  }
}

// A failed read leaves the byte as the caller set it: 0.
UINT8 ReadVendor(UINT32 offset) {
  UINT8 value = 0;
  (void)ReadDPCD(gRunRecord.vendorBlockBase + offset, &value);
  return value;
}

}  // namespace

namespace pellory {

int main(int, char**) {
  gRunState = {};
  gRunRecord = {};
  UINT8 adaptor[kAdaptorBlock] = {};

  // Probe quietly: a port without the converter fails its reads by nature.
  gRunState.reportI2cReadErrors = 0;
  StdPrint("Pellory Version:0.4, firmware version 07_23\n");
  // Nothing reaches the converter before the OS's request is served and the
  // record in the firmware says the run has started.
  if (!BeginRun()) return 0;
  ProbePort(adaptor);
  (void)I2CProtocolRead(kAdaptorSlave, kAdaptorBlock, adaptor);
  gRunState.reportI2cReadErrors = 1;

  // Protocol-converter mode before the first DPCD access.
  (void)I2CProtocolWrite(kAdaptorSlave, kModeChangeOffset, kConverterMode);

  // A branch device keeps its vendor registers at 0x500, others at 0x400.
  UINT8 downstream = 0;
  (void)ReadDPCD(kDownstreamPortPresent, &downstream);
  gRunRecord.vendorBlockBase = static_cast<UINT32>(((downstream & 1) | 4) << 8);

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

  // The outcome is told by the console and the update log, not the status.
  DownloadFirmware();
  return 0;
}

}  // namespace pellory
