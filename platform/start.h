// The program's start and end as a UEFI Shell application.
#pragma once

#include "platform/efi.h"

namespace pellory {
int main(int argc, char** argv);
}

// Binds the firmware services, hands the shell's arguments to the program's
// main and, once it returns, flushes every open stream and closes every open
// file. The shell is always told success.
EFI_STATUS RunShellApplication(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable);
