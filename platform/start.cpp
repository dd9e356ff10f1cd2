#include "platform/start.h"

#include "platform/services.h"
#include "platform/shell.h"
#include "platform/stream.h"

EFI_STATUS RunShellApplication(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
  PlatformBind(image, systemTable);
  StreamsReset();
  ShellArguments arguments = ShellReadArguments();
  (void)pellory::main(arguments.count, arguments.values);
  StreamsFlushAndCloseAll();
  return EFI_SUCCESS;
}
