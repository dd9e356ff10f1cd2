// The PelloryResult variable: the run's record where the OS finds it after
// the reboot, even when the run was cut short (it then still says
// "started"). Lines of `name=value`, each ended by a line feed, never quoted.
#include "platform/variables.h"
#include "record/run_record.h"

namespace {

constexpr char16_t kResultName[] = u"PelloryResult";
// The OS reads it whole; x86 kernels keep 5 KiB of the store free for
// themselves, so the record stays small.
constexpr UINTN kResultMax = 1024;
constexpr const char* kStartNames[] = {"shell", "boot", "network"};

struct Text {
  char bytes[kResultMax];
  UINTN used;
  bool fits;

  // A value holds no line break and no control character: the line it is on
  // is the whole of it.
  void Put(const char* text, bool value) {
    for (; *text != 0; text++) {
      if (used == sizeof bytes) fits = false;
      if (!fits) return;
      const bool control = value && static_cast<unsigned char>(*text) < 0x20;
      bytes[used++] = control ? '?' : *text;
    }
  }
  void Line(const char* name, const char* value) {
    Put(name, false);
    Put("=", false);
    Put(value, true);
    Put("\n", false);
  }
};

}  // namespace

bool StoreRecord(const RunFields& fields) {
  Text text{{}, 0, true};
  text.Line("format", "1");
  text.Line("request", gRunRecord.request);
  text.Line("start", kStartNames[static_cast<int>(CurrentStart())]);
  for (UINTN i = 0; i < kRunFieldCount; i++) text.Line(kRunFieldNames[i], fields.value[i]);
  return text.fits && !EFI_ERROR(VariableWrite(kResultName, text.bytes, text.used));
}
