#include "platform/boot_server.h"

#include "platform/efi_network.h"
#include "platform/services.h"
#include "text/text.h"

namespace {

// The interface information and a route table larger than any card has.
constexpr UINTN kInterfaceInfoRoom = sizeof(EFI_IP4_CONFIG2_INTERFACE_INFO) + 32 * sizeof(EFI_IP4_ROUTE_TABLE);
constexpr UINTN kDecimalMax = 24;
constexpr UINTN kMaxPathNodes = 32;
constexpr UINTN kNodeHeader = 4;

CHAR8* Ascii(const char* text) { return reinterpret_cast<CHAR8*>(const_cast<char*>(text)); }

template <typename Protocol>
Protocol* Open(EFI_HANDLE handle, EFI_GUID guid) {
  void* found = nullptr;
  if (handle == nullptr ||
      EFI_ERROR(BootServices()->OpenProtocol(handle, &guid, &found, ImageHandle(), nullptr,
                                             EFI_OPEN_PROTOCOL_GET_PROTOCOL)))
    return nullptr;
  return static_cast<Protocol*>(found);
}

// --- Where the program came from ---------------------------------------------------

// The URI node of an HTTP boot's device path, copied and terminated.
bool ReadBootUri(const EFI_DEVICE_PATH_PROTOCOL* path, char* uri) {
  const auto* node = reinterpret_cast<const UINT8*>(path);
  for (UINTN n = 0; n < kMaxPathNodes && node[0] != END_DEVICE_PATH_TYPE; n++) {
    const UINTN length = static_cast<UINTN>(node[2] | node[3] << 8);
    if (length < kNodeHeader) return false;
    if (node[0] == MESSAGING_DEVICE_PATH && node[1] == MSG_URI_DP) {
      const UINTN chars = length - kNodeHeader;
      if (chars == 0 || chars >= kBootUriMax) return false;
      for (UINTN i = 0; i < chars; i++) uri[i] = static_cast<char>(node[kNodeHeader + i]);
      uri[chars] = 0;
      return true;
    }
    node += length;
  }
  return false;
}

// The server the firmware's PXE took the program from: the next-server
// address of the packet it booted by, the PXE server's reply before a
// proxy's offer before the DHCP server's own answer, as the PXE driver
// itself chooses.
bool ReadPxeServer(EFI_HANDLE device, UINT8* server) {
  auto* pxe = Open<EFI_PXE_BASE_CODE_PROTOCOL>(device, EFI_PXE_BASE_CODE_PROTOCOL_GUID);
  if (pxe == nullptr || pxe->Mode == nullptr) return false;
  const EFI_PXE_BASE_CODE_MODE& mode = *pxe->Mode;
  if (!mode.DhcpAckReceived) return false;
  const EFI_PXE_BASE_CODE_PACKET& packet = mode.PxeReplyReceived     ? mode.PxeReply
                                           : mode.ProxyOfferReceived ? mode.ProxyOffer
                                                                     : mode.DhcpAck;
  bool any = false;
  for (UINTN i = 0; i < 4; i++) {
    server[i] = packet.Dhcpv4.BootpSiAddr[i];
    any = any || server[i] != 0;
  }
  return any;
}

// --- The address and the exchange --------------------------------------------------

bool HasAddress(EFI_IP4_CONFIG2_PROTOCOL* config) {
  alignas(8) UINT8 room[kInterfaceInfoRoom];
  UINTN size = sizeof room;
  if (EFI_ERROR(config->GetData(config, Ip4Config2DataTypeInterfaceInfo, &size, room))) return false;
  const EFI_IPv4_ADDRESS& a = reinterpret_cast<const EFI_IP4_CONFIG2_INTERFACE_INFO*>(room)->StationAddress;
  return (a.Addr[0] | a.Addr[1] | a.Addr[2] | a.Addr[3]) != 0;
}

// The card's IPv4 needs a station address before any connection (else
// EFI_NO_MAPPING). A boot may leave the card without one, its DHCP off:
// turn DHCP on and wait for the address.
bool AddressReady(EFI_HANDLE card) {
  auto* config = Open<EFI_IP4_CONFIG2_PROTOCOL>(card, kIp4Config2Guid);
  if (config == nullptr) return false;
  for (UINTN waited = 0;; waited += kBootServerPollMicroseconds) {
    if (HasAddress(config)) return true;
    if (waited >= kBootServerWaitMicroseconds) return false;
    if (waited == 0) {
      EFI_IP4_CONFIG2_POLICY policy = Ip4Config2PolicyStatic;
      UINTN size = sizeof policy;
      if (EFI_ERROR(config->GetData(config, Ip4Config2DataTypePolicy, &size, &policy)) ||
          policy != Ip4Config2PolicyDhcp) {
        policy = Ip4Config2PolicyDhcp;
        (void)config->SetData(config, Ip4Config2DataTypePolicy, sizeof policy, &policy);
      }
    }
    StallMicroseconds(kBootServerPollMicroseconds);
  }
}

// Polls until `token` completes or the PUT's time is spent; cancels it then.
bool Await(EFI_HTTP_PROTOCOL* http, EFI_HTTP_TOKEN* token, UINTN* waited) {
  for (;; *waited += kBootServerPollMicroseconds) {
    (void)http->Poll(http);
    if (BootServices()->CheckEvent(token->Event) == EFI_SUCCESS) return !EFI_ERROR(token->Status);
    if (*waited >= kBootServerWaitMicroseconds) {
      (void)http->Cancel(http, token);
      return false;
    }
    StallMicroseconds(kBootServerPollMicroseconds);
  }
}

// The headers a response brings are the caller's to give back.
void FreeHeaders(const EFI_HTTP_MESSAGE& message) {
  if (message.Headers == nullptr) return;
  for (UINTN i = 0; i < message.HeaderCount; i++) {
    if (message.Headers[i].FieldName != nullptr) PoolFree(message.Headers[i].FieldName);
    if (message.Headers[i].FieldValue != nullptr) PoolFree(message.Headers[i].FieldValue);
  }
  PoolFree(message.Headers);
}

struct Events {
  EFI_EVENT request = nullptr, response = nullptr;
  ~Events() {
    if (request != nullptr) (void)BootServices()->CloseEvent(request);
    if (response != nullptr) (void)BootServices()->CloseEvent(response);
  }
};

// Sends the request, then waits for the response's status line and
// headers; the body of the answer is not read.
bool Exchange(EFI_HTTP_PROTOCOL* http, EFI_HTTP_MESSAGE* request) {
  Events events;
  if (EFI_ERROR(BootServices()->CreateEvent(0, TPL_CALLBACK, nullptr, nullptr, &events.request)) ||
      EFI_ERROR(BootServices()->CreateEvent(0, TPL_CALLBACK, nullptr, nullptr, &events.response)))
    return false;
  UINTN waited = 0;
  EFI_HTTP_TOKEN sent = {events.request, EFI_SUCCESS, request};
  if (EFI_ERROR(http->Request(http, &sent)) || !Await(http, &sent, &waited)) return false;
  EFI_HTTP_RESPONSE_DATA answer = {HTTP_STATUS_UNSUPPORTED_STATUS};
  EFI_HTTP_MESSAGE response = {};
  response.Data.Response = &answer;
  EFI_HTTP_TOKEN received = {events.response, EFI_SUCCESS, &response};
  if (EFI_ERROR(http->Response(http, &received))) return false;
  const bool answered = Await(http, &received, &waited);
  FreeHeaders(response);
  return answered && answer.StatusCode >= HTTP_STATUS_200_OK && answer.StatusCode <= HTTP_STATUS_206_PARTIAL_CONTENT;
}

// One PUT on a fresh HTTP instance, configured for the card's own address.
bool Put(EFI_HANDLE child, const char* url, const char* body, UINTN size) {
  // The child dies with DestroyChild: no open of it is kept to close.
  void* found = nullptr;
  EFI_GUID guid = kHttpGuid;
  if (EFI_ERROR(BootServices()->HandleProtocol(child, &guid, &found))) return false;
  auto* http = static_cast<EFI_HTTP_PROTOCOL*>(found);
  EFI_HTTPv4_ACCESS_POINT local = {};
  local.UseDefaultAddress = TRUE;
  EFI_HTTP_CONFIG_DATA config = {HttpVersion11, kBootServerWaitMicroseconds / 1000, FALSE, {&local}};
  if (EFI_ERROR(http->Configure(http, &config))) return false;

  // The URL as UCS-2, and the host (and port) it names for the Host header.
  CHAR16 wideUrl[kBootUriMax];
  char host[kBootUriMax];
  UINTN n = 0, h = 0;
  for (UINTN slashes = 0; url[n] != 0; n++) {
    if (n + 1 == kBootUriMax) return false;
    wideUrl[n] = static_cast<CHAR16>(url[n]);
    slashes += url[n] == '/';
    if (slashes == 2 && url[n] != '/') host[h++] = url[n];
  }
  wideUrl[n] = 0;
  host[h] = 0;
  char length[kDecimalMax];
  text::Writer<char> digits = text::WriterOn(length, sizeof length - 1);
  text::PutNumber(&digits, size);
  length[digits.used] = 0;
  // The firmware's HTTP writes only the headers it is given.
  EFI_HTTP_HEADER headers[] = {{Ascii("Host"), Ascii(host)},
                               {Ascii("Content-Type"), Ascii("text/plain")},
                               {Ascii("Content-Length"), Ascii(length)}};
  EFI_HTTP_REQUEST_DATA put = {HttpMethodPut, wideUrl};
  EFI_HTTP_MESSAGE request = {};
  request.Data.Request = &put;
  request.HeaderCount = sizeof headers / sizeof headers[0];
  request.Headers = headers;
  request.BodyLength = size;
  request.Body = const_cast<char*>(body);
  return Exchange(http, &request);
}

}  // namespace

bool BootServerFind(BootServer* server) {
  *server = {};
  auto* loaded = Open<EFI_LOADED_IMAGE_PROTOCOL>(ImageHandle(), EFI_LOADED_IMAGE_PROTOCOL_GUID);
  if (loaded == nullptr) return false;
  auto* path = Open<EFI_DEVICE_PATH_PROTOCOL>(loaded->DeviceHandle, EFI_DEVICE_PATH_PROTOCOL_GUID);
  if (path == nullptr) return false;
  if (!ReadBootUri(path, server->bootUri) && !ReadPxeServer(loaded->DeviceHandle, server->pxeServer))
    return false;
  // The card is the handle nearest the device on its path that carries the
  // HTTP service: an HTTP boot's device is a child of it.
  EFI_GUID binding = kHttpServiceBindingGuid;
  EFI_DEVICE_PATH_PROTOCOL* rest = path;
  if (EFI_ERROR(BootServices()->LocateDevicePath(&binding, &rest, &server->card))) return false;
  auto* network = Open<EFI_SIMPLE_NETWORK_PROTOCOL>(server->card, EFI_SIMPLE_NETWORK_PROTOCOL_GUID);
  if (network == nullptr || network->Mode == nullptr) return false;
  for (UINTN i = 0; i < kMacLength; i++) server->mac[i] = network->Mode->CurrentAddress.Addr[i];
  return true;
}

bool BootServerPut(const BootServer& server, const char* url, const char* body, UINTN size) {
  auto* binding = Open<EFI_SERVICE_BINDING>(server.card, kHttpServiceBindingGuid);
  if (binding == nullptr || !AddressReady(server.card)) return false;
  EFI_HANDLE child = nullptr;
  if (EFI_ERROR(binding->CreateChild(binding, &child))) return false;
  const bool sent = Put(child, url, body, size);
  (void)binding->DestroyChild(binding, child);
  return sent;
}
