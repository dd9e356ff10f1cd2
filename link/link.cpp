#include "link/link.h"

#include "link/gop.h"
#include "link/run_state.h"
#include "output/console.h"
#include "platform/services.h"

// Filled by identification; read here on every call.
constinit RunState gRunState = {};

namespace {

struct LinkMessages {
  const char16_t* lookup;
  const char16_t* open;
  const char16_t* call;
  const char16_t* close;
};

constexpr LinkMessages kReadDpcd = {
    u"ERROR : Can't get GopNative Protocol.\n", u"ERROR : Open GopNative Protocol failed.\n",
    u"ERROR : ReadDPCD failed.\n", u"ERROR : Close ReadDPCD device handle failed.\n"};
constexpr LinkMessages kWriteDpcd = {
    u"ERROR : Can't get GopNative Protocol.\n", u"ERROR : Open GopNative Protocol failed.\n",
    u"ERROR : WriteDPCD failed.\n", u"ERROR : Close WriteDPCD device handle failed.\n"};
constexpr LinkMessages kI2cRead = {
    u"ERROR : Can't get GopI2c Protocol.\n", u"ERROR : Open GopI2c Protocol failed.\n",
    u"ERROR : I2CProtocolRead failed.\n", u"ERROR : Close I2CProtocolRead device handle failed.\n"};
constexpr LinkMessages kI2cWrite = {
    u"ERROR : Can't get GopI2c Protocol.\n", u"ERROR : Open GopI2c Protocol failed.\n",
    u"ERROR : I2CProtocolWrite failed.\n",
    u"ERROR : Close I2CProtocolWrite device handle failed.\n"};

// One failure's line on the wide console, unless the run is silent.
void Say(const char16_t* message) {
  if (!gRunState.silent) ConPrint(message);
}

// Returns the lookup's handle list to the pool on every way out.
struct HandleListGuard {
  EFI_HANDLE* handles;
  ~HandleListGuard() {
    if (handles != nullptr) PoolFree(handles);
  }
};

using DriverCall = EFI_STATUS (*)(void* protocol, void* context);
using RecordCheck = bool (*)(const void* protocol);

// What an open that succeeded but handed back nothing callable returns: the
// handle does not really carry the protocol.
constexpr EFI_STATUS kUnusableRecord = EFI_UNSUPPORTED;

// A driver may answer the open with success and still hand back a null
// interface, or a record with a null function; calling through either would
// crash the firmware, so such a handle counts as one whose open failed.
template <typename Protocol>
bool Callable(const void* protocol) {
  const auto* record = static_cast<const Protocol*>(protocol);
  return record != nullptr && record->read != nullptr && record->write != nullptr;
}

// Lookup, then open / driver call / close on each handle in list order. The
// first failure ends the loop; a handle whose call failed stays open, as the
// driver may be left in any state. One copy for all four operations keeps
// the image small; the call itself goes through `call`.
EFI_STATUS EachHandle(const EFI_GUID& guid, const LinkMessages& messages, bool reportCall,
                      RecordCheck callable, DriverCall call, void* context) {
  EFI_GUID* id = const_cast<EFI_GUID*>(&guid);
  UINTN count = 0;
  EFI_HANDLE* handles = nullptr;
  EFI_STATUS status = BootServices()->LocateHandleBuffer(ByProtocol, id, nullptr, &count, &handles);
  if (EFI_ERROR(status)) {
    Say(messages.lookup);
    return status;
  }
  HandleListGuard guard{handles};
  for (UINTN i = 0; i < count; i++) {
    void* found = nullptr;
    status = BootServices()->OpenProtocol(handles[i], id, &found, ImageHandle(), nullptr,
                                          EFI_OPEN_PROTOCOL_GET_PROTOCOL);
    if (!EFI_ERROR(status) && !callable(found)) status = kUnusableRecord;
    if (EFI_ERROR(status)) {
      Say(messages.open);
      return status;
    }
    status = call(found, context);
    if (EFI_ERROR(status)) {
      if (reportCall) Say(messages.call);
      return status;
    }
    status = BootServices()->CloseProtocol(handles[i], id, ImageHandle(), nullptr);
    if (EFI_ERROR(status)) {
      Say(messages.close);
      return status;
    }
  }
  return EFI_SUCCESS;
}

template <typename Protocol, typename Call>
EFI_STATUS ForEachHandle(const EFI_GUID& guid, const LinkMessages& messages, bool reportCall,
                         Call call) {
  DriverCall thunk = [](void* protocol, void* context) {
    return (*static_cast<Call*>(context))(*static_cast<Protocol*>(protocol));
  };
  return EachHandle(guid, messages, reportCall, Callable<Protocol>, thunk, &call);
}

}  // namespace

EFI_STATUS ReadDPCD(UINT32 address, UINT8* value) {
  return ForEachHandle<GopNativeProtocol>(kGopNativeGuid, kReadDpcd, true, [&](GopNativeProtocol& gop) {
    return gop.read(gRunState.port, address, 1, value);
  });
}

EFI_STATUS WriteDPCD(UINT32 address, UINT8 value) {
  return ForEachHandle<GopNativeProtocol>(kGopNativeGuid, kWriteDpcd, true, [&](GopNativeProtocol& gop) {
    UINT8 source = value;
    return gop.write(gRunState.port, address, 1, &source);
  });
}

EFI_STATUS I2CProtocolRead(UINT8 slave, UINT32 count, UINT8* buffer) {
  if (count == 0 || count > kI2cMaxRead) return EFI_INVALID_PARAMETER;
  bool report = gRunState.reportI2cReadErrors != 0;
  return ForEachHandle<GopI2cProtocol>(kGopI2cGuid, kI2cRead, report, [&](GopI2cProtocol& gop) {
    // Cleared so that a failing driver can never hand back stack garbage.
    UINT8 staging[kI2cMaxRead] = {};
    GopI2cOffset offset = {0, kI2cOffsetRecordSecond};
    EFI_STATUS status = gop.read(gRunState.port, slave, &offset, count, staging);
    for (UINT32 i = 0; i < count; i++) buffer[i] = staging[i];
    return status;
  });
}

EFI_STATUS I2CProtocolWrite(UINT8 slave, UINT8 offset, UINT8 value) {
  return ForEachHandle<GopI2cProtocol>(kGopI2cGuid, kI2cWrite, true, [&](GopI2cProtocol& gop) {
    UINT8 staging[kI2cMaxRead] = {};
    staging[0] = value;
    GopI2cOffset record = {offset, kI2cOffsetRecordSecond};
    return gop.write(gRunState.port, slave, &record, 1, staging);
  });
}
