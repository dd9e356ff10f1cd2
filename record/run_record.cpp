#include "record/run_record.h"

#include <stdarg.h>

#include "link/run_state.h"
#include "output/console.h"
#include "output/format.h"
#include "payload/firmware_image.h"
#include "platform/services.h"
#include "platform/smbios.h"
#include "record/fields.h"
#include "text/text.h"

constinit RunRecord gRunRecord = {};

namespace {

constexpr const char* kStopped = contract::kOutcomeStopped;

// Field positions, in the order of kRunFieldNames.
enum Field : UINTN { kTime, kSerial, kUuid, kPort, kVendorBlock, kOui, kBootloader, kFirmware, kImage, kOutcome };
static_assert(kTime == kRunFieldTime);

void AppendOutcome(const char* text) {
  UINTN n = text::Length(gRunRecord.outcome);
  for (; *text != 0 && n + 1 < sizeof gRunRecord.outcome; text++) {
    if (*text != '\n') gRunRecord.outcome[n++] = *text;
  }
  gRunRecord.outcome[n] = 0;
}

void Copy(char* to, const char* from) {
  UINTN n = 0;
  for (; from[n] != 0 && n + 1 < kRunFieldMax; n++) to[n] = from[n];
  to[n] = 0;
}

void AddConverter(RunFields* fields) {
  if (!gRunRecord.identified) return;
  const RunRecord& r = gRunRecord;
  // Each value is far shorter than a run's field.
  static_assert(kFieldTextMax <= kRunFieldMax);
  FormatPort(fields->value[kPort], gRunState.port);
  FormatVendorBlock(fields->value[kVendorBlock], r.vendorBlockBase);
  FormatOui(fields->value[kOui], r.converterOui);
  FormatBootloader(fields->value[kBootloader], r.bootloader);
  FormatFirmware(fields->value[kFirmware], r.firmwareMajor, r.firmwareMinor);
}

// "07_23 sha256:" and the digest's first digits: a few dozen characters.
void AddImage(char* text) {
  const text::Span version = ImageVersionText();
  UINTN n = 0;
  for (UINTN i = 0; i < version.length; i++) text[n++] = version.text[i];
  for (const char* tag = contract::kImageDigestTag; *tag != 0; tag++) text[n++] = *tag;
  for (UINTN i = 0; i < contract::kImageDigestShown; i++) text[n++] = FirmwareImageDigest[i];
  text[n] = 0;
  static_assert(contract::kImageVersionLength + sizeof contract::kImageDigestTag +
                    contract::kImageDigestShown < kRunFieldMax);
}

}  // namespace

void StopPrint(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  FormatText(text, sizeof text, HexCase::PrintfRules, format, args);
  va_end(args);
  StdPrint("%s", text);
  if (gRunRecord.outcome[0] == 0) AppendOutcome(kStopped);
  AppendOutcome(text);
}

void SetOutcome(const char* word) {
  gRunRecord.outcome[0] = 0;
  AppendOutcome(word);
}

void CollectRunFields(const char* outcome, RunFields* fields) {
  *fields = {};
  FormatClock(fields->value[kTime]);
  SystemIdentity machine;
  ReadSystemIdentity(&machine);
  Copy(fields->value[kSerial], machine.serial);
  Copy(fields->value[kUuid], machine.uuid);
  AddConverter(fields);
  AddImage(fields->value[kImage]);
  Copy(fields->value[kOutcome], outcome);
}
