#include "app/request.h"

#include "contract/key_value.h"
#include "output/console.h"
#include "payload/firmware_image.h"
#include "platform/variables.h"
#include "record/run_record.h"

namespace {

// Reads, checks and deletes the request. False when the run stops.
bool ServeRequest() {
  char bytes[contract::kTextLimit];
  UINTN size = sizeof bytes;
  const EFI_STATUS read = VariableRead(contract::kRequestVariable, bytes, &size);
  // No request, or a firmware that keeps no variables: a technician's run.
  if (read == EFI_NOT_FOUND || read == EFI_UNSUPPORTED) return true;
  contract::RequestFields request;
  text::Span where;
  const bool valid =
      !EFI_ERROR(read) && contract::ParseRequest(bytes, size, &request, &where) == contract::RequestError::None;
  // Whatever it holds, the OS asked for the run: no one is at the keyboard.
  // RunEnd lists the request's after= values in their order, behind Interactive.
  static_assert(static_cast<int>(RunEnd::Shutdown) == static_cast<int>(contract::After::Shutdown) + 1);
  gRunRecord.end = valid ? static_cast<RunEnd>(static_cast<int>(request.after) + 1) : RunEnd::Return;
  // Deleted before anything else, so that it is served exactly once
  // whatever happens next, a reset or a power loss among it.
  const bool deleted = !EFI_ERROR(VariableDelete(contract::kRequestVariable));
  if (!valid) {
    StopPrint("The update request can not be read.\n");
    return false;
  }
  for (UINTN i = 0; i <= kRequestIdMax; i++) gRunRecord.request[i] = request.id[i];
  gRunRecord.asked = true;
  gRunRecord.mode = request.mode;
  gRunRecord.allow = request.allow;
  if (!deleted) {
    StopPrint("The update request can not be cleared.\n");
    return false;
  }
  return true;
}

bool Allows(contract::Allow asked, contract::Allow what) {
  return asked == what || asked == contract::Allow::Any;
}

}  // namespace

bool BeginRun() {
  const bool served = CurrentStart() == StartKind::Shell || ServeRequest();
  RunFields fields;
  CollectRunFields("started", &fields);
  const RecordKept kept = KeepRecord(fields);
  if (!served) return false;
  // A network start keeps no files: without its record, in the firmware or
  // on its boot server, the run would leave no word of its outcome anywhere.
  if (!kept.stored && kept.sendFailed) {
    StopPrint("The file can not be opened.\n");
    return false;
  }
  return true;
}

bool DownloadWanted() {
  const RunRecord& r = gRunRecord;
  if (!r.asked) return true;
  // Judged on values that were read, never on what a failed read left.
  if (r.versionUnread) {
    StopPrint("The converter's firmware version can not be read.\n");
    return false;
  }
  if (r.mode == contract::Mode::Identify) {
    StdPrint("Identified.\n");
    SetOutcome(contract::kOutcomeIdentified);
    return false;
  }
  UINT8 oui[3];
  if (ImageConverter(oui) && (oui[0] != r.converterOui[0] || oui[1] != r.converterOui[1] ||
                              oui[2] != r.converterOui[2])) {
    StopPrint("The converter is not the one this firmware is for.\n");
    return false;
  }
  UINT8 major = 0, minor = 0;
  ImageVersion(&major, &minor);
  const UINT32 running = static_cast<UINT32>(r.firmwareMajor) << 8 | r.firmwareMinor;
  const UINT32 image = static_cast<UINT32>(major) << 8 | minor;
  if (running == image && !Allows(r.allow, contract::Allow::Same)) {
    StdPrint("The converter already runs this firmware.\n");
    SetOutcome(contract::kOutcomeCurrent);
    return false;
  }
  if (running > image && !Allows(r.allow, contract::Allow::Older)) {
    StopPrint("The converter runs newer firmware.\n");
    return false;
  }
  return true;
}
