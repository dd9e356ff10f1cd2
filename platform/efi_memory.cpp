// The few memory functions a freestanding build may be asked for by the
// compiler itself (structure copies, zeroed arrays). Volatile stores keep
// the compiler from turning these loops back into calls to themselves.
#include <stddef.h>

extern "C" {

void* memset(void* target, int value, size_t count) {
  auto* bytes = static_cast<volatile unsigned char*>(target);
  for (size_t i = 0; i < count; i++) bytes[i] = static_cast<unsigned char>(value);
  return target;
}

void* memcpy(void* target, const void* source, size_t count) {
  auto* to = static_cast<volatile unsigned char*>(target);
  const auto* from = static_cast<const unsigned char*>(source);
  for (size_t i = 0; i < count; i++) to[i] = from[i];
  return target;
}

void* memmove(void* target, const void* source, size_t count) {
  auto* to = static_cast<volatile unsigned char*>(target);
  const auto* from = static_cast<const unsigned char*>(source);
  if (to < from) {
    for (size_t i = 0; i < count; i++) to[i] = from[i];
  } else {
    for (size_t i = count; i > 0; i--) to[i - 1] = from[i - 1];
  }
  return target;
}

int memcmp(const void* left, const void* right, size_t count) {
  const auto* a = static_cast<const unsigned char*>(left);
  const auto* b = static_cast<const unsigned char*>(right);
  for (size_t i = 0; i < count; i++) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return 0;
}

}  // extern "C"
