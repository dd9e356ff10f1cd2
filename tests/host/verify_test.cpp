// The verification at its edges: a read-back that differs from the image
// only in its first byte, or only in its last, is a verify error naming
// that byte, and log.txt says "failed". A check that starts one byte late
// or stops one byte short would report success here. And the buffer the
// pages are read back into, as the pool is asked for it.
#include <cstdio>
#include <string>
#include <vector>

#include "payload/firmware_image.h"
#include "tests/host/program_test.h"

namespace {

struct Edge {
  const char* name;
  uint32_t page;
  uint32_t byte;
};

const Edge kEdges[] = {{"FirstByte", 0, 0}, {"LastByte", 255, 255}};

void PrintTo(const Edge& edge, std::ostream* os) { *os << edge.name; }

class VerifyEdgeTest : public ProgramTest, public ::testing::WithParamInterface<Edge> {};

TEST_P(VerifyEdgeTest, DifferenceOnlyThereIsAVerifyErrorAndLogFailed) {
  const Edge& edge = GetParam();
  scenario.corruptReadBack = true;
  scenario.corruptPage = edge.page;
  scenario.corruptByte = edge.byte;
  uefi.PutFile("log.txt", "successful");
  const std::string console = Run();

  const unsigned index = edge.page * 256 + edge.byte;
  const unsigned image = FirmwareImage[index];
  char error[96];
  std::snprintf(error, sizeof error,
                "Firmware verify error at %u, data[i] = %x, fwBufRead[i] = %x\r\n", index, image,
                image ^ 0xFFu);
  const size_t verifying = console.find("\r\nverifying\r\n");
  ASSERT_NE(verifying, std::string::npos) << console;
  EXPECT_EQ(console.substr(verifying), std::string("\r\nverifying\r\n") + error);
  EXPECT_EQ(Log(), "failed");
  // The converter holds the image: only the copy read back differs.
  for (UINTN k = 0; k < kFirmwareImageSize; k++)
    ASSERT_EQ(converter->flash[k], FirmwareImage[k]) << "flash byte " << k;
  EXPECT_EQ(Record().modeChangeCount, 1u) << "no mode change after a failed verification";
}

INSTANTIATE_TEST_SUITE_P(ImageEnds, VerifyEdgeTest, ::testing::ValuesIn(kEdges),
                         [](const auto& info) { return std::string(info.param.name); });

// Every AllocatePool request, as the program made it, before the double
// answers it.
struct PoolRequest {
  EFI_MEMORY_TYPE type;
  UINTN size;
};
std::vector<PoolRequest> gRequests;
decltype(EFI_BOOT_SERVICES::AllocatePool) gAllocate = nullptr;

EFI_STATUS EFIAPI RecordAllocate(EFI_MEMORY_TYPE type, UINTN size, VOID** buffer) {
  gRequests.push_back({type, size});
  return gAllocate(type, size, buffer);
}

using ReadBackTest = ProgramTest;

TEST_F(ReadBackTest, ReadBackBufferIsLoaderDataOfTheImageSize) {
  gRequests.clear();
  gAllocate = uefi.SystemTable()->BootServices->AllocatePool;
  uefi.SystemTable()->BootServices->AllocatePool = RecordAllocate;
  Run();
  ASSERT_EQ(gRequests.size(), 1u) << "the read-back buffer is the program's one pool request";
  EXPECT_EQ(gRequests[0].type, EfiLoaderData);
  EXPECT_EQ(gRequests[0].size, 65536u);
  EXPECT_EQ(Log(), "successful");
}

}  // namespace
