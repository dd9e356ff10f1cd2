// The double's volume, Loaded Image, console input and watchdog, as the
// program's start without a shell leans on them, driven through the tables.
#include <gtest/gtest.h>

#include <string>

#include "tests/double/uefi_double.h"

namespace {

using dbl::Service;

constexpr UINT64 kCreate = EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE;

class VolumeTest : public ::testing::Test {
 protected:
  VolumeTest() {
    EFI_GUID loaded = EFI_LOADED_IMAGE_PROTOCOL_GUID;
    EFI_GUID fs = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;
    void* found = nullptr;
    EXPECT_EQ(bs->HandleProtocol(d.ImageHandle(), &loaded, &found), EFI_SUCCESS);
    image = static_cast<EFI_LOADED_IMAGE_PROTOCOL*>(found);
    EXPECT_EQ(bs->HandleProtocol(image->DeviceHandle, &fs, &found), EFI_SUCCESS);
    auto* volume = static_cast<EFI_SIMPLE_FILE_SYSTEM_PROTOCOL*>(found);
    EXPECT_EQ(volume->OpenVolume(volume, &root), EFI_SUCCESS);
  }
  ~VolumeTest() override {
    if (root != nullptr) {
      EXPECT_EQ(root->Close(root), EFI_SUCCESS);
    }
    EXPECT_EQ(d.OpenFiles(), 0);
  }

  EFI_STATUS Open(EFI_FILE_PROTOCOL* from, const char16_t* path, UINT64 mode,
                  EFI_FILE_PROTOCOL** out, UINT64 attributes = 0) {
    return from->Open(from, out, Wide(path), mode, attributes);
  }
  EFI_STATUS Write(EFI_FILE_PROTOCOL* f, const std::string& text) {
    UINTN size = text.size();
    return f->Write(f, &size, const_cast<char*>(text.data()));
  }

  dbl::UefiDouble d;
  EFI_BOOT_SERVICES* bs = d.SystemTable()->BootServices;
  EFI_LOADED_IMAGE_PROTOCOL* image = nullptr;
  EFI_FILE_PROTOCOL* root = nullptr;
};

TEST_F(VolumeTest, PathsResolveFromTheRootOrTheOpenFolderAndCaseIsIgnored) {
  d.PutFile("EFI\\BOOT\\a.txt", "x");
  EFI_FILE_PROTOCOL* boot = nullptr;
  EFI_FILE_PROTOCOL* file = nullptr;
  ASSERT_EQ(Open(root, u"\\efi\\Boot", EFI_FILE_MODE_READ, &boot), EFI_SUCCESS);
  ASSERT_EQ(Open(boot, u"B.TXT", kCreate, &file), EFI_SUCCESS);
  EXPECT_EQ(Write(file, "made"), EFI_SUCCESS);
  EXPECT_EQ(file->Close(file), EFI_SUCCESS);
  EXPECT_EQ(d.FileContent("efi\\boot\\b.txt"), "made");
  ASSERT_EQ(Open(boot, u"..\\BOOT\\.\\a.txt", EFI_FILE_MODE_READ, &file), EFI_SUCCESS);
  EXPECT_EQ(file->Close(file), EFI_SUCCESS);
  EXPECT_EQ(Open(boot, u"\\..", EFI_FILE_MODE_READ, &file), EFI_NOT_FOUND);
  EXPECT_EQ(Open(root, u"\\NOFOLDER\\x.txt", kCreate, &file), EFI_NOT_FOUND)
      << "create makes no folders on the way";
  EXPECT_EQ(Open(root, u"\\EFI\\BOOT\\a.txt\\y", kCreate, &file), EFI_NOT_FOUND);
  EXPECT_EQ(boot->Close(boot), EFI_SUCCESS);
}

TEST_F(VolumeTest, DirectoryOpensForWritingButTakesNoBytesAndInfoTellsItsKind) {
  d.MakeDirectory("EFI\\BOOT\\log.txt");
  EFI_FILE_PROTOCOL* f = nullptr;
  ASSERT_EQ(Open(root, u"\\EFI\\BOOT\\log.txt", kCreate, &f), EFI_SUCCESS);
  EXPECT_EQ(Write(f, "x"), EFI_UNSUPPORTED);
  EFI_GUID infoId = EFI_FILE_INFO_ID;
  UINTN size = 1;
  alignas(8) unsigned char buffer[256];
  EXPECT_EQ(f->GetInfo(f, &infoId, &size, buffer), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, offsetof(EFI_FILE_INFO, FileName) + sizeof(u"log.txt"));
  size = sizeof buffer;
  ASSERT_EQ(f->GetInfo(f, &infoId, &size, buffer), EFI_SUCCESS);
  EXPECT_NE(reinterpret_cast<EFI_FILE_INFO*>(buffer)->Attribute & EFI_FILE_DIRECTORY, 0u);
  EXPECT_EQ(f->Delete(f), EFI_SUCCESS) << "an empty folder goes";
  EXPECT_FALSE(d.HasFile("EFI\\BOOT\\log.txt"));
}

TEST_F(VolumeTest, ReadOnlyVolumeRefusesEveryChangeAndDeleteAlwaysCloses) {
  d.PutFile("log.txt", "old");
  d.SetReadOnly(true);
  EFI_FILE_PROTOCOL* f = nullptr;
  EXPECT_EQ(Open(root, u"new.txt", kCreate, &f), EFI_WRITE_PROTECTED);
  EXPECT_EQ(Open(root, u"log.txt", kCreate, &f), EFI_WRITE_PROTECTED);
  ASSERT_EQ(Open(root, u"log.txt", EFI_FILE_MODE_READ, &f), EFI_SUCCESS);
  EXPECT_EQ(f->Delete(f), EFI_WARN_DELETE_FAILURE);
  EXPECT_EQ(d.FileContent("log.txt"), "old");
  EXPECT_EQ(d.OpenFiles(), 1) << "only the root is left open";
}

TEST_F(VolumeTest, FileServicesAreFaultable) {
  d.FailAt(Service::FileOpen, 1, EFI_NO_MEDIA);
  d.FailAt(Service::FileDelete, 1);
  EFI_FILE_PROTOCOL* f = nullptr;
  EXPECT_EQ(Open(root, u"a", kCreate, &f), EFI_NO_MEDIA);
  EXPECT_FALSE(d.HasFile("a"));
  ASSERT_EQ(Open(root, u"a", kCreate, &f), EFI_SUCCESS);
  EXPECT_EQ(f->Delete(f), EFI_DEVICE_ERROR);
  EXPECT_TRUE(d.HasFile("a"));
  EXPECT_EQ(d.Calls(Service::OpenVolume), 1u);
}

TEST_F(VolumeTest, ImagePathIsFilePathNodesEndedAsAFirmwareLaysThemOut) {
  d.SetImagePath({u"\\EFI", u"BOOT"});
  const auto* p = reinterpret_cast<const uint8_t*>(image->FilePath);
  EXPECT_EQ(p[0], MEDIA_DEVICE_PATH);
  EXPECT_EQ(p[1], MEDIA_FILEPATH_DP);
  EXPECT_EQ(p[2], 4 + 5 * 2);  // "\EFI" and its terminator
  EXPECT_EQ(p[14 + 2], 4 + 5 * 2);
  EXPECT_EQ(p[28], END_DEVICE_PATH_TYPE);
  d.LoadImageFromNetwork();
  void* found = nullptr;
  EFI_GUID fs = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;
  EXPECT_EQ(bs->HandleProtocol(image->DeviceHandle, &fs, &found), EFI_UNSUPPORTED);
}

TEST_F(VolumeTest, KeysComeInTheirTimeAndTheWatchdogFiresOnTheClock) {
  SIMPLE_INPUT_INTERFACE* in = d.SystemTable()->ConIn;
  EFI_INPUT_KEY key{};
  d.TypeKey(1000, u'b');
  d.TypeKey(10, u'a');
  EXPECT_EQ(in->ReadKeyStroke(in, &key), EFI_NOT_READY);
  EXPECT_EQ(bs->Stall(10), EFI_SUCCESS);
  ASSERT_EQ(in->ReadKeyStroke(in, &key), EFI_SUCCESS);
  EXPECT_EQ(key.UnicodeChar, u'a');
  EXPECT_EQ(in->ReadKeyStroke(in, &key), EFI_NOT_READY);
  EXPECT_EQ(d.KeysWaiting(), 1u);

  d.StartWithoutShell();
  EXPECT_EQ(d.WatchdogSeconds(), 300u);
  EXPECT_EQ(bs->Stall(299999999), EFI_SUCCESS);  // armed at 10 us
  EXPECT_FALSE(d.WatchdogFired());
  EXPECT_EQ(bs->Stall(1), EFI_SUCCESS);
  EXPECT_TRUE(d.WatchdogFired());
  EXPECT_EQ(bs->SetWatchdogTimer(0, 0, 0, nullptr), EFI_SUCCESS);
  EXPECT_EQ(d.WatchdogSeconds(), 0u);
}

}  // namespace
