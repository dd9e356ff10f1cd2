// Files in the folder that holds the program, on the volume it was loaded
// from, through the firmware's Simple File System: the place of a start
// without a shell.
#include "platform/file_ops.h"
#include "platform/services.h"

namespace {

constexpr UINT64 kWrite = EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE;
constexpr UINT64 kWriteCreate = kWrite | EFI_FILE_MODE_CREATE;
constexpr UINTN kPathChars = 256;
// A file path is a handful of nodes; more means a path this program does
// not understand, and a malformed one must not be walked forever.
constexpr UINTN kMaxPathNodes = 32;
constexpr UINTN kNodeHeader = 4;

constinit EFI_SIMPLE_FILE_SYSTEM_PROTOCOL* gVolume = nullptr;
// The program's folder from the volume's root, ending in '\'.
constinit CHAR16 gFolder[kPathChars] = {};
constinit UINTN gFolderLength = 0;

// Appends one file path node's text to `path`, with a '\' between nodes
// when neither side has one. Device paths are byte-packed: read bytes.
bool AppendNode(const UINT8* node, UINTN length, CHAR16* path, UINTN* used) {
  for (UINTN i = kNodeHeader; i + 1 < length; i += 2) {
    CHAR16 c = static_cast<CHAR16>(node[i] | node[i + 1] << 8);
    if (c == 0) break;
    bool joint = i == kNodeHeader && *used > 0 && path[*used - 1] != u'\\' && c != u'\\';
    if (*used + (joint ? 2 : 1) >= kPathChars) return false;
    if (joint) path[(*used)++] = u'\\';
    path[(*used)++] = c;
  }
  return true;
}

// The folder part of the image's file path: its file path nodes joined,
// cut after the last '\'. False for any other kind of node, or none.
bool ReadFolder(const EFI_DEVICE_PATH_PROTOCOL* filePath) {
  const auto* node = reinterpret_cast<const UINT8*>(filePath);
  UINTN used = 0;
  for (UINTN n = 0; node != nullptr && n < kMaxPathNodes; n++) {
    UINTN length = static_cast<UINTN>(node[2] | node[3] << 8);
    if (node[0] == END_DEVICE_PATH_TYPE) {
      if (n == 0) return false;
      while (used > 0 && gFolder[used - 1] != u'\\') used--;
      gFolder[used] = 0;
      gFolderLength = used;
      return true;
    }
    if (node[0] != MEDIA_DEVICE_PATH || node[1] != MEDIA_FILEPATH_DP || length < kNodeHeader)
      return false;
    if (!AppendNode(node, length, gFolder, &used)) return false;
    node += length;
  }
  return false;
}

EFI_STATUS OpenOn(EFI_HANDLE handle, EFI_GUID guid, void** found) {
  *found = nullptr;
  if (handle == nullptr) return EFI_INVALID_PARAMETER;
  return BootServices()->OpenProtocol(handle, &guid, found, ImageHandle(), nullptr,
                                      EFI_OPEN_PROTOCOL_GET_PROTOCOL);
}

void* GetProtocol(EFI_HANDLE handle, EFI_GUID guid) {
  void* found = nullptr;
  return EFI_ERROR(OpenOn(handle, guid, &found)) ? nullptr : found;
}

// --- The operations ----------------------------------------------------------------

EFI_STATUS Open(const char16_t* name, bool create, FileHandle* handle) {
  CHAR16 path[kPathChars];
  UINTN used = 0;
  for (; used < gFolderLength; used++) path[used] = gFolder[used];
  for (const char16_t* c = name; *c != 0; c++) {
    if (used + 1 >= kPathChars) return EFI_BAD_BUFFER_SIZE;
    path[used++] = static_cast<CHAR16>(*c);
  }
  path[used] = 0;

  EFI_FILE_PROTOCOL* root = nullptr;
  if (gVolume == nullptr) return EFI_UNSUPPORTED;
  EFI_STATUS status = gVolume->OpenVolume(gVolume, &root);
  if (EFI_ERROR(status)) return status;
  EFI_FILE_PROTOCOL* file = nullptr;
  status = root->Open(root, &file, path, create ? kWriteCreate : kWrite, 0);
  (void)root->Close(root);
  if (!EFI_ERROR(status)) *handle = file;
  return status;
}

bool Regular(FileHandle handle, UINT64* size) {
  auto* file = static_cast<EFI_FILE_PROTOCOL*>(handle);
  EFI_GUID guid = EFI_FILE_INFO_ID;
  // Room for the record and a name as long as any path we open.
  alignas(8) UINT8 buffer[offsetof(EFI_FILE_INFO, FileName) + kPathChars * sizeof(CHAR16)];
  UINTN length = sizeof buffer;
  if (EFI_ERROR(file->GetInfo(file, &guid, &length, buffer))) return false;
  const auto* info = reinterpret_cast<const EFI_FILE_INFO*>(buffer);
  if ((info->Attribute & EFI_FILE_DIRECTORY) != 0) return false;
  *size = info->FileSize;
  return true;
}

bool Remove(FileHandle handle) {
  auto* file = static_cast<EFI_FILE_PROTOCOL*>(handle);
  return file->Delete(file) == EFI_SUCCESS;  // a warning means it is still there
}

EFI_STATUS Write(FileHandle handle, const char* bytes, UINTN* count) {
  auto* file = static_cast<EFI_FILE_PROTOCOL*>(handle);
  return file->Write(file, count, const_cast<char*>(bytes));
}

EFI_STATUS Read(FileHandle handle, char* bytes, UINTN* count) {
  auto* file = static_cast<EFI_FILE_PROTOCOL*>(handle);
  return file->Read(file, count, bytes);
}

EFI_STATUS Seek(FileHandle handle, UINT64 position) {
  auto* file = static_cast<EFI_FILE_PROTOCOL*>(handle);
  return file->SetPosition(file, position);
}

EFI_STATUS Close(FileHandle handle) {
  auto* file = static_cast<EFI_FILE_PROTOCOL*>(handle);
  return file->Close(file);
}

}  // namespace

constexpr FileOps kVolumeFileOps = {Open, Regular, Remove, Write, Read, Seek, Close};

bool LoadedFromNetwork(EFI_HANDLE image) {
  auto* loaded =
      static_cast<EFI_LOADED_IMAGE_PROTOCOL*>(GetProtocol(image, EFI_LOADED_IMAGE_PROTOCOL_GUID));
  void* volume = nullptr;
  return loaded != nullptr &&
         OpenOn(loaded->DeviceHandle, EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID, &volume) == EFI_UNSUPPORTED;
}

bool VolumeBindProgramFolder(EFI_HANDLE image) {
  gVolume = nullptr;
  gFolderLength = 0;
  auto* loaded =
      static_cast<EFI_LOADED_IMAGE_PROTOCOL*>(GetProtocol(image, EFI_LOADED_IMAGE_PROTOCOL_GUID));
  if (loaded == nullptr || !ReadFolder(loaded->FilePath)) return false;
  gVolume = static_cast<EFI_SIMPLE_FILE_SYSTEM_PROTOCOL*>(
      GetProtocol(loaded->DeviceHandle, EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID));
  return gVolume != nullptr;
}
