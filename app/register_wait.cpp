#include "app/register_wait.h"

#include "app/converter.h"
#include "link/link.h"
#include "platform/services.h"

bool WaitForRegister(UINT32 address, UINT8 expected, UINT32 rereads, UINT8* last) {
  // A read that reaches no converter leaves the byte as it was: start from a
  // value that cannot satisfy the wait.
  UINT8 value = static_cast<UINT8>(~expected);
  (void)ReadDPCD(address, &value);
  for (UINT32 done = 0; value != expected && done < rereads; done++) {
    StallMicroseconds(kPollIntervalMicroseconds);
    (void)ReadDPCD(address, &value);
  }
  *last = value;
  return value == expected;
}
