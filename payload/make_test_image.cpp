// Writes the test firmware image: a deterministic pseudo-random pattern, so
// that a byte sent to the wrong place or read back from the wrong place shows.
#include <cstdint>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
    return 2;
  }
  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  uint32_t state = 0x50E11047u;  // xorshift32; any non-zero seed works
  for (int i = 0; i < 65536; i++) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    std::fputc(static_cast<int>(state >> 24), out);
  }
  return std::fclose(out) == 0 ? 0 : 1;
}
