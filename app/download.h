#pragma once

#include "platform/efi.h"

struct Stream;

// Prepares the update, presents the converter's own OUI as the source OUI,
// brings the converter into download mode and hands over to the transfer.
// The outcome is told only on the console and in the update log.
void DownloadFirmware();

// Sends the image page by page, reads every page back into `readBack`
// (kFirmwareImageSize bytes), verifies it and records the outcome in `log`.
void TransferFirmware(UINT8* readBack, Stream* log);
