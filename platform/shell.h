// The UEFI Shell's protocols as the program uses them: its file functions,
// relative to the shell's current directory, and its parameters.
#pragma once

#include "platform/efi.h"

// Opens `name` for writing as an empty regular file. The shell's create mode
// keeps an existing file's content, so a non-empty file is deleted and made
// anew. Null when no empty file could be had (no shell, a directory of that
// name, a refused create).
SHELL_FILE_HANDLE ShellOpenEmpty(const char16_t* name);
void ShellWrite(SHELL_FILE_HANDLE file, const char* bytes, UINTN count);
void ShellClose(SHELL_FILE_HANDLE file);

// The argument list the shell passed, narrowed to 8-bit text in fixed
// storage. Zero arguments when the shell parameters are absent.
struct ShellArguments {
  int count;
  char** values;
};
ShellArguments ShellReadArguments();
