// The server a network start was booted from, and the one thing the program
// asks of it: to keep a file, sent with HTTP PUT through the firmware's own
// network stack on the card the program came through. Nothing here retries;
// every wait is bounded by kBootServerWaitMicroseconds.
#pragma once

#include "platform/efi.h"

constexpr UINTN kBootUriMax = 256;
constexpr UINTN kMacLength = 6;
// The address set-up, and then each PUT, give up after this long; each
// polls the firmware at this interval.
constexpr UINTN kBootServerWaitMicroseconds = 10 * 1000000;
constexpr UINTN kBootServerPollMicroseconds = 10000;

struct BootServer {
  // The card's handle: its HTTP service binding and IPv4 configuration.
  EFI_HANDLE card;
  UINT8 mac[kMacLength];  // the card's current address
  // An HTTP boot's URI, as the device path names it; empty for a PXE boot.
  char bootUri[kBootUriMax];
  // A PXE boot's server: the one the firmware's PXE took the program from.
  UINT8 pxeServer[4];
};

// Reads how the program was booted from the network. False when it came
// through no card with an HTTP service, or from no server this can name.
[[nodiscard]] bool BootServerFind(BootServer* server);

// PUTs `size` bytes of `body` as text/plain to `url` ("http://host/path",
// ASCII). True only when the server answered with a 2xx status.
[[nodiscard]] bool BootServerPut(const BootServer& server, const char* url, const char* body, UINTN size);
