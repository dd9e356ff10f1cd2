#include "app/request.h"

#include "platform/variables.h"

namespace {

constexpr char16_t kRequestName[] = u"PelloryRequest";
constexpr UINTN kRequestMax = 1024;
// By RunEnd; Interactive is never asked for.
constexpr const char* kEndNames[] = {nullptr, "return", "reboot", "shutdown"};

bool IdCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == ':' || c == '-';
}

// The `length` bytes at `text` are exactly `word`.
bool Is(const char* text, UINTN length, const char* word) {
  UINTN i = 0;
  for (; i < length && word[i] != 0; i++)
    if (text[i] != word[i]) return false;
  return i == length && word[i] == 0;
}

bool ParseId(const char* value, UINTN length, Request* request) {
  if (length == 0 || length > kRequestIdMax) return false;
  for (UINTN i = 0; i < length; i++) {
    if (!IdCharacter(value[i])) return false;
    request->id[i] = value[i];
  }
  request->id[length] = 0;
  return true;
}

bool ParseEnd(const char* value, UINTN length, Request* request) {
  for (UINTN k = 1; k < sizeof kEndNames / sizeof kEndNames[0]; k++) {
    if (!Is(value, length, kEndNames[k])) continue;
    request->end = static_cast<RunEnd>(k);
    return true;
  }
  return false;
}

// Reads, checks and deletes the request. False when the run stops.
bool ServeRequest() {
  char bytes[kRequestMax];
  UINTN size = sizeof bytes;
  const EFI_STATUS read = VariableRead(kRequestName, bytes, &size);
  // No request, or a firmware that keeps no variables: a technician's run.
  if (read == EFI_NOT_FOUND || read == EFI_UNSUPPORTED) return true;
  Request request;
  const bool valid = !EFI_ERROR(read) && ParseRequest(bytes, size, &request);
  // Whatever it holds, the OS asked for the run: no one is at the keyboard.
  gRunRecord.end = valid ? request.end : RunEnd::Return;
  // Deleted before anything else, so that it is served exactly once
  // whatever happens next, a reset or a power loss among it.
  const bool deleted = !EFI_ERROR(VariableDelete(kRequestName));
  if (!valid) {
    StopPrint("The update request can not be read.\n");
    return false;
  }
  for (UINTN i = 0; i <= kRequestIdMax; i++) gRunRecord.request[i] = request.id[i];
  if (!deleted) {
    StopPrint("The update request can not be cleared.\n");
    return false;
  }
  return true;
}

}  // namespace

bool ParseRequest(const char* bytes, UINTN size, Request* request) {
  *request = {{}, RunEnd::Return};
  bool format = false, id = false, end = false;
  for (UINTN at = 0; at < size;) {
    UINTN equals = at;
    while (equals < size && bytes[equals] != '=' && bytes[equals] != '\n') equals++;
    UINTN lineEnd = equals;
    while (lineEnd < size && bytes[lineEnd] != '\n') lineEnd++;
    if (equals == lineEnd || lineEnd == size) return false;  // no '=', or no line feed
    const char* name = bytes + at;
    const UINTN nameLength = equals - at;
    const char* value = bytes + equals + 1;
    const UINTN valueLength = lineEnd - equals - 1;
    bool ok = false;
    if (Is(name, nameLength, "format") && !format) ok = format = Is(value, valueLength, "1");
    else if (Is(name, nameLength, "id") && !id) ok = id = ParseId(value, valueLength, request);
    else if (Is(name, nameLength, "after") && !end) ok = end = ParseEnd(value, valueLength, request);
    if (!ok) return false;
    at = lineEnd + 1;
  }
  return format && id;
}

bool BeginRun() {
  const StartKind start = CurrentStart();
  const bool served = start == StartKind::Shell || ServeRequest();
  RunFields fields;
  CollectRunFields("started", &fields);
  const bool stored = StoreRecord(fields);
  if (!served) return false;
  // A network start keeps no files: without its record the run would leave
  // no word of its outcome anywhere.
  if (!stored && start == StartKind::Network) {
    StopPrint("The file can not be opened.\n");
    return false;
  }
  return true;
}
