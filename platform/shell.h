// The UEFI Shell as the program uses it: its parameters, which tell a shell
// start from any other, and its file functions (kShellFileOps in
// platform/file_ops.h), relative to the shell's current directory.
#pragma once

#include "platform/efi.h"

// Whether a shell started the program: the shell installs its Shell
// Parameters protocol on every program it starts, so its absence from the
// program's own image handle (EFI_UNSUPPORTED) means the boot manager or
// another loader did, even if a shell is resident. Any other failure to
// look is taken as a shell start, as the program always was; `parameters`
// is then null.
[[nodiscard]] bool StartedByShell(EFI_SHELL_PARAMETERS_PROTOCOL** parameters);

// The argument list, narrowed to 8-bit text in fixed storage. Zero
// arguments when `parameters` is null.
struct ShellArguments {
  int count;
  char** values;
};
ShellArguments ShellReadArguments(const EFI_SHELL_PARAMETERS_PROTOCOL* parameters);
