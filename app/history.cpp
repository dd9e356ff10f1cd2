// The run's line in history.csv, added once everything else is done: log.txt
// final, the converter left alone. Nothing here can change the update's
// outcome; a history that cannot be written is only said so.
#include "app/history.h"

#include <stdarg.h>

#include "link/run_state.h"
#include "output/console.h"
#include "output/format.h"
#include "output/update_history.h"
#include "payload/firmware_image.h"
#include "platform/services.h"
#include "platform/smbios.h"
#include "platform/start.h"

namespace {

constexpr char kStopped[] = "stopped: ";
constexpr UINTN kDigestShown = 16;

void AppendOutcome(const char* text) {
  UINTN n = 0;
  while (gRunState.outcome[n] != 0) n++;
  for (; *text != 0 && n + 1 < sizeof gRunState.outcome; text++) {
    if (*text != '\n') gRunState.outcome[n++] = *text;
  }
  gRunState.outcome[n] = 0;
}

bool ValidTime(const EFI_TIME& t) {
  return t.Year >= 1900 && t.Year <= 9999 && t.Month >= 1 && t.Month <= 12 && t.Day >= 1 &&
         t.Day <= 31 && t.Hour <= 23 && t.Minute <= 59 && t.Second <= 59;
}

void AddTime(HistoryLine* line) {
  char text[24] = "";
  EFI_TIME t = {};
  if (ReadTime(&t) && ValidTime(t))
    FormatString(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", t.Year, t.Month, t.Day, t.Hour,
                 t.Minute, t.Second);
  HistoryAddField(line, text);
}

void AddConverter(HistoryLine* line) {
  char text[24];
  FormatString(text, sizeof text, "%u", gRunState.port);
  HistoryAddField(line, text);
  FormatString(text, sizeof text, "0x%X", gRunState.vendorBlockBase);
  HistoryAddField(line, text);
  const UINT8* oui = gRunState.converterOui;
  FormatString(text, sizeof text, "%02X%02X%02X", oui[0], oui[1], oui[2]);
  HistoryAddField(line, text);
  // As the console showed them.
  FormatString(text, sizeof text, "%X.0.%X", gRunState.bootloader >> 4, gRunState.bootloader & 0xF);
  HistoryAddField(line, text);
  FormatString(text, sizeof text, "0x%02X_0x%02X", gRunState.firmwareMajor, gRunState.firmwareMinor);
  HistoryAddField(line, text);
}

void AddImage(HistoryLine* line) {
  char text[48];
  UINTN n = FormatString(text, sizeof text, "%s sha256:", kFirmwareImageVersion);
  for (UINTN i = 0; i < kDigestShown; i++) text[n++] = FirmwareImageDigest[i];
  text[n] = 0;
  HistoryAddField(line, text);
}

}  // namespace

void StopPrint(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  FormatText(text, sizeof text, HexCase::PrintfRules, format, args);
  va_end(args);
  StdPrint("%s", text);
  if (gRunState.outcome[0] == 0) AppendOutcome(kStopped);
  AppendOutcome(text);
}

void SetOutcome(const char* word) {
  gRunState.outcome[0] = 0;
  AppendOutcome(word);
}

namespace pellory {

void AfterMain() {
  HistoryLine line = {};
  AddTime(&line);
  SystemIdentity machine;
  ReadSystemIdentity(&machine);
  HistoryAddField(&line, machine.serial);
  HistoryAddField(&line, machine.uuid);
  AddConverter(&line);
  AddImage(&line);
  HistoryAddField(&line, gRunState.outcome);
  if (!HistoryAppend(line)) StdPrint("The history can not be written.\n");
}

}  // namespace pellory
