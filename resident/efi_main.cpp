// Firmware-only: the identification driver's start, and the tag by which
// pelloryctl knows the file for one.
#include "contract/contract.h"
#include "resident/resident.h"

namespace {

template <size_t A, size_t B>
struct Joined {
  char text[A + B - 1];
};

template <size_t A, size_t B>
constexpr Joined<A, B> Join(const char (&a)[A], const char (&b)[B]) {
  Joined<A, B> joined = {};
  for (size_t i = 0; i + 1 < A; i++) joined.text[i] = a[i];
  for (size_t i = 0; i < B; i++) joined.text[A - 1 + i] = b[i];
  return joined;
}

// Kept in the image although nothing reads it here.
[[gnu::used]] constexpr auto kTag = Join(contract::kDriverTag, PELLORY_VERSION "\n");

}  // namespace

extern "C" EFI_STATUS efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
  return ResidentStart(image, systemTable);
}
