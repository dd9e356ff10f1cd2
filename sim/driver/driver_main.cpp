// convsim.efi: the converter model as a boot-service driver. Loaded from
// the shell (`load convsim.efi`), it reads its scenario from convsim.cfg
// beside it, installs GopNative and GopI2c with one simulated converter
// per handle, makes the program's polls fast, installs its record
// protocol and stays resident so the program and convsim-dump.efi find it.
// With resetAfterPages it resets the machine in the middle of the pages.
// The converter's firmware lives on across the machine's starts: an image
// written in full starts at the next power-on (sim/power_cycle.h).
#include "sim/converter.h"
#include "sim/driver/driver_parts.h"
#include "sim/gop_binding.h"
#include "sim/scenario_text.h"

static_assert(kSimScenarioMaxHandles == kSimMaxHandles);

constinit ConvsimRecordProtocol gConvsimRecord = {
    kConvsimRecordRevision, sizeof(SimConverter), 0, 0, 0, 0, {}, 0, 0, 0, 0, 0,
    0,  // watchdogSets
    kConvsimWatchdogUnknown, kConvsimWatchdogUnknown};

namespace {

constexpr char16_t kScenarioName[] = u"convsim.cfg";
constinit char gScenarioText[8192] = {};
constinit const char* gScenarioSource = "defaults";

UINT32 Code(EFI_STATUS status) { return static_cast<UINT32>(status & 0xFFFFFFFFu); }

// The scenario: convsim.cfg when the volume has one, the defaults otherwise.
EFI_STATUS LoadScenario(EFI_HANDLE image, EFI_SYSTEM_TABLE* st, SimScenarioFile* file) {
  UINTN length = 0;
  EFI_STATUS err = ReadRootFile(image, st->BootServices, kScenarioName, gScenarioText,
                                sizeof(gScenarioText), &length);
  if (err == EFI_NOT_FOUND) {
    *file = SimDefaultScenarioFile();
    return EFI_SUCCESS;
  }
  if (EFI_ERROR(err)) {
    Say(st, "convsim: cannot read convsim.cfg (error %u); nothing installed\n", Code(err));
    return err;
  }
  gScenarioSource = "convsim.cfg";
  SimParseError error{};
  if (!SimParseScenarioText(gScenarioText, length, file, &error)) {
    Say(st, "convsim: convsim.cfg line %u: %s%s%s; nothing installed\n", error.line, error.key,
        error.key[0] != 0 ? ": " : "", error.reason);
    return EFI_INVALID_PARAMETER;
  }
  return EFI_SUCCESS;
}

// One converter per handle, from boot-services pool (each is about 100 KB).
EFI_STATUS MakeConverters(EFI_SYSTEM_TABLE* st, const SimScenarioFile& file) {
  EFI_BOOT_SERVICES* bs = st->BootServices;
  for (UINT32 i = 0; i < file.options.handles; ++i) {
    void* memory = nullptr;
    EFI_STATUS err = bs->AllocatePool(EfiBootServicesData, sizeof(SimConverter), &memory);
    if (EFI_ERROR(err)) {
      Say(st, "convsim: no pool for converter %u (error %u); nothing installed\n", i, Code(err));
      for (UINT32 k = 0; k < i; ++k) {
        (void)bs->FreePool(gConvsimRecord.converters[k]);
        gConvsimRecord.converters[k] = nullptr;
      }
      return err;
    }
    gConvsimRecord.converters[i] = static_cast<SimConverter*>(memory);
    SimInit(gConvsimRecord.converters[i], &file.scenario);
  }
  gConvsimRecord.converterCount = file.options.handles;
  return EFI_SUCCESS;
}

// GopNative and GopI2c on a new handle per converter, behind the timing
// wrappers. A failure leaves what was installed in place.
void InstallConverters(EFI_SYSTEM_TABLE* st) {
  EFI_HANDLE handles[kSimMaxHandles] = {};
  const unsigned count = gConvsimRecord.converterCount;
  EFI_STATUS err = SimInstall(st->BootServices, gConvsimRecord.converters, count, handles);
  if (!EFI_ERROR(err)) err = InstallTimedBinding(st->BootServices, handles, count);
  if (EFI_ERROR(err)) {
    Say(st, "convsim: installing the converter protocols failed (error %u)\n", Code(err));
    return;
  }
  gConvsimRecord.protocolsInstalled = 1;
}

}  // namespace

extern "C" EFI_STATUS efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE* st) {
  EFI_BOOT_SERVICES* bs = st->BootServices;
  EFI_GUID recordGuid = kConvsimRecordGuid;

  // A second copy would add handles behind the first one's converters.
  void* earlier = nullptr;
  if (!EFI_ERROR(bs->LocateProtocol(&recordGuid, nullptr, &earlier))) {
    Say(st, "convsim: already loaded; nothing installed\n");
    return EFI_ALREADY_STARTED;
  }

  // Scenario and converters; up to here nothing is installed, so a failure
  // may still let the image go.
  SimScenarioFile file{};
  EFI_STATUS err = LoadScenario(image, st, &file);
  if (EFI_ERROR(err)) return err;
  gConvsimRecord.firmwareStart = StartConverterFirmware(st, &file.scenario);
  err = MakeConverters(st, file);
  if (EFI_ERROR(err)) return err;

  // From here on the driver stays resident whatever fails.
  if (file.options.installProtocols) InstallConverters(st);
  if (file.options.resetAfterPages != kSimNever) ArmResetAfterPages(st, file.options.resetAfterPages);
  gConvsimRecord.tscHz = MeasureTscHz(bs);
  InstallWatchdogWatch(bs);
  if (file.options.fastStall) {
    InstallFastStall(bs);
    gConvsimRecord.fastStall = 1;
  }
  err = bs->InstallProtocolInterface(&image, &recordGuid, EFI_NATIVE_INTERFACE, &gConvsimRecord);
  if (EFI_ERROR(err)) Say(st, "convsim: installing the record failed (error %u)\n", Code(err));

  Say(st, "convsim: scenario from %s, %u converter(s), protocols %s, fast stall %s\n",
      gScenarioSource, gConvsimRecord.converterCount,
      gConvsimRecord.protocolsInstalled ? "installed" : "not installed",
      gConvsimRecord.fastStall ? "on" : "off");
  if (file.options.resetAfterPages != kSimNever)
    Say(st, "convsim: resets the machine after %u committed pages\n", file.options.resetAfterPages);
  return EFI_SUCCESS;
}
