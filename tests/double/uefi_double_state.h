// The double's inner state, shared by its three source files: the public
// face (uefi_double.cpp), the boot services (uefi_double_boot.cpp) and the
// shell (uefi_double_shell.cpp). Nothing outside tests/double includes it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/double/uefi_double.h"

namespace dbl::detail {

constexpr size_t kServices = static_cast<size_t>(Service::Count);

// The double refuses sizes no test needs, so a garbage length from the
// program becomes a failing status instead of an allocator abort.
constexpr size_t kPoolLimit = size_t{256} << 20;
constexpr size_t kFileLimit = size_t{64} << 20;

// Fresh pool memory is filled with this, as uninitialised memory would be,
// so code that reads a buffer before writing it sees a recognisable value.
constexpr unsigned char kPoolPoison = 0xAF;

constexpr EFI_GUID kShellGuid = EFI_SHELL_PROTOCOL_GUID;
constexpr EFI_GUID kShellParametersGuid = EFI_SHELL_PARAMETERS_PROTOCOL_GUID;
constexpr EFI_GUID kTextOutGuid = EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL_GUID;
constexpr EFI_GUID kTextInGuid = EFI_SIMPLE_TEXT_INPUT_PROTOCOL_GUID;

bool SameGuid(const EFI_GUID& a, const EFI_GUID& b);

// One handle of the database; the handle value is this record's address.
struct HandleEntry {
  std::vector<std::pair<EFI_GUID, void*>> protocols;
  void* Find(const EFI_GUID& guid) const;
};

// One OpenProtocol not yet closed.
struct OpenEntry {
  EFI_HANDLE handle;
  EFI_GUID guid;
  EFI_HANDLE agent;
  EFI_HANDLE controller;
};

struct Fault {
  uint64_t nth;
  bool onward;  // FailFrom: every call from nth on
  EFI_STATUS status;
};

// A file or directory of the shell's current directory. Open handles share
// it, so a handle outlives the deletion of its file (it then writes to a
// file no longer listed), as with an unlinked file on a host system.
struct FileNode {
  std::u16string name;  // as created
  std::string content;
  bool directory;
};

// One SHELL_FILE_HANDLE; the handle value is this record's address.
struct OpenFile {
  std::shared_ptr<FileNode> node;
  uint64_t position;
  bool writable;
};

struct State {
  explicit State(UefiDouble& owner);
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State();

  UefiDouble& owner;

  // The tables the program reaches through the system table.
  EFI_SYSTEM_TABLE system{};
  EFI_BOOT_SERVICES boot{};
  SIMPLE_TEXT_OUTPUT_INTERFACE conOut{};
  SIMPLE_TEXT_OUTPUT_MODE conOutMode{};
  SIMPLE_INPUT_INTERFACE conIn{};
  EFI_SHELL_PROTOCOL shell{};
  EFI_SHELL_PARAMETERS_PROTOCOL parameters{};
  std::vector<std::u16string> argv;
  std::vector<CHAR16*> argvPointers;

  // Handle database, in creation order.
  std::vector<std::unique_ptr<HandleEntry>> handles;
  std::vector<OpenEntry> opens;
  EFI_HANDLE image = nullptr;

  // Call counts and armed faults, per service.
  std::array<uint64_t, kServices> calls{};
  std::array<std::vector<Fault>, kServices> faults;

  // Virtual clock.
  uint64_t micros = 0;
  uint64_t stallCalls = 0;
  std::map<uint64_t, uint64_t> stallsByLength;

  // Pool.
  std::map<void*, PoolBlock> blocks;
  size_t poolBytes = 0;
  size_t poolHighWater = 0;
  uint64_t poolAllocations = 0;

  // Console.
  std::vector<std::u16string> output;

  // Files, keyed by folded name.
  std::map<std::u16string, std::shared_ptr<FileNode>> files;
  std::map<void*, std::unique_ptr<OpenFile>> openFiles;
  bool createTruncates = false;

  // Counts the call, runs the hook, and answers the armed fault if any.
  std::optional<EFI_STATUS> Enter(Service s);

  EFI_HANDLE NewHandle();
  HandleEntry* FindHandle(EFI_HANDLE handle) const;
  void* FirstInterface(const EFI_GUID& guid) const;

  // The pool's own allocations, for the program's AllocatePool and for the
  // buffers that services hand back (handle lists, file information).
  void* PoolTake(EFI_MEMORY_TYPE type, size_t size);
  bool PoolGive(void* block);

  // File handles given by the shell; a handle the shell never gave (or
  // already took back) fails the test, naming the service.
  OpenFile* FindOpenFile(SHELL_FILE_HANDLE handle, const char* service);
  EFI_STATUS OpenByName(const CHAR16* name, bool create, bool directory,
                        bool writable, SHELL_FILE_HANDLE* out);
  void SetArguments(const std::vector<std::u16string>& args);
};

// The live instance; aborts when there is none, so a call through a stale
// table never runs on freed state.
State& Live();
extern State* g_live;

// Fill the tables (each file owns the entries it implements).
void FillBootServices(State& d);
void FillShell(State& d);
void FillConsole(State& d);

// Names are compared as FAT does: ASCII letters without case.
std::u16string Fold(const std::u16string& name);
std::u16string Widen(const std::string& text);

}  // namespace dbl::detail
