// The double's inner state, shared by its source files: the public face
// (uefi_double.cpp), the boot services and console (uefi_double_boot.cpp),
// the files both the shell and the volume serve (uefi_double_files.cpp), the
// shell (uefi_double_shell.cpp) and the volume with the program's Loaded
// Image (uefi_double_volume.cpp). Nothing outside tests/double includes it.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/efi_network.h"
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
constexpr EFI_GUID kLoadedImageGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
constexpr EFI_GUID kFileSystemGuid = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;
constexpr EFI_GUID kFileInfoGuid = EFI_FILE_INFO_ID;
constexpr EFI_GUID kDevicePathGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;

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

// A file or directory of the volume; the shell's current directory is its
// root. Open handles share it, so a handle outlives the deletion of its file
// (it then writes to a file no longer listed), as with an unlinked file on a
// host system.
struct FileNode {
  std::u16string key;   // folded path from the root, '\' between names; "" for the root
  std::u16string name;  // the last name, as created
  std::string content;
  bool directory;
};

// One open file, by either door: a SHELL_FILE_HANDLE is this record's
// address; an EFI_FILE_PROTOCOL handle is its `protocol` member.
struct OpenFile {
  EFI_FILE_PROTOCOL protocol{};
  std::shared_ptr<FileNode> node;
  uint64_t position = 0;
  bool writable = false;
};

// A key typed on the console, available from `at` on the virtual clock.
struct TypedKey {
  uint64_t at;
  char16_t character;
};

// A firmware variable, keyed by name and vendor GUID.
struct Variable {
  std::string data;
  uint32_t attributes = 0;
};
using VariableKey = std::pair<std::u16string, std::array<uint8_t, 16>>;
std::array<uint8_t, 16> GuidKey(const EFI_GUID& guid);

// An event the program made; its handle is this record's address.
struct EventEntry {
  uint32_t type;
  bool signaled = false;
  EFI_EVENT_NOTIFY notify = nullptr;
  void* context = nullptr;
  std::optional<std::array<uint8_t, 16>> group;  // CreateEventEx's group
  uint64_t made = 0;                             // creation order
};

// A token the double's HTTP holds until the virtual clock reaches `at`.
struct PendingToken {
  EFI_HTTP_TOKEN* token;
  bool response;
  std::optional<uint64_t> at;  // never when empty
};

// One child of the HTTP service binding and its protocol.
struct HttpChild {
  EFI_HTTP_PROTOCOL protocol{};
  EFI_HANDLE handle = nullptr;
  bool configured = false;
  bool http11 = false, defaultAddress = false;
  bool requested = false;
  size_t seen = 0;  // the request's place in httpRequests
  HttpAnswer answer;
  std::vector<PendingToken> pending;
};

// The card and the device of a network start (NetworkBoot).
struct Network {
  NetworkBoot boot;
  EFI_HANDLE card = nullptr;
  std::vector<uint8_t> cardPath, devicePath;
  EFI_SIMPLE_NETWORK_PROTOCOL snp{};
  EFI_SIMPLE_NETWORK_MODE snpMode{};
  EFI_PXE_BASE_CODE_PROTOCOL pxe{};
  EFI_PXE_BASE_CODE_MODE pxeMode{};
  EFI_SERVICE_BINDING binding{};
  EFI_IP4_CONFIG2_PROTOCOL ip4Config{};
  EFI_IP4_CONFIG2_POLICY policy = Ip4Config2PolicyStatic;
  std::optional<uint64_t> addressAt;  // none yet when empty
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

  // Files, keyed by folded path; open handles of the shell and the volume.
  std::shared_ptr<FileNode> root;
  std::map<std::u16string, std::shared_ptr<FileNode>> files;
  std::map<void*, std::unique_ptr<OpenFile>> openFiles;
  std::map<void*, std::unique_ptr<OpenFile>> volumeFiles;
  bool createTruncates = false;
  bool readOnly = false;

  // The volume and the program's Loaded Image.
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL fileSystem{};
  EFI_HANDLE volume = nullptr;
  EFI_LOADED_IMAGE_PROTOCOL loadedImage{};
  std::vector<uint8_t> imagePath;

  // The clock and the configuration tables; the SMBIOS tables live below
  // 4 GiB, where a 2.x entry point can point.
  EFI_RUNTIME_SERVICES runtime{};
  EFI_TIME time{};
  std::vector<EFI_CONFIGURATION_TABLE> configuration;
  uint8_t* lowMemory = nullptr;

  // Firmware variables and the reset.
  std::map<VariableKey, Variable> variables;
  std::vector<VariableWrite> variableWrites;
  size_t variableRoom = 64 * 1024;
  bool variablesReadOnly = false;
  std::optional<EFI_RESET_TYPE> reset;

  // Events, the network card of a network start and its HTTP.
  std::map<void*, std::unique_ptr<EventEntry>> events;
  uint64_t eventsMade = 0;
  std::unique_ptr<Network> network;
  std::vector<std::unique_ptr<HttpChild>> httpChildren;
  std::deque<HttpAnswer> httpAnswers;
  std::vector<HttpRequestSeen> httpRequests;

  // Console input and the watchdog.
  std::deque<TypedKey> keys;
  uint64_t watchdogSeconds = 0;
  uint64_t watchdogArmedAt = 0;
  bool watchdogFired = false;

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
  // True when every folder on the way to `key` is there (made when
  // `create` is set); false when one is missing or is a file.
  bool MakeParents(const std::u16string& key, bool create);
  void Unlist(const std::shared_ptr<FileNode>& node);
  void SetArguments(const std::vector<std::u16string>& args);
  void SetImagePath(const std::vector<std::u16string>& nodes);
  void SetImageDevicePath(const std::vector<uint8_t>& bytes);
};

// The live instance; aborts when there is none, so a call through a stale
// table never runs on freed state.
State& Live();
extern State* g_live;

// Fill the tables (each file owns the entries it implements).
void FillBootServices(State& d);
void FillShell(State& d);
void FillConsole(State& d);
void FillVolume(State& d);
void FillRuntime(State& d);
void FillVariables(State& d);
void FillEvents(State& d);

// Events, for the double's HTTP: the program's event behind a handle (null
// when it made none such), and its signal.
EventEntry* FindEvent(State& d, EFI_EVENT event);
void Signal(State& d, EFI_EVENT event);
void ReleaseTables(State& d);

// What both doors to a file share (uefi_double_files.cpp). Each returns a
// status and leaves out-values untouched on failure.
EFI_STATUS FileWriteAt(State& d, OpenFile& f, UINTN* size, const void* buffer);
EFI_STATUS FileReadAt(OpenFile& f, UINTN* size, void* buffer);
EFI_STATUS FileSetPositionTo(OpenFile& f, UINT64 position);
// The file's EFI_FILE_INFO, header and name, as the firmware lays it out.
std::vector<unsigned char> FileInfoOf(const FileNode& node);
EFI_STATUS FileSetInfoFrom(State& d, OpenFile& f, const EFI_FILE_INFO* info);

// The path of a node: `base` (a folded key) joined with `path` ('\' between
// names, a leading '\' from the root, "." and ".." as usual), folded. False
// when ".." climbs above the root.
bool JoinPath(const std::u16string& base, const std::u16string& path, std::u16string* key);
// The last name of a path, as given.
std::u16string LastName(const std::u16string& path);

// Names are compared as FAT does: ASCII letters without case.
std::u16string Fold(const std::u16string& name);
std::u16string Widen(const std::string& text);

}  // namespace dbl::detail

namespace dbl {
// The public face's handle on the state; every source file of the double
// may reach it.
struct UefiDouble::Impl : detail::State {
  using State::State;
};
}  // namespace dbl
