// The PelloryResult variable: the run's record where the OS finds it after
// the reboot, even when the run was cut short (it then still says
// "started"). Lines of `name=value`, each ended by a line feed, never quoted.
// A network start sends the very same bytes to its boot server.
#include "contract/key_value.h"
#include "platform/variables.h"
#include "record/boot_report.h"
#include "record/run_record.h"

RecordKept KeepRecord(const RunFields& fields) {
  char bytes[contract::kTextLimit];
  contract::TextWriter text = {bytes, sizeof bytes, 0, true};
  const char* const own[contract::kRecordOwnKeys] = {
      "1", gRunRecord.request, contract::kStartNames[static_cast<int>(CurrentStart())]};
  for (UINTN i = 0; i < contract::kRecordOwnKeys; i++) contract::PutLine(&text, contract::kRecordKeys[i], own[i]);
  for (UINTN i = 0; i < kRunFieldCount; i++) contract::PutLine(&text, kRunFieldNames[i], fields.value[i]);
  RecordKept kept = {};
  kept.stored = text.fits && !EFI_ERROR(VariableWrite(contract::kResultVariable, text.bytes, text.used));
  if (CurrentStart() == StartKind::Network)
    kept.sendFailed = !text.fits || !SendToBootServer(fields.value[kRunFieldTime], text.bytes, text.used);
  return kept;
}
