// The program's start and end, however the firmware started it.
#pragma once

#include "platform/efi.h"

// Who started the program: a shell; the boot manager or another loader,
// from a file system; or the same from the network (PXE or HTTP boot), where
// there is no file system to keep files on.
enum class StartKind : uint8_t { Shell, Boot, Network };

// How the run hands the machine back once everything is written.
enum class RunEnd : uint8_t {
  Interactive,  // returns success; without a shell the screen is held first
  Return,       // unattended: returns at once, with an error (see start.cpp)
  Reboot,
  Shutdown,
};

namespace pellory {
int main(int argc, char** argv);
// The program's last word: called once main has returned and every file is
// flushed and closed, before the screen is held. Tells how the run ends.
RunEnd AfterMain();
}  // namespace pellory

// How this run was started; settled before main is called.
StartKind CurrentStart();

// Binds the firmware services and the place of the program's files, turns
// the boot manager's watchdog off, hands the shell's arguments (none without
// a shell) to the program's main and, once it returns, flushes every open
// stream and closes every open file. Then the run ends as AfterMain says:
// an interactive start without a shell holds the screen until a key or five
// minutes pass, since the firmware clears it as soon as the program returns.
EFI_STATUS RunProgram(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable);
