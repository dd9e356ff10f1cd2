// The floor application is a fair lower bound only while it makes exactly
// the program's link traffic: every lookup, open, driver call, close and
// handle-list release of a whole update, with the same arguments, in the
// same order, and nothing the program does besides (console, log, pool).
// Both run here in the UEFI double against the converter model, through a
// recording layer on the boot services and on the driver's two protocols.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "link/run_state.h"
#include "payload/firmware_image.h"
#include "platform/services.h"
#include "platform/start.h"
#include "platform/stream.h"
#include "sim/converter.h"
#include "sim/gop_binding.h"
#include "tests/double/uefi_double.h"
#include "tests/host/update_traffic.h"

extern "C" EFI_STATUS efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable);

namespace {

enum class Kind { Locate, Open, Close, FreeList, DpcdRead, DpcdWrite, I2cRead, I2cWrite };

// One step of the traffic; the meaning of a..f depends on the kind (see
// Describe). Handles and GUIDs are reduced to what a run can compare.
struct Event {
  Kind kind;
  uint64_t a, b, c, d, e, f;
  bool operator==(const Event&) const = default;
};

std::string Describe(const Event& e) {
  static const char* const kNames[] = {"LocateHandleBuffer", "OpenProtocol", "CloseProtocol",
                                       "FreePool(handle list)", "ReadDPCD", "WriteDPCD",
                                       "I2C read", "I2C write"};
  char text[160];
  std::snprintf(text, sizeof text, "%s a=%#llx b=%#llx c=%#llx d=%#llx e=%#llx f=%#llx",
                kNames[static_cast<int>(e.kind)], static_cast<unsigned long long>(e.a),
                static_cast<unsigned long long>(e.b), static_cast<unsigned long long>(e.c),
                static_cast<unsigned long long>(e.d), static_cast<unsigned long long>(e.e),
                static_cast<unsigned long long>(e.f));
  return text;
}

// What one run left: its traffic and the double's view of everything else.
struct Trace {
  std::vector<Event> events;
  uint64_t outputCalls, allocations, fileCreates, poolBlocksLeft;
  int opensLeft;
  bool logExists;
  SimRecord record;
  bool flashIsImage;
};

// The live run's recorder: the double's original services and the handles.
struct Recorder {
  EFI_BOOT_SERVICES original;
  EFI_HANDLE image;
  EFI_HANDLE converterHandle;
  SimConverter* converter;
  std::set<void*> lists;
  std::vector<Event> events;
};
Recorder* gRec = nullptr;

uint64_t GuidCode(const EFI_GUID* guid) {
  if (guid == nullptr) return 0;
  if (std::memcmp(guid, &kSimGopNativeGuid, sizeof *guid) == 0) return 1;
  if (std::memcmp(guid, &kSimGopI2cGuid, sizeof *guid) == 0) return 2;
  return 3;
}

uint64_t HandleCode(EFI_HANDLE h) {
  if (h == nullptr) return 0;
  if (h == gRec->converterHandle) return 1;
  return h == gRec->image ? 2 : 3;
}

// The link traffic is what concerns the driver's two protocols; the
// start-up's own opens (shell parameters) are not part of it.
bool IsLink(const EFI_GUID* guid) {
  const uint64_t code = GuidCode(guid);
  return code == 1 || code == 2;
}

void Add(Kind kind, uint64_t a, uint64_t b = 0, uint64_t c = 0, uint64_t d = 0, uint64_t e = 0,
         uint64_t f = 0) {
  gRec->events.push_back({kind, a, b, c, d, e, f});
}

EFI_STATUS EFIAPI Locate(EFI_LOCATE_SEARCH_TYPE type, EFI_GUID* guid, VOID* key, UINTN* count,
                         EFI_HANDLE** buffer) {
  EFI_STATUS s = gRec->original.LocateHandleBuffer(type, guid, key, count, buffer);
  if (!IsLink(guid)) return s;
  if (!EFI_ERROR(s)) gRec->lists.insert(*buffer);
  Add(Kind::Locate, type, GuidCode(guid), key != nullptr, s, EFI_ERROR(s) ? 0 : *count);
  return s;
}

EFI_STATUS EFIAPI Open(EFI_HANDLE handle, EFI_GUID* guid, VOID** iface, EFI_HANDLE agent,
                       EFI_HANDLE controller, UINT32 attributes) {
  EFI_STATUS s = gRec->original.OpenProtocol(handle, guid, iface, agent, controller, attributes);
  if (!IsLink(guid)) return s;
  Add(Kind::Open, HandleCode(handle), GuidCode(guid), HandleCode(agent), HandleCode(controller),
      attributes, s);
  return s;
}

EFI_STATUS EFIAPI Close(EFI_HANDLE handle, EFI_GUID* guid, EFI_HANDLE agent,
                        EFI_HANDLE controller) {
  EFI_STATUS s = gRec->original.CloseProtocol(handle, guid, agent, controller);
  if (!IsLink(guid)) return s;
  Add(Kind::Close, HandleCode(handle), GuidCode(guid), HandleCode(agent), HandleCode(controller),
      s);
  return s;
}

EFI_STATUS EFIAPI Free(VOID* buffer) {
  // Only the lookups' lists are link traffic; the program's own buffer is not.
  if (gRec->lists.erase(buffer) != 0) Add(Kind::FreeList, 1);
  return gRec->original.FreePool(buffer);
}

EFI_STATUS EFIAPI NativeRead(UINT32 port, UINT32 address, UINT32 count, UINT8* buffer) {
  EFI_STATUS s = static_cast<EFI_STATUS>(SimDpcdRead(gRec->converter, port, address, count, buffer));
  Add(Kind::DpcdRead, port, address, count, s, buffer[0]);
  return s;
}

EFI_STATUS EFIAPI NativeWrite(UINT32 port, UINT32 address, UINT32 count, UINT8* buffer) {
  Add(Kind::DpcdWrite, port, address, count, buffer[0]);
  return static_cast<EFI_STATUS>(SimDpcdWrite(gRec->converter, port, address, count, buffer));
}

EFI_STATUS EFIAPI I2cRead(UINT32 port, UINT8 slave, SimGopI2cOffset* offset, UINT32 count,
                          UINT8* buffer) {
  SimI2cOffset at = {offset->offset, offset->second};
  EFI_STATUS s = static_cast<EFI_STATUS>(SimI2cRead(gRec->converter, port, slave, &at, count, buffer));
  uint64_t sum = 0;
  for (UINT32 i = 0; i < count; i++) sum = sum * 31 + buffer[i];
  Add(Kind::I2cRead, port, slave, offset->offset, offset->second, count, sum);
  return s;
}

EFI_STATUS EFIAPI I2cWrite(UINT32 port, UINT8 slave, SimGopI2cOffset* offset, UINT32 count,
                           UINT8* buffer) {
  Add(Kind::I2cWrite, port, slave, offset->offset, offset->second, count, buffer[0]);
  SimI2cOffset at = {offset->offset, offset->second};
  return static_cast<EFI_STATUS>(SimI2cWrite(gRec->converter, port, slave, &at, count, buffer));
}

SimGopNativeProtocol gNative = {0, NativeRead, NativeWrite};
SimGopI2cProtocol gI2c = {0, I2cRead, I2cWrite};

// A fresh double and converter, the recorder in place, then `start`.
template <typename Start>
Trace RunRecorded(Start start) {
  dbl::UefiDouble uefi;
  auto converter = std::make_unique<SimConverter>();
  const SimScenario scenario = SimDefaultScenario();
  SimInit(converter.get(), &scenario);
  Recorder rec{};
  rec.image = uefi.ImageHandle();
  rec.converter = converter.get();
  rec.converterHandle = uefi.Install(kSimGopNativeGuid, &gNative);
  uefi.Install(kSimGopI2cGuid, &gI2c, rec.converterHandle);

  EFI_BOOT_SERVICES* bs = uefi.SystemTable()->BootServices;
  rec.original = *bs;
  bs->LocateHandleBuffer = Locate;
  bs->OpenProtocol = Open;
  bs->CloseProtocol = Close;
  bs->FreePool = Free;
  gRec = &rec;
  const uint64_t allocationsBefore = uefi.Calls(dbl::Service::AllocatePool);
  start(uefi);
  gRec = nullptr;
  *bs = rec.original;

  Trace t{};
  t.events = std::move(rec.events);
  t.outputCalls = uefi.Calls(dbl::Service::OutputString);
  t.allocations = uefi.Calls(dbl::Service::AllocatePool) - allocationsBefore;
  t.fileCreates = uefi.Calls(dbl::Service::ShellOpenFileByName) +
                  uefi.Calls(dbl::Service::ShellCreateFile);
  t.poolBlocksLeft = uefi.PoolBlocksOutstanding();
  t.opensLeft = uefi.OpenCount();
  t.logExists = uefi.HasFile("log.txt");
  t.record = converter->record;
  t.flashIsImage = true;
  for (UINTN k = 0; k < kFirmwareImageSize; k++)
    t.flashIsImage = t.flashIsImage && converter->flash[k] == FirmwareImage[k];
  return t;
}

Trace RunProgram() {
  return RunRecorded([](dbl::UefiDouble& uefi) {
    PlatformBind(uefi.ImageHandle(), uefi.SystemTable());
    StreamsReset();
    gRunState = {};
    EXPECT_EQ(RunProgram(uefi.ImageHandle(), uefi.SystemTable()),
              static_cast<EFI_STATUS>(EFI_SUCCESS));
  });
}

Trace RunFloor() {
  return RunRecorded([](dbl::UefiDouble& uefi) {
    EXPECT_EQ(efi_main(uefi.ImageHandle(), uefi.SystemTable()),
              static_cast<EFI_STATUS>(EFI_SUCCESS));
  });
}

TEST(FloorTest, MakesTheProgramsLinkTrafficStepForStep) {
  const Trace program = RunProgram();
  const Trace floor = RunFloor();
  ASSERT_TRUE(program.logExists) << "the program's run did not get as far as the log";

  const size_t common = std::min(program.events.size(), floor.events.size());
  size_t at = 0;
  while (at < common && program.events[at] == floor.events[at]) at++;
  if (at < common) {
    ADD_FAILURE() << "step " << at << " differs:\n  program " << Describe(program.events[at])
                  << "\n  floor   " << Describe(floor.events[at]);
  }
  EXPECT_EQ(floor.events.size(), program.events.size());
}

TEST(FloorTest, DoesNothingButTheTrafficAndLeavesNothingBehind) {
  const Trace floor = RunFloor();
  const SimRecord& r = floor.record;
  EXPECT_EQ(r.dpcdWrites, update_traffic::kDpcdWrites);
  EXPECT_EQ(r.dpcdReads, update_traffic::kDpcdReads);
  EXPECT_EQ(r.i2cWrites, update_traffic::kI2cWrites);
  EXPECT_EQ(r.i2cReads, update_traffic::kI2cReads);
  EXPECT_EQ(r.failures, 0u);
  EXPECT_EQ(r.violationCount, 0u);
  EXPECT_EQ(r.pagesCommitted, 256u);
  EXPECT_TRUE(floor.flashIsImage);

  EXPECT_EQ(floor.outputCalls, 0u) << "the floor prints nothing";
  EXPECT_EQ(floor.allocations, 0u) << "the floor takes no buffer of its own";
  EXPECT_EQ(floor.fileCreates, 0u) << "the floor keeps no log";
  EXPECT_FALSE(floor.logExists);
  EXPECT_EQ(floor.poolBlocksLeft, 0u);
  EXPECT_EQ(floor.opensLeft, 0);
}

}  // namespace
