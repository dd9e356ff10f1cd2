// The second half of the download: start, 256 pages through the I2C page
// window with a read-back of each, finish, and the verification.
#include "app/converter.h"
#include "app/download.h"
#include "app/register_wait.h"
#include "link/link.h"
#include "output/console.h"
#include "output/update_log.h"
#include "payload/firmware_image.h"
#include "record/run_record.h"

namespace {

// A command byte is acknowledged by the same value in the status register.
bool Command(UINT8 command, UINT32 rereads) {
  UINT32 base = gRunRecord.vendorBlockBase;
  (void)WriteDPCD(base + kCommandRegister, command);
  UINT8 last = 0;
  return WaitForRegister(base + kStatusRegister, command, rereads, &last);
}

void ClearStatus() { (void)WriteDPCD(gRunRecord.vendorBlockBase + kStatusRegister, 0); }

// Page n: request the window, write its 256 bytes one by one, read it back.
bool SendPage(UINTN n, UINT8* page, UINT8* readBack) {
  if (!Command(kCommandPage, kLongWaitRereads)) {
    StopPrint("7Cannot get ACK.Update failed\n");
    return false;
  }
  StdPrint("Page:%02X\r", static_cast<unsigned>(kPageCount - 1 - n));
  StdFlush();

  const UINT8* source = &FirmwareImage[n * kPageSize];
  for (UINTN j = 0; j < kPageSize; j++) {
    if (EFI_ERROR(I2CProtocolWrite(kPageWindowSlave, static_cast<UINT8>(j), source[j]))) {
      StopPrint("data[i*256+j] = %x ", source[j]);
      StopPrint("iicwrite,i = %d,j = %d fail\n", static_cast<int>(n), static_cast<int>(j));
      return false;
    }
  }

  EFI_STATUS status = I2CProtocolRead(kPageWindowSlave, kPageSize, page);
  for (UINTN j = 0; j < kPageSize; j++) readBack[n * kPageSize + j] = page[j];
  if (EFI_ERROR(status)) {
    StopPrint("iicread,j = %d fail\n", static_cast<int>(kPageSize - 1));
    return false;
  }
  ClearStatus();
  return true;
}

}  // namespace

void TransferFirmware(UINT8* readBack, Stream* log) {
  if (!Command(kCommandStart, kLongWaitRereads)) {
    StopPrint("4Cannot get ACK.Update failed\n");
    return;
  }
  UINT8 page[kPageSize] = {};
  ClearStatus();

  for (UINTN n = 0; n < kPageCount; n++) {
    if (!SendPage(n, page, readBack)) return;
  }

  if (!Command(kCommandFinish, kShortWaitRereads)) {
    StopPrint("9Cannot get ACK.Update failed\n");
    return;
  }

  // The pages' read-back copies against the image, first difference only.
  StdPrint("\nverifying\n");
  for (UINTN k = 0; k < kFirmwareImageSize; k++) {
    if (FirmwareImage[k] != readBack[k]) {
      StdPrint("Firmware verify error at %d, data[i] = %x, fwBufRead[i] = %x\n",
               static_cast<int>(k), FirmwareImage[k], readBack[k]);
      UpdateLogWrite(log, "failed");
      SetOutcome("failed");
      return;
    }
  }

  UpdateLogWrite(log, "successful");
  SetOutcome("successful");
  StdPrint("Download success,Please shutdown to reset the system!\n");
  UpdateLogClose(log);
  // Back to protocol-converter mode for the restart.
  (void)I2CProtocolWrite(kAdaptorSlave, kModeChangeOffset, kConverterMode);
}
