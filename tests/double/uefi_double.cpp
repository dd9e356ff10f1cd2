// The double's public face: construction of the live instance, the handle
// database's test-side entry, faults, the clock, pool and console queries.
#include "tests/double/uefi_double.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/double/uefi_double_state.h"

namespace dbl {

namespace detail {

State* g_live = nullptr;

State& Live() {
  if (g_live == nullptr) {
    std::fprintf(stderr, "uefi_double: a UEFI service was called with no live UefiDouble\n");
    std::abort();
  }
  return *g_live;
}

bool SameGuid(const EFI_GUID& a, const EFI_GUID& b) {
  return std::memcmp(&a, &b, sizeof(EFI_GUID)) == 0;
}

void* HandleEntry::Find(const EFI_GUID& guid) const {
  for (const auto& [g, iface] : protocols)
    if (SameGuid(g, guid)) return iface;
  return nullptr;
}

std::u16string Fold(const std::u16string& name) {
  std::u16string folded = name;
  for (char16_t& c : folded)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return folded;
}

std::u16string Widen(const std::string& text) {
  std::u16string wide;
  for (char c : text) wide.push_back(static_cast<unsigned char>(c));
  return wide;
}

State::State(UefiDouble& o) : owner(o) {
  FillBootServices(*this);
  FillConsole(*this);
  FillShell(*this);
  FillVolume(*this);
  FillRuntime(*this);
  FillVariables(*this);
  FillEvents(*this);
  root = std::make_shared<FileNode>(FileNode{u"", u"", {}, true});

  system.Hdr.Signature = EFI_SYSTEM_TABLE_SIGNATURE;
  system.Hdr.Revision = EFI_SYSTEM_TABLE_REVISION;
  system.Hdr.HeaderSize = sizeof(EFI_SYSTEM_TABLE);
  system.FirmwareVendor = Wide(u"Pellory UEFI double");
  system.BootServices = &boot;
  system.RuntimeServices = &runtime;
  system.ConIn = &conIn;
  system.ConOut = &conOut;
  system.StdErr = &conOut;

  // The image first: handle order is creation order, and tests reason
  // about the handles they add after it.
  image = NewHandle();
  handles.back()->protocols.emplace_back(kShellParametersGuid, &parameters);
  NewHandle();
  handles.back()->protocols.emplace_back(kShellGuid, &shell);
  EFI_HANDLE console = NewHandle();
  handles.back()->protocols.emplace_back(kTextOutGuid, &conOut);
  handles.back()->protocols.emplace_back(kTextInGuid, &conIn);
  system.ConsoleInHandle = console;
  system.ConsoleOutHandle = console;
  system.StandardErrorHandle = console;
  volume = NewHandle();
  handles.back()->protocols.emplace_back(kFileSystemGuid, &fileSystem);

  loadedImage.Revision = EFI_LOADED_IMAGE_PROTOCOL_REVISION;
  loadedImage.SystemTable = &system;
  loadedImage.DeviceHandle = volume;
  loadedImage.ImageCodeType = EfiLoaderCode;
  loadedImage.ImageDataType = EfiLoaderData;
  HandleEntry* imageEntry = FindHandle(image);
  imageEntry->protocols.emplace_back(kLoadedImageGuid, &loadedImage);
  SetImagePath({u"\\pellory.efi"});
  SetArguments({u"pellory.efi"});
}

State::~State() {
  // Outstanding blocks are the test's to assert on; here they only go back
  // to the host so the sanitizers report the double's own leaks alone.
  for (auto& [block, info] : blocks) std::free(block);
  ReleaseTables(*this);
}

std::optional<EFI_STATUS> State::Enter(Service s) {
  const auto index = static_cast<size_t>(s);
  const uint64_t n = ++calls[index];
  // ResetSystem does not return on a machine: nothing runs after it.
  if (reset) ADD_FAILURE() << ServiceName(s) << " called after ResetSystem";
  if (owner.onCall) owner.onCall(s, n);
  for (const Fault& f : faults[index])
    if (n == f.nth || (f.onward && n > f.nth)) return f.status;
  return std::nullopt;
}

EFI_HANDLE State::NewHandle() {
  handles.push_back(std::make_unique<HandleEntry>());
  return handles.back().get();
}

HandleEntry* State::FindHandle(EFI_HANDLE handle) const {
  for (const auto& h : handles)
    if (h.get() == handle) return h.get();
  return nullptr;
}

void* State::FirstInterface(const EFI_GUID& guid) const {
  for (const auto& h : handles)
    if (void* iface = h->Find(guid)) return iface;
  return nullptr;
}

void* State::PoolTake(EFI_MEMORY_TYPE type, size_t size) {
  if (size > kPoolLimit) return nullptr;
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) return nullptr;
  std::memset(block, kPoolPoison, size);
  blocks[block] = PoolBlock{type, size};
  poolBytes += size;
  poolHighWater = std::max(poolHighWater, poolBytes);
  ++poolAllocations;
  return block;
}

bool State::PoolGive(void* block) {
  auto it = blocks.find(block);
  if (it == blocks.end()) return false;
  poolBytes -= it->second.size;
  blocks.erase(it);
  std::free(block);
  return true;
}

void State::SetImagePath(const std::vector<std::u16string>& nodes) {
  std::vector<uint8_t> bytes;
  for (const std::u16string& node : nodes) {
    const size_t length = 4 + (node.size() + 1) * sizeof(CHAR16);
    bytes.insert(bytes.end(), {MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP,
                               static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)});
    for (char16_t c : node) bytes.insert(bytes.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
    bytes.insert(bytes.end(), {0, 0});
  }
  bytes.insert(bytes.end(), {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4, 0});
  SetImageDevicePath(bytes);
}

void State::SetImageDevicePath(const std::vector<uint8_t>& bytes) {
  imagePath = bytes;
  loadedImage.FilePath = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL*>(imagePath.data());
}

void State::SetArguments(const std::vector<std::u16string>& args) {
  argv = args;
  argvPointers.clear();
  for (std::u16string& a : argv) argvPointers.push_back(reinterpret_cast<CHAR16*>(a.data()));
  argvPointers.push_back(nullptr);  // as C's argv, for code that walks to the end
  parameters.Argv = argvPointers.data();
  parameters.Argc = argv.size();
}

}  // namespace detail

const char* ServiceName(Service s) {
  static constexpr const char* kNames[] = {
      "LocateHandleBuffer",  "OpenProtocol",         "CloseProtocol",
      "HandleProtocol",      "LocateProtocol",       "InstallProtocolInterface",
      "Stall",               "AllocatePool",         "FreePool",
      "OutputString",        "ShellOpenFileByName",  "ShellCreateFile",
      "ShellGetFileInfo",    "ShellSetFileInfo",     "ShellGetFileSize",
      "ShellWriteFile",      "ShellFlushFile",       "ShellCloseFile",
      "ShellDeleteFile",     "ShellDeleteFileByName", "ShellReadFile",
      "ShellGetFilePosition", "ShellSetFilePosition", "SetWatchdogTimer",
      "ReadKeyStroke",       "OpenVolume",           "FileOpen",
      "FileClose",           "FileDelete",           "FileRead",
      "FileWrite",           "FileGetPosition",      "FileSetPosition",
      "FileGetInfo",         "FileSetInfo",          "FileFlush",
      "GetTime",             "GetVariable",          "SetVariable",
      "ResetSystem",         "CreateEvent",          "CreateEventEx",        "CheckEvent",
      "CloseEvent",          "LocateDevicePath",     "HttpCreateChild",
      "HttpDestroyChild",    "HttpConfigure",        "HttpRequest",
      "HttpResponse",        "HttpPoll",             "HttpCancel",
      "Ip4Config2GetData",   "Ip4Config2SetData",
  };
  static_assert(std::size(kNames) == detail::kServices);
  const auto index = static_cast<size_t>(s);
  return index < detail::kServices ? kNames[index] : "?";
}

UefiDouble::UefiDouble() {
  if (detail::g_live != nullptr) {
    std::fprintf(stderr, "uefi_double: a second UefiDouble while one is live\n");
    std::abort();
  }
  impl_ = new Impl(*this);
  detail::g_live = impl_;
}

UefiDouble::~UefiDouble() {
  detail::g_live = nullptr;
  delete impl_;
}

UefiDouble& UefiDouble::Live() { return detail::Live().owner; }

EFI_SYSTEM_TABLE* UefiDouble::SystemTable() { return &impl_->system; }
EFI_HANDLE UefiDouble::ImageHandle() { return impl_->image; }

EFI_HANDLE UefiDouble::Install(const EFI_GUID& guid, void* iface, EFI_HANDLE handle) {
  if (handle == nullptr) handle = impl_->NewHandle();
  detail::HandleEntry* entry = impl_->FindHandle(handle);
  if (entry == nullptr) {
    ADD_FAILURE() << "Install on a handle the double never made";
    return nullptr;
  }
  if (entry->Find(guid) != nullptr) {
    ADD_FAILURE() << "Install of a protocol the handle already carries";
    return handle;
  }
  entry->protocols.emplace_back(guid, iface);
  return handle;
}

int UefiDouble::OpenCount() const { return static_cast<int>(impl_->opens.size()); }

void UefiDouble::FailAt(Service s, uint64_t nth, EFI_STATUS status) {
  impl_->faults[static_cast<size_t>(s)].push_back({nth, false, status});
}

void UefiDouble::FailFrom(Service s, uint64_t nth, EFI_STATUS status) {
  impl_->faults[static_cast<size_t>(s)].push_back({nth, true, status});
}

uint64_t UefiDouble::Calls(Service s) const { return impl_->calls[static_cast<size_t>(s)]; }

uint64_t UefiDouble::Microseconds() const { return impl_->micros; }
uint64_t UefiDouble::StallCalls() const { return impl_->stallCalls; }

uint64_t UefiDouble::StallCalls(uint64_t micros) const {
  auto it = impl_->stallsByLength.find(micros);
  return it == impl_->stallsByLength.end() ? 0 : it->second;
}

size_t UefiDouble::PoolBytesOutstanding() const { return impl_->poolBytes; }
size_t UefiDouble::PoolBlocksOutstanding() const { return impl_->blocks.size(); }
size_t UefiDouble::PoolHighWaterBytes() const { return impl_->poolHighWater; }
uint64_t UefiDouble::PoolAllocations() const { return impl_->poolAllocations; }
const std::map<void*, PoolBlock>& UefiDouble::PoolBlocks() const { return impl_->blocks; }

const std::vector<std::u16string>& UefiDouble::OutputCalls() const { return impl_->output; }

std::string UefiDouble::Console() const {
  std::string text;
  for (const std::u16string& call : impl_->output)
    for (char16_t c : call) text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return text;
}

void UefiDouble::ClearConsole() { impl_->output.clear(); }

void UefiDouble::SetCreateTruncates(bool truncates) { impl_->createTruncates = truncates; }

void UefiDouble::SetArguments(const std::vector<std::u16string>& argv) {
  impl_->SetArguments(argv);
}

void UefiDouble::TypeKey(uint64_t atMicroseconds, char16_t character) {
  auto& keys = impl_->keys;
  auto later = std::upper_bound(keys.begin(), keys.end(), atMicroseconds,
                                [](uint64_t at, const detail::TypedKey& k) { return at < k.at; });
  keys.insert(later, {atMicroseconds, character});
}

size_t UefiDouble::KeysWaiting() const { return impl_->keys.size(); }
uint64_t UefiDouble::WatchdogSeconds() const { return impl_->watchdogSeconds; }
bool UefiDouble::WatchdogFired() const { return impl_->watchdogFired; }

}  // namespace dbl
