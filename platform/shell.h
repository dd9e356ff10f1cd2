// The UEFI Shell as the program uses it: its parameters, which tell a shell
// start from any other, and its file functions (kShellFileOps in
// platform/file_ops.h), relative to the shell's current directory.
#pragma once

#include "platform/efi.h"

// The Shell Parameters protocol on the program's own image handle. The
// shell installs it on every program it starts; null means the boot
// manager or another loader started the program, even if a shell is
// resident.
EFI_SHELL_PARAMETERS_PROTOCOL* ShellParameters();

// The argument list, narrowed to 8-bit text in fixed storage. Zero
// arguments when `parameters` is null.
struct ShellArguments {
  int count;
  char** values;
};
ShellArguments ShellReadArguments(const EFI_SHELL_PARAMETERS_PROTOCOL* parameters);
