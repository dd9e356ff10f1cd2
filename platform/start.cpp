#include "platform/start.h"

#include "platform/files.h"
#include "platform/services.h"
#include "platform/shell.h"
#include "platform/stream.h"
#include "platform/variables.h"
#include "text/text.h"

namespace {

constexpr char kHoldPrompt[] = "Press any key to return to the firmware.\n";
constexpr UINTN kHoldMicroseconds = 5ull * 60 * 1000000;
constexpr UINTN kKeyPollMicroseconds = 50000;
// Keys left from the update are read away; a keyboard that never runs dry
// must not keep the program here.
constexpr UINTN kMaxStaleKeys = 256;

constinit StartKind gStart = StartKind::Shell;

StartKind KindOfStart(bool shell) {
  if (shell) return StartKind::Shell;
  return LoadedFromNetwork(ImageHandle()) ? StartKind::Network : StartKind::Boot;
}

constexpr FilePlace kPlaces[] = {FilePlace::ShellDirectory, FilePlace::ProgramFolder,
                                 FilePlace::NotKept};

void ShowOnStandardOutput(const char* line) {
  StreamWrite(StandardOutput(), line, text::Length(line));
  StreamFlush(StandardOutput());
}

// Keeps the outcome on the screen: the firmware clears it as soon as the
// program returns. Keys typed during the update are no answer to the prompt.
void HoldScreen() {
  SIMPLE_INPUT_INTERFACE* input = SystemTable()->ConIn;
  if (input == nullptr) return;
  EFI_INPUT_KEY key;
  for (UINTN i = 0; i < kMaxStaleKeys && !EFI_ERROR(input->ReadKeyStroke(input, &key)); i++) {
  }
  ShowOnStandardOutput(kHoldPrompt);
  for (UINTN waited = 0; waited < kHoldMicroseconds; waited += kKeyPollMicroseconds) {
    if (!EFI_ERROR(input->ReadKeyStroke(input, &key))) return;
    StallMicroseconds(kKeyPollMicroseconds);
  }
}

}  // namespace

StartKind CurrentStart() { return gStart; }

EFI_STATUS RunProgram(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
  PlatformBind(image, systemTable);
  StreamsReset();
  EFI_SHELL_PARAMETERS_PROTOCOL* parameters = nullptr;
  gStart = KindOfStart(StartedByShell(&parameters));
  FilesBind(kPlaces[static_cast<int>(gStart)]);
  // The boot manager's watchdog resets the machine after five minutes; the
  // converter's longest waits last far longer.
  WatchdogOff();
  ShellArguments arguments = ShellReadArguments(parameters);
  (void)pellory::main(arguments.count, arguments.values);
  StreamsFlushAndCloseAll();
  const RunEnd end = pellory::AfterMain();
  StreamFlush(StandardOutput());
  if (end == RunEnd::Interactive) {
    if (gStart != StartKind::Shell) HoldScreen();
    return EFI_SUCCESS;
  }
  if (end == RunEnd::Reboot) ResetMachine(EfiResetCold);
  if (end == RunEnd::Shutdown) ResetMachine(EfiResetShutdown);
  // No one is at the keyboard. A boot option that returns success makes the
  // boot manager open its setup menu and wait there for ever; an error makes
  // it go on with the next boot option, the OS. The outcome is in the record.
  return EFI_ABORTED;
}
