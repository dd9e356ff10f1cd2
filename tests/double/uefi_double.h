// A test double of the UEFI services the program calls, for the host build.
//
// One live instance stands behind real EFI_SYSTEM_TABLE / EFI_BOOT_SERVICES /
// ConOut / EFI_SHELL_PROTOCOL / EFI_SHELL_PARAMETERS_PROTOCOL tables whose
// entries are EFIAPI (ms_abi) functions, so the program's code runs through
// the very types and calls it uses in firmware. Defaults behave like a sound
// firmware; each test overrides what it needs (faults, files, handles).
//
// Choices a test should know:
// - Handles in creation order: the image (shell parameters, Loaded Image),
//   the shell, the console, the volume (Simple File System) the image was
//   loaded from; then whatever the test installs.
// - By default the program is started by a shell whose current directory is
//   the volume's root, from "\pellory.efi". StartWithoutShell() makes it a
//   start by the boot manager: no shell parameters, the watchdog armed.
// - A faulted call returns its status and does nothing else: no output
//   recorded, no clock advance, out-pointers untouched.
// - Buffers that services hand back (LocateHandleBuffer's list,
//   GetFileInfo's record) come from the pool and count in its figures, but
//   are not AllocatePool calls: they are neither counted nor faulted as such.
// - Fresh pool memory is filled with 0xAF, never zero.
// - CloseProtocol, as in EDK2, closes every open of that handle, protocol,
//   agent and controller at once; OpenProtocol does not check the agent.
// - Directories refuse writes with EFI_ACCESS_DENIED.
// - The shell takes only plain names of its current directory: a name
//   holding '\', '/' or ':' fails the test. The volume's file protocol takes
//   paths ('\' between names). A handle outlives the deletion of its file.
// - Keys typed on the console wait in a queue, each from its time on the
//   virtual clock; the watchdog fires (is only recorded) when the clock
//   passes its deadline.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "platform/efi.h"

namespace dbl {

// Every service the double counts and can be told to fail.
enum class Service : int {
  LocateHandleBuffer,
  OpenProtocol,
  CloseProtocol,
  HandleProtocol,
  LocateProtocol,
  InstallProtocolInterface,
  Stall,
  AllocatePool,
  FreePool,
  OutputString,
  ShellOpenFileByName,
  ShellCreateFile,
  ShellGetFileInfo,
  ShellSetFileInfo,
  ShellGetFileSize,
  ShellWriteFile,
  ShellFlushFile,
  ShellCloseFile,
  ShellDeleteFile,
  ShellDeleteFileByName,
  ShellReadFile,
  ShellGetFilePosition,
  ShellSetFilePosition,
  SetWatchdogTimer,
  ReadKeyStroke,
  OpenVolume,
  FileOpen,
  FileClose,
  FileDelete,
  FileRead,
  FileWrite,
  FileGetPosition,
  FileSetPosition,
  FileGetInfo,
  FileSetInfo,
  FileFlush,
  GetTime,
  GetVariable,
  SetVariable,
  ResetSystem,
  CreateEvent,
  CreateEventEx,
  CheckEvent,
  CloseEvent,
  LocateDevicePath,
  HttpCreateChild,
  HttpDestroyChild,
  HttpConfigure,
  HttpRequest,
  HttpResponse,
  HttpPoll,
  HttpCancel,
  Ip4Config2GetData,
  Ip4Config2SetData,
  Count
};

const char* ServiceName(Service s);

// One SetVariable that changed the store, in order; a deletion has no data
// and no attributes.
struct VariableWrite {
  std::u16string name;
  EFI_GUID guid;
  std::string data;
  uint32_t attributes;
};

// One HTTP request as the server received it, with how the instance that
// sent it was configured.
struct HttpRequestSeen {
  uint32_t method;  // EFI_HTTP_METHOD
  std::string url;  // narrowed from UCS-2
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  bool http11;
  bool defaultAddress;
  // The response token completed with a 2xx status and no error: what the
  // program can count as the server having taken the record.
  bool taken = false;
};

// How the server (and the way to it) treats one request: when the request
// has left and when the answer is in, on the virtual clock from the call
// that queued each (never: the token stays pending until cancelled), the
// status line, and the status the firmware's HTTP puts in the token (EDK2
// leaves EFI_SUCCESS for any status; the standard allows EFI_HTTP_ERROR).
struct HttpAnswer {
  int status = 201;
  std::optional<uint64_t> sentAfter = 1000;
  std::optional<uint64_t> answeredAfter = 1000;
  EFI_STATUS tokenStatus = EFI_SUCCESS;
};

// A start from the network through one card, as OVMF lays it out: the
// card's handle (device path PciRoot/Pci/Mac, SimpleNetwork, the IPv4
// configuration and, unless `httpService` is false, the HTTP service
// binding) and the device handle the Loaded Image names, a child of the
// card (its path the card's and an IPv4 node, then a Uri node for an HTTP
// boot; SimpleNetwork and PxeBaseCode for a PXE boot).
struct NetworkBoot {
  std::string bootUri;  // an HTTP boot's URI; empty for a PXE boot
  // A PXE boot's next-server address in each packet the firmware keeps.
  std::array<uint8_t, 4> dhcpAckServer{10, 0, 2, 2};
  std::optional<std::array<uint8_t, 4>> proxyOfferServer;
  // A separate PXE boot server's reply (PXE's discover step), beside the
  // DHCP answer and a proxy's offer.
  std::optional<std::array<uint8_t, 4>> pxeReplyServer;
  std::array<uint8_t, 6> mac{0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
  bool httpService = true;
  // The card's IPv4 has its address (static policy, as after a PXE boot).
  // Without, the policy is static and no address comes until DHCP is
  // turned on; it then comes after `dhcpAfter` (never when empty).
  bool addressed = true;
  std::optional<uint64_t> dhcpAfter = 2000000;
};

struct PoolBlock {
  EFI_MEMORY_TYPE type;
  size_t size;
};

class UefiDouble {
 public:
  UefiDouble();  // becomes the live instance (only one at a time)
  ~UefiDouble();
  UefiDouble(const UefiDouble&) = delete;
  UefiDouble& operator=(const UefiDouble&) = delete;

  static UefiDouble& Live();

  EFI_SYSTEM_TABLE* SystemTable();
  EFI_HANDLE ImageHandle();

  // Handle database. Installs `iface` for `guid` on `handle`, or on a new
  // handle when handle is null; returns the handle. Handles are listed by
  // LocateHandleBuffer in the order they were created.
  EFI_HANDLE Install(const EFI_GUID& guid, void* iface, EFI_HANDLE handle = nullptr);
  // Number of OpenProtocol calls not yet matched by a CloseProtocol.
  int OpenCount() const;

  // Faults: the nth call (1-based, counted from construction) of `s` returns
  // `status` without doing anything. Several may be armed for one service.
  void FailAt(Service s, uint64_t nth, EFI_STATUS status = EFI_DEVICE_ERROR);
  // Every call of `s` from the nth on fails.
  void FailFrom(Service s, uint64_t nth, EFI_STATUS status = EFI_DEVICE_ERROR);
  uint64_t Calls(Service s) const;
  // Called before every service call with the service and its call number;
  // lets tests see the order of calls across services.
  std::function<void(Service, uint64_t)> onCall;

  // Virtual clock: Stall returns at once and adds to it.
  uint64_t Microseconds() const;
  uint64_t StallCalls() const;
  uint64_t StallCalls(uint64_t micros) const;  // calls with exactly this length

  // Pool accounting (bytes and blocks). Freeing a pointer the pool did not
  // hand out, or freeing twice, fails the test (ADD_FAILURE) and returns
  // EFI_INVALID_PARAMETER.
  size_t PoolBytesOutstanding() const;
  size_t PoolBlocksOutstanding() const;
  size_t PoolHighWaterBytes() const;
  uint64_t PoolAllocations() const;
  const std::map<void*, PoolBlock>& PoolBlocks() const;

  // Console: every OutputString call, in order, as it was passed.
  const std::vector<std::u16string>& OutputCalls() const;
  // All console output concatenated and narrowed (each char16 < 0x80 kept,
  // others shown as '?').
  std::string Console() const;
  void ClearConsole();

  // Files of the volume, by path from its root ('\' between names, case
  // ignored as on FAT); a plain name is in the shell's current directory.
  // Contents are bytes. Putting a file or folder makes the folders on the way.
  void PutFile(const std::string& path, const std::string& content);
  void MakeDirectory(const std::string& path);
  bool HasFile(const std::string& path) const;
  bool IsDirectory(const std::string& path) const;
  std::string FileContent(const std::string& path) const;
  // Files still open, through the shell or the volume.
  int OpenFiles() const;
  // A volume that refuses every change, as a write-protected stick does.
  void SetReadOnly(bool readOnly);
  // How the shell's OpenFileByName with EFI_FILE_MODE_CREATE treats an
  // existing file: EDK2's shell keeps its content (default); some shells
  // truncate it.
  void SetCreateTruncates(bool truncates);

  // Shell parameters installed on the image handle.
  void SetArguments(const std::vector<std::u16string>& argv);

  // --- Starts without a shell ----------------------------------------------
  // The boot manager's start: the image loses its shell parameters (the
  // shell itself stays resident) and the 5-minute watchdog is armed.
  void StartWithoutShell();
  // The Loaded Image's file path, one file path node per entry.
  void SetImagePath(const std::vector<std::u16string>& nodes);
  // The Loaded Image's file path as raw device path bytes, end node included.
  void SetImageDevicePath(const std::vector<uint8_t>& bytes);
  // The image came from a device without a file system: a network boot,
  // by default a PXE boot whose server takes every PUT (201).
  void LoadImageFromNetwork(const NetworkBoot& boot = {});
  // The same device without any network service: a loader the double
  // cannot name, or a firmware without a network stack.
  void LoadImageFromBareDevice();

  // --- The boot server, through the firmware's HTTP --------------------------
  // The answers to the coming requests, one each in order; once they are
  // used up, every request gets a default HttpAnswer.
  void AnswerHttp(const HttpAnswer& answer);
  const std::vector<HttpRequestSeen>& HttpRequests() const;
  // What the program has not given back: HTTP children not destroyed,
  // tokens still pending, events not closed.
  int HttpChildren() const;
  int HttpTokensPending() const;
  int EventsOpen() const;
  // When the card's IPv4 got its address (nullopt: it has none).
  std::optional<uint64_t> AddressSince() const;

  // --- Event groups ------------------------------------------------------------
  // Signals every event of `group` that is open now, as the firmware does
  // (ReadyToBoot before a boot option starts): each one's notification runs
  // once, in the order the events were made. Returns how many ran.
  int SignalEventGroup(const EFI_GUID& group);
  // Open events made with CreateEventEx for `group`.
  int EventsInGroup(const EFI_GUID& group) const;

  // --- Console input and the watchdog ----------------------------------------
  // A key that ReadKeyStroke hands out once the clock reaches `atMicroseconds`.
  void TypeKey(uint64_t atMicroseconds, char16_t character = u' ');
  size_t KeysWaiting() const;
  // The watchdog's timeout in seconds, 0 when off.
  uint64_t WatchdogSeconds() const;
  bool WatchdogFired() const;

  // --- The clock and the configuration tables ---------------------------------
  // What GetTime answers (default 2026-12-08 12:00:00).
  void SetTime(const EFI_TIME& time);
  // The firmware's SMBIOS: `structures` is the structure table (end-of-table
  // structure included), published through a 2.x entry point, a 3.0 one, or
  // both; `version` is major * 256 + minor. None by default.
  enum class Smbios { V2, V3, Both };
  void SetSmbios(const std::vector<uint8_t>& structures, Smbios entry, uint16_t version);
  // A System Information structure (type 1) with this serial and these 16
  // UUID bytes as they lie in the table, followed by the end of the table.
  static std::vector<uint8_t> SystemInformation(const std::string& serial,
                                                const std::vector<uint8_t>& uuid);

  // --- Firmware variables and the reset -------------------------------------
  void PutVariable(const std::u16string& name, const EFI_GUID& guid, const std::string& data,
                   uint32_t attributes);
  bool HasVariable(const std::u16string& name, const EFI_GUID& guid) const;
  std::string VariableData(const std::u16string& name, const EFI_GUID& guid) const;
  uint32_t VariableAttributes(const std::u16string& name, const EFI_GUID& guid) const;
  const std::vector<VariableWrite>& VariableWrites() const;
  // Data bytes the whole store holds (default 64 KiB); a write beyond is
  // refused with EFI_OUT_OF_RESOURCES, as a full NVRAM does.
  void SetVariableRoom(size_t bytes);
  // Every change refused with EFI_WRITE_PROTECTED; reads still answer.
  void SetVariablesReadOnly(bool readOnly);
  // The ResetSystem call's type, once the program made it.
  std::optional<EFI_RESET_TYPE> Reset() const;

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace dbl
