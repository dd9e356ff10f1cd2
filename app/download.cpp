// The first half of the download: read-back buffer, update log, source OUI
// and the "Download" keyword handshake on the vendor mailbox.
#include "app/download.h"

#include "app/converter.h"
#include "app/register_wait.h"
#include "link/link.h"
#include "output/console.h"
#include "output/update_log.h"
#include "payload/firmware_image.h"
#include "platform/services.h"
#include "record/run_record.h"

namespace {

constexpr char kKeyword[] = "Download";
constexpr UINT32 kKeywordLength = sizeof kKeyword - 1;

// The read-back buffer goes back to the pool on every way out.
struct PoolGuard {
  void* buffer;
  ~PoolGuard() {
    if (buffer != nullptr) PoolFree(buffer);
  }
};

// Sends the keyword one character at a time; the converter takes each one
// (command register back to 0) and echoes it in the status register. A wrong
// or missing echo restarts from the first character.
bool Handshake(UINT32 command, UINT32 status, UINT8 sourceSpecific) {
  UINT32 i = 0;
  UINT32 failedAttempts = 0;
  while (i < kKeywordLength) {
    UINT8 character = static_cast<UINT8>(kKeyword[i]);
    (void)WriteDPCD(command, character);
    (void)WriteDPCD(kSourceSpecific, sourceSpecific);
    UINT8 last = 0;
    if (!WaitForRegister(command, 0, kShortWaitRereads, &last)) {
      StopPrint("DPCD50C not 0.Update failed\n");
      return false;
    }
    if (WaitForRegister(status, character, kShortWaitRereads, &last)) {
      i++;
      continue;
    }
    i = 0;
    if (++failedAttempts == kHandshakeAttempts) {
      StopPrint("3Cannot get ACK. Update failed\n");
      return false;
    }
  }
  return true;
}

}  // namespace

void DownloadFirmware() {
  auto* readBack = static_cast<UINT8*>(PoolAllocate(kFirmwareImageSize));
  PoolGuard guard{readBack};

  // The log is emptied first, so that no earlier outcome survives any stop.
  Stream* log = UpdateLogOpen();
  if (readBack == nullptr) {
    StopPrint("The memory can not be allocated.\n");
    return;
  }
  if (log == nullptr) {
    StopPrint("The file can not be opened.\n");
    return;
  }
  for (UINTN k = 0; k < kFirmwareImageSize; k++) readBack[k] = 0;

  // The converter's own OUI as the source OUI.
  for (UINT32 i = 0; i < 3; i++) (void)WriteDPCD(kSourceOui + i, gRunRecord.converterOui[i]);

  // Read once; written back unchanged with every character.
  UINT8 sourceSpecific = 0;
  (void)ReadDPCD(kSourceSpecific, &sourceSpecific);

  UINT32 base = gRunRecord.vendorBlockBase;
  if (!Handshake(base + kCommandRegister, base + kStatusRegister, sourceSpecific)) return;

  StdPrint("start to update downloading\n");
  TransferFirmware(readBack, log);
}
