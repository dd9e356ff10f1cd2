// The double's behaviours that the program's tests lean on, driven through
// the tables exactly as the program reaches them.
#include "tests/double/uefi_double.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using dbl::Service;

EFI_GUID kGopNative = {0xC7D4703B, 0x0F36, 0x4E51, {0xA9, 0x83, 0x5E, 0x61, 0xAC, 0xB8, 0x68, 0x3C}};
EFI_GUID kShellGuid = EFI_SHELL_PROTOCOL_GUID;
EFI_GUID kParametersGuid = EFI_SHELL_PARAMETERS_PROTOCOL_GUID;

class DoubleTest : public ::testing::Test {
 protected:
  DoubleTest() {
    EXPECT_EQ(bs->LocateProtocol(&kShellGuid, nullptr, reinterpret_cast<void**>(&shell)),
              EFI_SUCCESS);
  }

  SHELL_FILE_HANDLE Open(const char16_t* name, UINT64 mode) {
    SHELL_FILE_HANDLE h = nullptr;
    EXPECT_EQ(shell->OpenFileByName(Wide(name), &h, mode), EFI_SUCCESS);
    return h;
  }

  EFI_STATUS Write(SHELL_FILE_HANDLE h, const std::string& text) {
    UINTN size = text.size();
    return shell->WriteFile(h, &size, const_cast<char*>(text.data()));
  }

  static constexpr UINT64 kCreate =
      EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE;

  dbl::UefiDouble d;
  EFI_BOOT_SERVICES* bs = d.SystemTable()->BootServices;
  EFI_SHELL_PROTOCOL* shell = nullptr;
  int driver[2] = {};  // stand-ins for protocol interfaces
};

// --- Faults ----------------------------------------------------------------

TEST_F(DoubleTest, FailAtHitsOnlyTheNthCallAndHasNoEffect) {
  d.FailAt(Service::AllocatePool, 2, EFI_OUT_OF_RESOURCES);
  void* a = nullptr;
  void* b = &driver;
  void* c = nullptr;
  EXPECT_EQ(bs->AllocatePool(EfiLoaderData, 16, &a), EFI_SUCCESS);
  EXPECT_EQ(bs->AllocatePool(EfiLoaderData, 16, &b), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(bs->AllocatePool(EfiLoaderData, 16, &c), EFI_SUCCESS);
  EXPECT_EQ(b, &driver);  // the failed call left the pointer untouched
  EXPECT_EQ(d.PoolBlocksOutstanding(), 2u);
  EXPECT_EQ(d.Calls(Service::AllocatePool), 3u);
  EXPECT_EQ(bs->FreePool(a), EFI_SUCCESS);
  EXPECT_EQ(bs->FreePool(c), EFI_SUCCESS);
}

TEST_F(DoubleTest, FailFromHitsEveryLaterCall) {
  d.FailFrom(Service::Stall, 2);
  EXPECT_EQ(bs->Stall(1), EFI_SUCCESS);
  EXPECT_EQ(bs->Stall(1), EFI_DEVICE_ERROR);
  EXPECT_EQ(bs->Stall(1), EFI_DEVICE_ERROR);
  EXPECT_EQ(d.Calls(Service::Stall), 3u);
  EXPECT_EQ(d.Microseconds(), 1u);  // failed stalls do not advance the clock
}

TEST_F(DoubleTest, OnCallSeesOrderAcrossServicesWithCallNumbers) {
  std::vector<std::pair<Service, uint64_t>> seen;
  d.onCall = [&](Service s, uint64_t n) { seen.emplace_back(s, n); };
  d.FailAt(Service::Stall, 1);
  (void)bs->Stall(5);
  (void)d.SystemTable()->ConOut->OutputString(d.SystemTable()->ConOut, Wide(u"x"));
  (void)bs->Stall(5);
  const std::vector<std::pair<Service, uint64_t>> expected = {
      {Service::Stall, 1}, {Service::OutputString, 1}, {Service::Stall, 2}};
  EXPECT_EQ(seen, expected);
}

TEST_F(DoubleTest, ShellFileServicesAreFaultable) {
  d.FailAt(Service::ShellOpenFileByName, 1, EFI_ACCESS_DENIED);
  SHELL_FILE_HANDLE h = nullptr;
  EXPECT_EQ(shell->OpenFileByName(Wide(u"log.txt"), &h, kCreate), EFI_ACCESS_DENIED);
  EXPECT_FALSE(d.HasFile("log.txt"));
  d.FailAt(Service::ShellGetFileInfo, 1);
  h = Open(u"log.txt", kCreate);
  EXPECT_EQ(shell->GetFileInfo(h), nullptr);
  EXPECT_EQ(shell->CloseFile(h), EFI_SUCCESS);
}

// --- Handle database -------------------------------------------------------

TEST_F(DoubleTest, LookupOfAbsentProtocolIsNotFoundAndAllocatesNothing) {
  UINTN count = 7;
  EFI_HANDLE* list = reinterpret_cast<EFI_HANDLE*>(&driver);
  EXPECT_EQ(bs->LocateHandleBuffer(ByProtocol, &kGopNative, nullptr, &count, &list),
            EFI_NOT_FOUND);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(d.PoolBlocksOutstanding(), 0u);
}

TEST_F(DoubleTest, LookupListsHandlesInCreationOrderFromThePool) {
  EFI_HANDLE first = d.Install(kGopNative, &driver[0]);
  d.Install(kParametersGuid, &driver[1]);  // another protocol, another handle
  EFI_HANDLE second = nullptr;
  ASSERT_EQ(bs->InstallProtocolInterface(&second, &kGopNative, EFI_NATIVE_INTERFACE, &driver[1]),
            EFI_SUCCESS);
  UINTN count = 0;
  EFI_HANDLE* list = nullptr;
  ASSERT_EQ(bs->LocateHandleBuffer(ByProtocol, &kGopNative, nullptr, &count, &list), EFI_SUCCESS);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(list[0], first);
  EXPECT_EQ(list[1], second);
  // The list is the caller's to free: left alone it shows as outstanding.
  EXPECT_EQ(d.PoolBlocksOutstanding(), 1u);
  EXPECT_EQ(d.PoolBytesOutstanding(), 2 * sizeof(EFI_HANDLE));
  EXPECT_EQ(bs->FreePool(list), EFI_SUCCESS);
  EXPECT_EQ(d.PoolBlocksOutstanding(), 0u);
}

TEST_F(DoubleTest, OpenAndCloseTrackTheAgent) {
  EFI_HANDLE h = d.Install(kGopNative, &driver[0]);
  EFI_HANDLE image = d.ImageHandle();
  void* iface = nullptr;
  ASSERT_EQ(bs->OpenProtocol(h, &kGopNative, &iface, image, nullptr,
                             EFI_OPEN_PROTOCOL_GET_PROTOCOL),
            EFI_SUCCESS);
  EXPECT_EQ(iface, &driver[0]);
  EXPECT_EQ(d.OpenCount(), 1);
  EFI_HANDLE other = d.Install(kShellGuid, &driver[1]);
  EXPECT_EQ(bs->CloseProtocol(h, &kGopNative, other, nullptr), EFI_NOT_FOUND);
  EXPECT_EQ(bs->CloseProtocol(h, &kGopNative, image, nullptr), EFI_SUCCESS);
  EXPECT_EQ(d.OpenCount(), 0);
  EXPECT_EQ(bs->CloseProtocol(h, &kGopNative, image, nullptr), EFI_NOT_FOUND);
}

TEST_F(DoubleTest, OpenRefusesMissingProtocolAndUnknownHandle) {
  void* iface = &driver;
  EXPECT_EQ(bs->OpenProtocol(d.ImageHandle(), &kGopNative, &iface, d.ImageHandle(), nullptr,
                             EFI_OPEN_PROTOCOL_GET_PROTOCOL),
            EFI_UNSUPPORTED);
  EXPECT_EQ(bs->OpenProtocol(&driver, &kGopNative, &iface, d.ImageHandle(), nullptr,
                             EFI_OPEN_PROTOCOL_GET_PROTOCOL),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(d.OpenCount(), 0);
}

TEST_F(DoubleTest, ImageCarriesShellParametersWithDefaultAndSetArguments) {
  EFI_SHELL_PARAMETERS_PROTOCOL* params = nullptr;
  ASSERT_EQ(bs->HandleProtocol(d.ImageHandle(), &kParametersGuid,
                               reinterpret_cast<void**>(&params)),
            EFI_SUCCESS);
  ASSERT_EQ(params->Argc, 1u);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(params->Argv[0])), u"pellory.efi");
  d.SetArguments({u"pellory.efi", u"-x"});
  ASSERT_EQ(params->Argc, 2u);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(params->Argv[1])), u"-x");
}

TEST_F(DoubleTest, UnusedBootServicesAreStubsNotNull) {
  EFI_EVENT event = nullptr;
  EXPECT_EQ(bs->CreateEvent(EVT_TIMER, 0, nullptr, nullptr, &event), EFI_UNSUPPORTED);
  EXPECT_EQ(bs->SetTimer(event, TimerCancel, 0), EFI_UNSUPPORTED);
  EXPECT_EQ(bs->LocateHandle(AllHandles, nullptr, nullptr, nullptr, nullptr), EFI_UNSUPPORTED);
}

// Events as the standard has them: a plain one is checked (and cleared) once
// signalled; a notify-signal one cannot be checked. LocateDevicePath finds
// the handle whose path is the longest prefix: an HTTP boot's card.
TEST_F(DoubleTest, EventsAndTheCardOfANetworkBoot) {
  EFI_EVENT plain = nullptr, notify = nullptr;
  ASSERT_EQ(bs->CreateEvent(0, TPL_CALLBACK, nullptr, nullptr, &plain), EFI_SUCCESS);
  EXPECT_EQ(bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, nullptr, nullptr, &notify), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs->CheckEvent(plain), EFI_NOT_READY);
  EXPECT_EQ(d.EventsOpen(), 1);
  EXPECT_EQ(bs->CloseEvent(plain), EFI_SUCCESS);
  EXPECT_NONFATAL_FAILURE(bs->CloseEvent(plain), "did not make or has already closed");

  dbl::NetworkBoot boot;
  boot.bootUri = "http://10.0.2.100/pellory.efi";
  d.LoadImageFromNetwork(boot);
  EFI_LOADED_IMAGE_PROTOCOL* loaded = nullptr;
  EFI_GUID loadedGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID, pathGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;
  EFI_GUID binding = {0xbdc8e6af, 0xd9bc, 0x4379, {0xa7, 0x2a, 0xe0, 0xc4, 0xe7, 0x5d, 0xae, 0x1c}};
  ASSERT_EQ(bs->HandleProtocol(d.ImageHandle(), &loadedGuid, reinterpret_cast<void**>(&loaded)), EFI_SUCCESS);
  EFI_DEVICE_PATH_PROTOCOL* path = nullptr;
  ASSERT_EQ(bs->HandleProtocol(loaded->DeviceHandle, &pathGuid, reinterpret_cast<void**>(&path)), EFI_SUCCESS);
  EFI_DEVICE_PATH_PROTOCOL* rest = path;
  EFI_HANDLE card = nullptr;
  ASSERT_EQ(bs->LocateDevicePath(&binding, &rest, &card), EFI_SUCCESS);
  EXPECT_NE(card, loaded->DeviceHandle);
  EXPECT_EQ(rest->Type, MESSAGING_DEVICE_PATH);
  EXPECT_EQ(rest->SubType, MSG_IPv4_DP) << "the card's path is the device's up to its IPv4 node";
  rest = path;
  EXPECT_EQ(bs->LocateDevicePath(&kGopNative, &rest, &card), EFI_NOT_FOUND);
}

// --- Pool ------------------------------------------------------------------

TEST_F(DoubleTest, PoolRecordsTypeSizeAndHighWater) {
  void* a = nullptr;
  void* b = nullptr;
  ASSERT_EQ(bs->AllocatePool(EfiLoaderData, 65536, &a), EFI_SUCCESS);
  ASSERT_EQ(bs->AllocatePool(EfiBootServicesData, 100, &b), EFI_SUCCESS);
  EXPECT_EQ(d.PoolBlocks().at(a).type, EfiLoaderData);
  EXPECT_EQ(d.PoolBlocks().at(a).size, 65536u);
  std::memset(a, 0, 65536);  // the whole block is usable (ASan checks the bound)
  EXPECT_EQ(bs->FreePool(a), EFI_SUCCESS);
  EXPECT_EQ(d.PoolBytesOutstanding(), 100u);
  EXPECT_EQ(d.PoolHighWaterBytes(), 65636u);
  EXPECT_EQ(d.PoolAllocations(), 2u);
  EXPECT_EQ(bs->FreePool(b), EFI_SUCCESS);
}

TEST_F(DoubleTest, FreeingUnknownOrFreedPointerFailsTheTest) {
  void* a = nullptr;
  ASSERT_EQ(bs->AllocatePool(EfiLoaderData, 8, &a), EFI_SUCCESS);
  ASSERT_EQ(bs->FreePool(a), EFI_SUCCESS);
  EFI_STATUS status = EFI_SUCCESS;
  EXPECT_NONFATAL_FAILURE(status = bs->FreePool(a), "FreePool");
  EXPECT_EQ(status, EFI_INVALID_PARAMETER);
  EXPECT_NONFATAL_FAILURE(status = bs->FreePool(&driver), "FreePool");
  EXPECT_EQ(status, EFI_INVALID_PARAMETER);
}

// --- Clock and console -----------------------------------------------------

TEST_F(DoubleTest, StallAdvancesTheVirtualClockAndCountsByLength) {
  for (int i = 0; i < 1000; ++i) (void)bs->Stall(500000);
  (void)bs->Stall(10);
  EXPECT_EQ(d.Microseconds(), 500000000u + 10u);
  EXPECT_EQ(d.StallCalls(), 1001u);
  EXPECT_EQ(d.StallCalls(500000), 1000u);
  EXPECT_EQ(d.StallCalls(10), 1u);
  EXPECT_EQ(d.StallCalls(1), 0u);
}

TEST_F(DoubleTest, ConsoleKeepsEachCallAndNarrowsTheWhole) {
  SIMPLE_TEXT_OUTPUT_INTERFACE* out = d.SystemTable()->ConOut;
  (void)out->OutputString(out, Wide(u"ab\r\n"));
  (void)out->OutputString(out, Wide(u"\u00e9c"));
  ASSERT_EQ(d.OutputCalls().size(), 2u);
  EXPECT_EQ(d.OutputCalls()[0], u"ab\r\n");
  EXPECT_EQ(d.Console(), "ab\r\n?c");
  d.ClearConsole();
  EXPECT_EQ(d.Console(), "");
}

// --- Files -----------------------------------------------------------------

TEST_F(DoubleTest, CreateKeepsExistingContentAsEdk2Does) {
  d.PutFile("LOG.TXT", "old run");
  SHELL_FILE_HANDLE h = Open(u"log.txt", kCreate);
  EXPECT_EQ(Write(h, "new"), EFI_SUCCESS);
  EXPECT_EQ(shell->CloseFile(h), EFI_SUCCESS);
  EXPECT_EQ(d.FileContent("log.txt"), "new run");  // written over, not replaced
}

TEST_F(DoubleTest, CreateTruncatesWhenTheShellDoes) {
  d.SetCreateTruncates(true);
  d.PutFile("log.txt", "old run");
  SHELL_FILE_HANDLE h = Open(u"log.txt", kCreate);
  EXPECT_EQ(Write(h, "new"), EFI_SUCCESS);
  EXPECT_EQ(shell->CloseFile(h), EFI_SUCCESS);
  EXPECT_EQ(d.FileContent("log.txt"), "new");
}

TEST_F(DoubleTest, OpenWithoutCreateOfMissingFileIsNotFound) {
  SHELL_FILE_HANDLE h = &driver;
  EXPECT_EQ(shell->OpenFileByName(Wide(u"log.txt"), &h,
                                  EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE),
            EFI_NOT_FOUND);
  EXPECT_FALSE(d.HasFile("log.txt"));
  EXPECT_EQ(d.OpenFiles(), 0);
}

TEST_F(DoubleTest, WritesAdvanceThePositionAndSizeCanBeCut) {
  SHELL_FILE_HANDLE h = Open(u"log.txt", kCreate);
  EXPECT_EQ(Write(h, "fail"), EFI_SUCCESS);
  EXPECT_EQ(Write(h, "ed"), EFI_SUCCESS);
  UINT64 size = 0;
  EXPECT_EQ(shell->GetFileSize(h, &size), EFI_SUCCESS);
  EXPECT_EQ(size, 6u);
  EFI_FILE_INFO* info = shell->GetFileInfo(h);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->FileSize, 6u);
  EXPECT_EQ(info->Attribute & EFI_FILE_DIRECTORY, 0u);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(info->FileName)), u"log.txt");
  EXPECT_EQ(d.PoolBlocksOutstanding(), 1u);  // the information is pool memory
  info->FileSize = 2;
  EXPECT_EQ(shell->SetFileInfo(h, info), EFI_SUCCESS);
  EXPECT_EQ(bs->FreePool(info), EFI_SUCCESS);
  EXPECT_EQ(d.FileContent("log.txt"), "fa");
  EXPECT_EQ(shell->CloseFile(h), EFI_SUCCESS);
}

TEST_F(DoubleTest, DirectoryOpensButRefusesWrites) {
  d.MakeDirectory("log.txt");
  SHELL_FILE_HANDLE h = Open(u"log.txt", kCreate);
  EXPECT_EQ(Write(h, "failed"), EFI_ACCESS_DENIED);
  EFI_FILE_INFO* info = shell->GetFileInfo(h);
  ASSERT_NE(info, nullptr);
  EXPECT_NE(info->Attribute & EFI_FILE_DIRECTORY, 0u);
  EXPECT_EQ(bs->FreePool(info), EFI_SUCCESS);
  EXPECT_EQ(shell->CloseFile(h), EFI_SUCCESS);
  EXPECT_TRUE(d.IsDirectory("log.txt"));
}

TEST_F(DoubleTest, ReadOnlyHandleRefusesWrites) {
  d.PutFile("log.txt", "x");
  SHELL_FILE_HANDLE h = Open(u"log.txt", EFI_FILE_MODE_READ);
  EXPECT_EQ(Write(h, "y"), EFI_ACCESS_DENIED);
  EXPECT_EQ(shell->CloseFile(h), EFI_SUCCESS);
  EXPECT_EQ(d.FileContent("log.txt"), "x");
}

TEST_F(DoubleTest, DeleteRemovesTheFileAndClosesTheHandle) {
  d.PutFile("log.txt", "old");
  SHELL_FILE_HANDLE h = Open(u"log.txt", kCreate);
  EXPECT_EQ(shell->DeleteFile(h), EFI_SUCCESS);
  EXPECT_FALSE(d.HasFile("log.txt"));
  EXPECT_EQ(d.OpenFiles(), 0);
  EFI_STATUS status = EFI_SUCCESS;
  EXPECT_NONFATAL_FAILURE(status = shell->CloseFile(h), "CloseFile");
  EXPECT_EQ(status, EFI_INVALID_PARAMETER);
  d.PutFile("log.txt", "old");
  EXPECT_EQ(shell->DeleteFileByName(Wide(u"Log.Txt")), EFI_SUCCESS);
  EXPECT_EQ(shell->DeleteFileByName(Wide(u"log.txt")), EFI_NOT_FOUND);
}

}  // namespace
