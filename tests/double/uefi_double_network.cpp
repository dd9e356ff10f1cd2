// A network start: the card a program was booted through (SimpleNetwork,
// PxeBaseCode, the IPv4 configuration) and the firmware's HTTP over it,
// with a boot server whose answers the test sets. Events and
// LocateDevicePath are in uefi_double_events.cpp.
// The network moves only when the program polls: a pending token
// completes in HTTP's Poll once the virtual clock has reached its time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/double/uefi_double_state.h"

namespace dbl::detail {
namespace {

template <typename... A>
EFI_STATUS EFIAPI Unsupported(A...) {
  return EFI_UNSUPPORTED;
}

constexpr EFI_GUID kNetworkGuid = EFI_SIMPLE_NETWORK_PROTOCOL_GUID;
constexpr EFI_GUID kPxeGuid = EFI_PXE_BASE_CODE_PROTOCOL_GUID;
constexpr uint8_t kStation[4] = {10, 0, 2, 15};

// --- Device paths of the card ----------------------------------------------------

void AddNode(std::vector<uint8_t>* path, uint8_t type, uint8_t subtype, const std::vector<uint8_t>& data) {
  const size_t length = 4 + data.size();
  path->insert(path->end(), {type, subtype, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)});
  path->insert(path->end(), data.begin(), data.end());
}

void EndPath(std::vector<uint8_t>* path) {
  path->insert(path->end(), {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4, 0});
}

// --- The IPv4 configuration -------------------------------------------------------

Network& Net(State& d) { return *d.network; }

bool Addressed(State& d) { return Net(d).addressAt && *Net(d).addressAt <= d.micros; }

EFI_STATUS EFIAPI GetData(EFI_IP4_CONFIG2_PROTOCOL* self, EFI_IP4_CONFIG2_DATA_TYPE type, UINTN* size, VOID* data) {
  State& d = Live();
  if (auto fault = d.Enter(Service::Ip4Config2GetData)) return *fault;
  if (self != &Net(d).ip4Config || size == nullptr) return EFI_INVALID_PARAMETER;
  if (type == Ip4Config2DataTypePolicy) {
    if (*size < sizeof(EFI_IP4_CONFIG2_POLICY)) return *size = sizeof(EFI_IP4_CONFIG2_POLICY), EFI_BUFFER_TOO_SMALL;
    std::memcpy(data, &Net(d).policy, sizeof Net(d).policy);
    *size = sizeof Net(d).policy;
    return EFI_SUCCESS;
  }
  if (type != Ip4Config2DataTypeInterfaceInfo) return EFI_UNSUPPORTED;
  // One route, laid out after the information as EDK2 does.
  const UINTN needed = sizeof(EFI_IP4_CONFIG2_INTERFACE_INFO) + sizeof(EFI_IP4_ROUTE_TABLE);
  if (*size < needed || data == nullptr) return *size = needed, EFI_BUFFER_TOO_SMALL;
  std::memset(data, 0, needed);
  auto* info = static_cast<EFI_IP4_CONFIG2_INTERFACE_INFO*>(data);
  info->IfType = 1;
  info->HwAddressSize = 6;
  std::memcpy(info->HwAddress.Addr, Net(d).boot.mac.data(), 6);
  if (Addressed(d)) std::memcpy(info->StationAddress.Addr, kStation, 4);
  info->RouteTableSize = sizeof(EFI_IP4_ROUTE_TABLE);
  info->RouteTable = reinterpret_cast<EFI_IP4_ROUTE_TABLE*>(info + 1);
  *size = needed;
  return EFI_SUCCESS;
}

// Turning DHCP on starts it; the address comes `dhcpAfter` later.
EFI_STATUS EFIAPI SetData(EFI_IP4_CONFIG2_PROTOCOL* self, EFI_IP4_CONFIG2_DATA_TYPE type, UINTN size, VOID* data) {
  State& d = Live();
  if (auto fault = d.Enter(Service::Ip4Config2SetData)) return *fault;
  if (self != &Net(d).ip4Config || data == nullptr) return EFI_INVALID_PARAMETER;
  if (type != Ip4Config2DataTypePolicy) return EFI_UNSUPPORTED;
  if (size != sizeof(EFI_IP4_CONFIG2_POLICY)) return EFI_BAD_BUFFER_SIZE;
  Network& n = Net(d);
  std::memcpy(&n.policy, data, size);
  if (n.policy == Ip4Config2PolicyDhcp && !n.addressAt && n.boot.dhcpAfter) n.addressAt = d.micros + *n.boot.dhcpAfter;
  return EFI_SUCCESS;
}

// --- HTTP --------------------------------------------------------------------------

HttpChild* FindChild(State& d, EFI_HTTP_PROTOCOL* self) {
  for (auto& c : d.httpChildren)
    if (&c->protocol == self) return c.get();
  return nullptr;
}

std::string Narrow(const CHAR8* text) { return text == nullptr ? "" : reinterpret_cast<const char*>(text); }

CHAR8* PoolText(State& d, const std::string& text) {
  auto* copy = static_cast<CHAR8*>(d.PoolTake(EfiBootServicesData, text.size() + 1));
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

// The answer's status line and two headers, from the pool as the firmware's
// HTTP hands them to the caller.
void Answer(State& d, const HttpChild& c, EFI_HTTP_MESSAGE* message) {
  static constexpr std::pair<int, EFI_HTTP_STATUS_CODE> kCodes[] = {
      {200, HTTP_STATUS_200_OK}, {201, HTTP_STATUS_201_CREATED}, {204, HTTP_STATUS_204_NO_CONTENT},
      {403, HTTP_STATUS_403_FORBIDDEN}, {500, HTTP_STATUS_500_INTERNAL_SERVER_ERROR}};
  EFI_HTTP_STATUS_CODE code = HTTP_STATUS_UNSUPPORTED_STATUS;
  for (const auto& [number, member] : kCodes)
    if (number == c.answer.status) code = member;
  if (message->Data.Response != nullptr) message->Data.Response->StatusCode = code;
  auto* headers = static_cast<EFI_HTTP_HEADER*>(d.PoolTake(EfiBootServicesData, 2 * sizeof(EFI_HTTP_HEADER)));
  headers[0] = {PoolText(d, "Server"), PoolText(d, "uefi-double")};
  headers[1] = {PoolText(d, "Content-Length"), PoolText(d, "0")};
  message->Headers = headers;
  message->HeaderCount = 2;
}

void Complete(State& d, HttpChild& c) {
  for (auto it = c.pending.begin(); it != c.pending.end();) {
    if (!it->at || *it->at > d.micros) {
      ++it;
      continue;
    }
    EFI_HTTP_TOKEN* token = it->token;
    const bool response = it->response;
    it = c.pending.erase(it);
    token->Status = EFI_SUCCESS;
    if (response) {
      Answer(d, c, token->Message);
      token->Status = c.answer.tokenStatus;
      d.httpRequests[c.seen].taken = token->Status == EFI_SUCCESS && c.answer.status / 100 == 2;
    }
    Signal(d, token->Event);
  }
}

EFI_STATUS EFIAPI Configure(EFI_HTTP_PROTOCOL* self, EFI_HTTP_CONFIG_DATA* data) {
  State& d = Live();
  if (auto fault = d.Enter(Service::HttpConfigure)) return *fault;
  HttpChild* c = FindChild(d, self);
  if (c == nullptr) return EFI_INVALID_PARAMETER;
  if (data == nullptr) {  // a reset: every token cancelled
    for (const PendingToken& p : c->pending) p.token->Status = EFI_ABORTED, Signal(d, p.token->Event);
    c->pending.clear();
    c->configured = false;
    return EFI_SUCCESS;
  }
  if (data->LocalAddressIsIPv6 || data->AccessPoint.IPv4Node == nullptr) return EFI_INVALID_PARAMETER;
  if (c->configured) return EFI_ALREADY_STARTED;
  c->configured = true;
  c->http11 = data->HttpVersion == HttpVersion11;
  c->defaultAddress = data->AccessPoint.IPv4Node->UseDefaultAddress;
  return EFI_SUCCESS;
}

bool ValidToken(State& d, const EFI_HTTP_TOKEN* token) {
  return token != nullptr && token->Message != nullptr && FindEvent(d, token->Event) != nullptr;
}

// Without a station address no connection can be made: EFI_NO_MAPPING.
EFI_STATUS EFIAPI Request(EFI_HTTP_PROTOCOL* self, EFI_HTTP_TOKEN* token) {
  State& d = Live();
  if (auto fault = d.Enter(Service::HttpRequest)) return *fault;
  HttpChild* c = FindChild(d, self);
  if (c == nullptr || !ValidToken(d, token) || token->Message->Data.Request == nullptr ||
      token->Message->Data.Request->Url == nullptr)
    return EFI_INVALID_PARAMETER;
  if (!c->configured) return EFI_NOT_STARTED;
  if (!Addressed(d)) return EFI_NO_MAPPING;
  const EFI_HTTP_MESSAGE& m = *token->Message;
  HttpRequestSeen seen{m.Data.Request->Method, {}, {}, {}, c->http11, c->defaultAddress};
  for (const CHAR16* u = m.Data.Request->Url; *u != 0; ++u) seen.url.push_back(*u < 0x80 ? static_cast<char>(*u) : '?');
  for (UINTN i = 0; i < m.HeaderCount; i++)
    seen.headers.emplace_back(Narrow(m.Headers[i].FieldName), Narrow(m.Headers[i].FieldValue));
  if (m.Body != nullptr) seen.body.assign(static_cast<const char*>(m.Body), m.BodyLength);
  d.httpRequests.push_back(std::move(seen));
  c->seen = d.httpRequests.size() - 1;
  c->requested = true;
  if (!d.httpAnswers.empty()) c->answer = d.httpAnswers.front(), d.httpAnswers.pop_front();
  std::optional<uint64_t> at;
  if (c->answer.sentAfter) at = d.micros + *c->answer.sentAfter;
  c->pending.push_back({token, false, at});
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Response(EFI_HTTP_PROTOCOL* self, EFI_HTTP_TOKEN* token) {
  State& d = Live();
  if (auto fault = d.Enter(Service::HttpResponse)) return *fault;
  HttpChild* c = FindChild(d, self);
  if (c == nullptr || !ValidToken(d, token)) return EFI_INVALID_PARAMETER;
  if (!c->configured) return EFI_NOT_STARTED;
  if (!c->requested) return EFI_ACCESS_DENIED;
  std::optional<uint64_t> at;
  if (c->answer.answeredAfter) at = d.micros + *c->answer.answeredAfter;
  c->pending.push_back({token, true, at});
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Cancel(EFI_HTTP_PROTOCOL* self, EFI_HTTP_TOKEN* token) {
  State& d = Live();
  if (auto fault = d.Enter(Service::HttpCancel)) return *fault;
  HttpChild* c = FindChild(d, self);
  if (c == nullptr) return EFI_INVALID_PARAMETER;
  if (!c->configured) return EFI_NOT_STARTED;
  const size_t before = c->pending.size();
  std::erase_if(c->pending, [&](const PendingToken& p) {
    if (token != nullptr && p.token != token) return false;
    p.token->Status = EFI_ABORTED;
    Signal(d, p.token->Event);
    return true;
  });
  return c->pending.size() == before ? EFI_NOT_FOUND : EFI_SUCCESS;
}

EFI_STATUS EFIAPI Poll(EFI_HTTP_PROTOCOL* self) {
  State& d = Live();
  if (auto fault = d.Enter(Service::HttpPoll)) return *fault;
  HttpChild* c = FindChild(d, self);
  if (c == nullptr) return EFI_INVALID_PARAMETER;
  if (!c->configured) return EFI_NOT_STARTED;
  Complete(d, *c);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI CreateChild(EFI_SERVICE_BINDING* self, EFI_HANDLE* handle) {
  State& d = Live();
  if (auto fault = d.Enter(Service::HttpCreateChild)) return *fault;
  if (self != &Net(d).binding || handle == nullptr) return EFI_INVALID_PARAMETER;
  auto child = std::make_unique<HttpChild>();
  EFI_HTTP_PROTOCOL& p = child->protocol;
  p.GetModeData = Unsupported;
  p.Configure = Configure;
  p.Request = Request;
  p.Cancel = Cancel;
  p.Response = Response;
  p.Poll = Poll;
  child->handle = *handle == nullptr ? d.NewHandle() : *handle;
  d.FindHandle(child->handle)->protocols.emplace_back(kHttpGuid, &p);
  *handle = child->handle;
  d.httpChildren.push_back(std::move(child));
  return EFI_SUCCESS;
}

// The child's handle goes with it. A token still pending would be written
// by a driver that no longer exists: the test fails.
EFI_STATUS EFIAPI DestroyChild(EFI_SERVICE_BINDING* self, EFI_HANDLE handle) {
  State& d = Live();
  if (auto fault = d.Enter(Service::HttpDestroyChild)) return *fault;
  if (self != &Net(d).binding) return EFI_INVALID_PARAMETER;
  auto it = std::find_if(d.httpChildren.begin(), d.httpChildren.end(),
                         [&](const auto& c) { return c->handle == handle; });
  if (it == d.httpChildren.end()) return EFI_INVALID_PARAMETER;
  if (!(*it)->pending.empty()) ADD_FAILURE() << "DestroyChild with an HTTP token still pending";
  d.httpChildren.erase(it);
  std::erase_if(d.handles, [&](const auto& h) { return h.get() == handle; });
  return EFI_SUCCESS;
}

// --- The card and the device -------------------------------------------------------

void FillCard(Network& n) {
  EFI_SIMPLE_NETWORK_PROTOCOL& s = n.snp;
  s.Revision = EFI_SIMPLE_NETWORK_PROTOCOL_REVISION;
  s.Start = Unsupported, s.Stop = Unsupported, s.Initialize = Unsupported, s.Reset = Unsupported;
  s.Shutdown = Unsupported, s.ReceiveFilters = Unsupported, s.StationAddress = Unsupported;
  s.Statistics = Unsupported, s.MCastIpToMac = Unsupported, s.NvData = Unsupported;
  s.GetStatus = Unsupported, s.Transmit = Unsupported, s.Receive = Unsupported;
  s.Mode = &n.snpMode;
  n.snpMode.State = EfiSimpleNetworkInitialized;
  n.snpMode.HwAddressSize = 6;
  n.snpMode.IfType = 1;
  std::memcpy(n.snpMode.CurrentAddress.Addr, n.boot.mac.data(), 6);
  std::memcpy(n.snpMode.PermanentAddress.Addr, n.boot.mac.data(), 6);
  EFI_PXE_BASE_CODE_PROTOCOL& p = n.pxe;
  p.Revision = EFI_PXE_BASE_CODE_PROTOCOL_REVISION;
  p.Start = Unsupported, p.Stop = Unsupported, p.Dhcp = Unsupported, p.Discover = Unsupported;
  p.Mtftp = Unsupported, p.UdpWrite = Unsupported, p.UdpRead = Unsupported, p.SetIpFilter = Unsupported;
  p.Arp = Unsupported, p.SetParameters = Unsupported, p.SetStationIp = Unsupported, p.SetPackets = Unsupported;
  p.Mode = &n.pxeMode;
  n.pxeMode.Started = TRUE;
  n.pxeMode.DhcpAckReceived = TRUE;
  std::memcpy(n.pxeMode.DhcpAck.Dhcpv4.BootpSiAddr, n.boot.dhcpAckServer.data(), 4);
  if (n.boot.proxyOfferServer) {
    n.pxeMode.ProxyOfferReceived = TRUE;
    std::memcpy(n.pxeMode.ProxyOffer.Dhcpv4.BootpSiAddr, n.boot.proxyOfferServer->data(), 4);
  }
  if (n.boot.pxeReplyServer) {
    n.pxeMode.PxeReplyReceived = TRUE;
    std::memcpy(n.pxeMode.PxeReply.Dhcpv4.BootpSiAddr, n.boot.pxeReplyServer->data(), 4);
  }
  n.binding.CreateChild = CreateChild;
  n.binding.DestroyChild = DestroyChild;
  n.ip4Config.SetData = SetData;
  n.ip4Config.GetData = GetData;
  n.ip4Config.RegisterDataNotify = Unsupported;
  n.ip4Config.UnregisterDataNotify = Unsupported;
  if (n.boot.addressed) n.addressAt = 0;
}

void BuildPaths(Network& n) {
  std::vector<uint8_t> mac(33, 0);
  std::copy(n.boot.mac.begin(), n.boot.mac.end(), mac.begin());
  mac[32] = 1;
  AddNode(&n.cardPath, ACPI_DEVICE_PATH, ACPI_DP, {0xD0, 0x41, 0x03, 0x0A, 0, 0, 0, 0});
  AddNode(&n.cardPath, HARDWARE_DEVICE_PATH, HW_PCI_DP, {0, 3});
  AddNode(&n.cardPath, MESSAGING_DEVICE_PATH, MSG_MAC_ADDR_DP, mac);
  n.devicePath = n.cardPath;
  AddNode(&n.devicePath, MESSAGING_DEVICE_PATH, MSG_IPv4_DP, std::vector<uint8_t>(23, 0));
  if (!n.boot.bootUri.empty())
    AddNode(&n.devicePath, MESSAGING_DEVICE_PATH, MSG_URI_DP, {n.boot.bootUri.begin(), n.boot.bootUri.end()});
  EndPath(&n.cardPath);
  EndPath(&n.devicePath);
}

}  // namespace

}  // namespace dbl::detail

namespace dbl {

// A second call boots anew: the earlier card and device are gone.
void UefiDouble::LoadImageFromNetwork(const NetworkBoot& boot) {
  if (impl_->network != nullptr) {
    const EFI_HANDLE gone[] = {impl_->network->card, impl_->loadedImage.DeviceHandle};
    std::erase_if(impl_->handles, [&](const auto& h) { return h.get() == gone[0] || h.get() == gone[1]; });
  }
  LoadImageFromBareDevice();
  auto n = std::make_unique<detail::Network>();
  n->boot = boot;
  detail::FillCard(*n);
  detail::BuildPaths(*n);
  detail::State& d = *impl_;
  n->card = d.NewHandle();
  auto& card = d.FindHandle(n->card)->protocols;
  card.emplace_back(detail::kDevicePathGuid, n->cardPath.data());
  card.emplace_back(detail::kNetworkGuid, &n->snp);
  card.emplace_back(kIp4Config2Guid, &n->ip4Config);
  if (boot.httpService) card.emplace_back(kHttpServiceBindingGuid, &n->binding);
  auto& device = d.FindHandle(d.loadedImage.DeviceHandle)->protocols;
  device.emplace_back(detail::kDevicePathGuid, n->devicePath.data());
  if (boot.bootUri.empty()) {
    device.emplace_back(detail::kNetworkGuid, &n->snp);
    device.emplace_back(detail::kPxeGuid, &n->pxe);
  }
  d.network = std::move(n);
}

void UefiDouble::AnswerHttp(const HttpAnswer& answer) { impl_->httpAnswers.push_back(answer); }
const std::vector<HttpRequestSeen>& UefiDouble::HttpRequests() const { return impl_->httpRequests; }
int UefiDouble::HttpChildren() const { return static_cast<int>(impl_->httpChildren.size()); }

int UefiDouble::HttpTokensPending() const {
  size_t n = 0;
  for (const auto& c : impl_->httpChildren) n += c->pending.size();
  return static_cast<int>(n);
}

int UefiDouble::EventsOpen() const { return static_cast<int>(impl_->events.size()); }

std::optional<uint64_t> UefiDouble::AddressSince() const {
  if (impl_->network == nullptr || !impl_->network->addressAt || *impl_->network->addressAt > impl_->micros)
    return std::nullopt;
  return impl_->network->addressAt;
}

}  // namespace dbl
