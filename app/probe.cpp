#include "app/probe.h"

#include "app/converter.h"
#include "link/link.h"
#include "link/run_state.h"

namespace {
constexpr UINT32 kProbePorts[] = {0, 2, 4, 6, 8, 10};
}  // namespace

bool ProbePort() {
  for (UINT32 port : kProbePorts) {
    gRunState.port = port;
    UINT8 adaptor = 0;
    if (!EFI_ERROR(I2CProtocolRead(kAdaptorSlave, 1, &adaptor))) return true;
  }
  return false;
}
