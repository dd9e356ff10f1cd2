// A test double of the UEFI services the program calls, for the host build.
//
// One live instance stands behind real EFI_SYSTEM_TABLE / EFI_BOOT_SERVICES /
// ConOut / EFI_SHELL_PROTOCOL / EFI_SHELL_PARAMETERS_PROTOCOL tables whose
// entries are EFIAPI (ms_abi) functions, so the program's code runs through
// the very types and calls it uses in firmware. Defaults behave like a sound
// firmware; each test overrides what it needs (faults, files, handles).
//
// Choices a test should know:
// - Handles in creation order: the image (shell parameters), the shell, the
//   console; then whatever the test installs.
// - A faulted call returns its status and does nothing else: no output
//   recorded, no clock advance, out-pointers untouched.
// - Buffers that services hand back (LocateHandleBuffer's list,
//   GetFileInfo's record) come from the pool and count in its figures, but
//   are not AllocatePool calls: they are neither counted nor faulted as such.
// - Fresh pool memory is filled with 0xAF, never zero.
// - CloseProtocol, as in EDK2, closes every open of that handle, protocol,
//   agent and controller at once; OpenProtocol does not check the agent.
// - Directories refuse writes with EFI_ACCESS_DENIED.
// - Only plain names of the current directory: a name holding '\', '/' or
//   ':' fails the test. A handle outlives the deletion of its file.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
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
  Count
};

const char* ServiceName(Service s);

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

  // Files of the shell's current directory, by name (case-insensitive, as on
  // FAT). Contents are bytes.
  void PutFile(const std::string& name, const std::string& content);
  void MakeDirectory(const std::string& name);
  bool HasFile(const std::string& name) const;
  bool IsDirectory(const std::string& name) const;
  std::string FileContent(const std::string& name) const;
  // Files still open through the shell protocol.
  int OpenFiles() const;
  // How the shell's OpenFileByName with EFI_FILE_MODE_CREATE treats an
  // existing file: EDK2's shell keeps its content (default); some shells
  // truncate it.
  void SetCreateTruncates(bool truncates);

  // Shell parameters installed on the image handle.
  void SetArguments(const std::vector<std::u16string>& argv);

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace dbl
