// The run's last word, once everything else is done: log.txt final, the
// converter left alone. The line in history.csv, then the record in the
// firmware and, for a network start, on its boot server. None can change
// the update's outcome; one that cannot be written is only said so.
#include "output/console.h"
#include "output/update_history.h"
#include "platform/files.h"
#include "record/run_record.h"

namespace pellory {

RunEnd AfterMain() {
  RunFields fields;
  CollectRunFields(gRunRecord.outcome, &fields);
  if (FilesKept()) {
    HistoryLine line = {};
    for (const char* value : fields.value) HistoryAddField(&line, value);
    if (!HistoryAppend(line)) StdPrint("The history can not be written.\n");
  }
  const RecordKept kept = KeepRecord(fields);
  if (!kept.stored) StdPrint("The result can not be stored in the firmware.\n");
  if (kept.sendFailed) StdPrint("The result can not be sent to the boot server.\n");
  return gRunRecord.end;
}

}  // namespace pellory
