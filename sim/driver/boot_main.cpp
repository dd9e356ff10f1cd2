// convsim-boot.efi: the firmware's boot manager as far as a start without a
// shell needs it, for the real-firmware tests. Booted first from the test
// volume, it loads the simulator driver from its own volume, then starts
// the stick's \EFI\BOOT\BOOTX64.EFI as the boot manager starts a boot
// option: watchdog armed for 5 minutes, LoadImage with the boot policy set
// and the file's full device path, StartImage, watchdog off again. Both
// statuses go to the console, the program's own output between the usual
// markers. Then convsim-dump.efi writes the record beside this loader and
// the machine powers off, which ends QEMU.
#include "sim/driver/boot_parts.h"

namespace {

constexpr char16_t kDriverPath[] = u"\\convsim.efi";
constexpr char16_t kDumpPath[] = u"\\convsim-dump.efi";
constexpr char16_t kBootOptionPath[] = u"\\EFI\\BOOT\\BOOTX64.EFI";
constexpr UINTN kBootManagerWatchdogSeconds = 5 * 60;

// "success", or "error N" / "warning N" with the status's low bits, so an
// error never reads like a warning of the same number.
void Report(EFI_SYSTEM_TABLE* st, const char* what, EFI_STATUS status) {
  const unsigned code = static_cast<unsigned>(status & 0xFFFFFFFFu);
  if (status == EFI_SUCCESS) Say(st, "convsim-boot: %s: success\n", what);
  else Say(st, "convsim-boot: %s: %s %u\n", what, EFI_ERROR(status) ? "error" : "warning", code);
}

// LoadImage from `device`'s file `path`. An image the security check
// refused may still come back loaded; it is unloaded, never started.
EFI_STATUS Load(EFI_HANDLE self, EFI_SYSTEM_TABLE* st, BOOLEAN bootPolicy, EFI_HANDLE device,
                const char16_t* path, EFI_HANDLE* loaded) {
  EFI_BOOT_SERVICES* bs = st->BootServices;
  *loaded = nullptr;
  EFI_DEVICE_PATH* full = nullptr;
  EFI_STATUS err = FileDevicePath(bs, device, path, &full);
  if (EFI_ERROR(err)) return err;
  err = bs->LoadImage(bootPolicy, self, full, nullptr, 0, loaded);
  (void)bs->FreePool(full);
  if (EFI_ERROR(err) && *loaded != nullptr) {
    (void)bs->UnloadImage(*loaded);
    *loaded = nullptr;
  }
  return err;
}

// One of the simulator's images from this loader's own volume.
void RunOwn(EFI_HANDLE self, EFI_SYSTEM_TABLE* st, EFI_HANDLE own, const char16_t* path,
            const char* name) {
  EFI_HANDLE loaded = nullptr;
  EFI_STATUS err = Load(self, st, FALSE, own, path, &loaded);
  if (!EFI_ERROR(err)) err = st->BootServices->StartImage(loaded, nullptr, nullptr);
  Report(st, name, err);
}

void SayStatusLine(EFI_SYSTEM_TABLE* st, EFI_STATUS status) {
  const unsigned high = static_cast<unsigned>(status >> 32);
  const unsigned low = static_cast<unsigned>(status & 0xFFFFFFFFu);
  if (high == 0) Say(st, "==END== rc=0x%x\n", low);
  else Say(st, "==END== rc=0x%x%08x\n", high, low);
}

// The boot option: the stick's removable-media path, started as BdsDxe does.
void BootStick(EFI_HANDLE self, EFI_SYSTEM_TABLE* st, EFI_HANDLE own) {
  EFI_BOOT_SERVICES* bs = st->BootServices;
  EFI_HANDLE stick = FindOtherVolume(bs, own, kBootOptionPath);
  if (stick == nullptr) {
    Say(st, "convsim-boot: no other volume holds \\EFI\\BOOT\\BOOTX64.EFI\n");
    return;
  }
  Report(st, "arming the watchdog",
         bs->SetWatchdogTimer(kBootManagerWatchdogSeconds, 0, 0, nullptr));
  EFI_HANDLE program = nullptr;
  EFI_STATUS err = Load(self, st, TRUE, stick, kBootOptionPath, &program);
  Report(st, "LoadImage BOOTX64.EFI", err);
  if (!EFI_ERROR(err)) {
    Say(st, "==BEGIN==\n");
    err = bs->StartImage(program, nullptr, nullptr);
    SayStatusLine(st, err);
    Report(st, "StartImage BOOTX64.EFI", err);
  }
  (void)bs->SetWatchdogTimer(0, 0, 0, nullptr);
}

// The SecureBoot variable: 1 when the firmware enforces signatures.
void ReportSecureBoot(EFI_SYSTEM_TABLE* st) {
  EFI_GUID global = EFI_GLOBAL_VARIABLE;
  UINT8 value = 0;
  UINTN size = sizeof(value);
  EFI_STATUS err =
      st->RuntimeServices->GetVariable(Wide(u"SecureBoot"), &global, nullptr, &size, &value);
  if (EFI_ERROR(err)) Report(st, "reading SecureBoot", err);
  else Say(st, "convsim-boot: SecureBoot=%u\n", static_cast<unsigned>(value));
}

EFI_HANDLE OwnDevice(EFI_HANDLE self, EFI_BOOT_SERVICES* bs) {
  EFI_GUID loadedGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
  void* found = nullptr;
  if (EFI_ERROR(bs->HandleProtocol(self, &loadedGuid, &found))) return nullptr;
  return static_cast<EFI_LOADED_IMAGE_PROTOCOL*>(found)->DeviceHandle;
}

}  // namespace

extern "C" EFI_STATUS efi_main(EFI_HANDLE self, EFI_SYSTEM_TABLE* st) {
  EFI_HANDLE own = OwnDevice(self, st->BootServices);
  if (own == nullptr) {
    Say(st, "convsim-boot: no volume of its own; powering off\n");
  } else {
    ReportSecureBoot(st);
    RunOwn(self, st, own, kDriverPath, "convsim.efi");
    BootStick(self, st, own);
    RunOwn(self, st, own, kDumpPath, "convsim-dump.efi");
  }
  Say(st, "convsim-boot: powering off\n");
  st->RuntimeServices->ResetSystem(EfiResetShutdown, EFI_SUCCESS, 0, nullptr);
  return EFI_SUCCESS;
}
