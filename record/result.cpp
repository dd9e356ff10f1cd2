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
  text::Writer<char> record = text::WriterOn(bytes, sizeof bytes);
  const char* const own[contract::kRecordOwnKeys] = {
      "1", gRunRecord.request, contract::kStartNames[static_cast<int>(CurrentStart())]};
  for (UINTN i = 0; i < contract::kRecordOwnKeys; i++) contract::PutLine(&record, contract::kRecordKeys[i], own[i]);
  for (UINTN i = 0; i < kRunFieldCount; i++) contract::PutLine(&record, kRunFieldNames[i], fields.value[i]);
  RecordKept kept = {};
  kept.stored = record.fits && !EFI_ERROR(VariableWrite(contract::kResultVariable, record.bytes, record.used));
  if (CurrentStart() == StartKind::Network)
    kept.sendFailed = !record.fits || !SendToBootServer(fields.value[kRunFieldTime], record.bytes, record.used);
  return kept;
}
