// The program's start and end, however the firmware started it.
#pragma once

#include "platform/efi.h"

namespace pellory {
int main(int argc, char** argv);
}

// Binds the firmware services and the place of the program's files, turns
// the boot manager's watchdog off, hands the shell's arguments (none without
// a shell) to the program's main and, once it returns, flushes every open
// stream and closes every open file. Without a shell the screen is then held
// until a key or five minutes pass, since the firmware clears it as soon as
// the program returns. The caller is always told success.
EFI_STATUS RunProgram(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable);
