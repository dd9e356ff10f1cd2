// A network start sends its record to the server it was booted from, at the
// record's two moments and with its very bytes; a send that fails changes
// nothing but the run's last line. Shell and stick starts stay off the
// network.
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/efi_network.h"
#include "platform/variables.h"
#include "tests/host/program_test.h"

namespace {

using dbl::HttpAnswer;
using dbl::NetworkBoot;
using dbl::Service;

const std::string kPrompt = "Press any key to return to the firmware.\r\n";
const std::string kNotSent = "The result can not be sent to the boot server.\r\n";
const std::string kNoRecord = "The result can not be stored in the firmware.\r\n";
const std::string kNoFile = "The file can not be opened.\r\n";
constexpr uint64_t kBound = 10000000;  // each wait's bound, in microseconds

// Every service of the firmware's network the program may call.
constexpr Service kNetworkServices[] = {
    Service::CreateEvent,      Service::CheckEvent,     Service::CloseEvent,   Service::LocateDevicePath,
    Service::HttpCreateChild,  Service::HttpDestroyChild, Service::HttpConfigure, Service::HttpRequest,
    Service::HttpResponse,     Service::HttpPoll,       Service::HttpCancel,   Service::Ip4Config2GetData,
    Service::Ip4Config2SetData};

class BootServerTest : public ProgramTest {
 protected:
  BootServerTest() {
    // The converter's progress and the record's writes at each request.
    uefi.onCall = [this](Service s, uint64_t) {
      if (s == Service::HttpRequest) requestAt.push_back({installed ? Record().sequence : 0, ResultWrites().size()});
      if (s == Service::HttpRequest || s == Service::Ip4Config2GetData || s == Service::HttpCancel)
        clock[s].push_back(uefi.Microseconds());
    };
  }
  std::string FromNetwork(const NetworkBoot& boot = {}) {
    uefi.StartWithoutShell();
    uefi.LoadImageFromNetwork(boot);
    uefi.TypeKey(1);
    return Run();
  }
  std::vector<std::string> ResultWrites() const {
    std::vector<std::string> writes;
    for (const dbl::VariableWrite& w : uefi.VariableWrites())
      if (w.name == u"PelloryResult") writes.push_back(w.data);
    return writes;
  }
  std::vector<std::string> Bodies() const {
    std::vector<std::string> bodies;
    for (const dbl::HttpRequestSeen& r : uefi.HttpRequests()) bodies.push_back(r.body);
    return bodies;
  }
  uint64_t NetworkCalls() const {
    uint64_t n = 0;
    for (Service s : kNetworkServices) n += uefi.Calls(s);
    return n;
  }

  struct At {
    uint64_t converterSequence;
    size_t recordWrites;
  };
  std::vector<At> requestAt;
  std::map<Service, std::vector<uint64_t>> clock;
};

// --- Both sends --------------------------------------------------------------------

struct Destination {
  const char* name;
  NetworkBoot boot;
  const char* url;  // the results folder; the file name follows
  const char* host;
};

class DestinationTest : public BootServerTest, public ::testing::WithParamInterface<Destination> {};

// The first send goes before the converter is first touched, with the
// record's first bytes; the last goes after the record's last write, with
// its bytes. One name, the card's MAC and the run's start, for both.
TEST_P(DestinationTest, BothSendsCarryTheRecordsBytes) {
  FromNetwork(GetParam().boot);
  const std::vector<std::string> writes = ResultWrites();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(Bodies(), writes);
  EXPECT_EQ(writes[1], ResultText("", "network", true, "successful"));
  const auto& requests = uefi.HttpRequests();
  for (const dbl::HttpRequestSeen& r : requests) {
    EXPECT_EQ(r.method, static_cast<uint32_t>(HttpMethodPut));
    EXPECT_EQ(r.url, std::string(GetParam().url) + "-20261208T120000.txt");
    const std::vector<std::pair<std::string, std::string>> headers = {
        {"Host", GetParam().host}, {"Content-Type", "text/plain"}, {"Content-Length", std::to_string(r.body.size())}};
    EXPECT_EQ(r.headers, headers);
    EXPECT_TRUE(r.http11 && r.defaultAddress);
  }
  ASSERT_EQ(requestAt.size(), 2u);
  EXPECT_EQ(requestAt[0].converterSequence, 0u) << "the converter was touched before the first send";
  EXPECT_EQ(requestAt[0].recordWrites, 1u);
  EXPECT_EQ(requestAt[1].converterSequence, Record().sequence);
  EXPECT_EQ(requestAt[1].recordWrites, 2u) << "the last send came before the record's last write";
  EXPECT_EQ(uefi.Calls(Service::Ip4Config2SetData), 0u) << "an addressed card's policy was changed";
}

NetworkBoot Http(const std::string& uri) {
  NetworkBoot b;
  b.bootUri = uri;
  b.mac = {0x00, 0x1A, 0x2B, 0xC3, 0xD4, 0xEF};
  return b;
}

NetworkBoot PxeBehindProxy() {
  NetworkBoot b;
  b.proxyOfferServer = std::array<uint8_t, 4>{192, 168, 7, 250};
  return b;
}

// The PXE boot server the proxy sent the firmware on to answers last: the
// program came from it.
NetworkBoot PxeBehindBootServer() {
  NetworkBoot b = PxeBehindProxy();
  b.pxeReplyServer = std::array<uint8_t, 4>{192, 168, 7, 9};
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Boots, DestinationTest,
    ::testing::Values(
        Destination{"Http", Http("http://10.0.2.100/line3/pellory.efi"),
                    "http://10.0.2.100/line3/pellory-results/001a2bc3d4ef", "10.0.2.100"},
        Destination{"HttpPortAndQuery", Http("http://boot.line:8080/a/pellory.efi?v=2/x"),
                    "http://boot.line:8080/a/pellory-results/001a2bc3d4ef", "boot.line:8080"},
        Destination{"Pxe", NetworkBoot{}, "http://10.0.2.2/pellory-results/525400123456", "10.0.2.2"},
        Destination{"PxeBehindProxy", PxeBehindProxy(), "http://192.168.7.250/pellory-results/525400123456",
                    "192.168.7.250"},
        Destination{"PxeBehindBootServer", PxeBehindBootServer(),
                    "http://192.168.7.9/pellory-results/525400123456", "192.168.7.9"}),
    [](const auto& info) { return info.param.name; });

// The clock is read once for the name: a later time does not move the
// final send to another file, and a clock that cannot be read says so.
TEST_F(BootServerTest, OneNameForTheRunEvenWithoutAClock) {
  auto previous = uefi.onCall;
  uefi.onCall = [&](Service s, uint64_t n) {
    previous(s, n);
    if (s == Service::HttpRequest && n == 1) uefi.SetTime({2027, 1, 2, 3, 4, 5, 0, 0, 0, 0, 0});
  };
  FromNetwork();
  ASSERT_EQ(uefi.HttpRequests().size(), 2u);
  EXPECT_EQ(uefi.HttpRequests()[1].url, uefi.HttpRequests()[0].url);
  EXPECT_NE(uefi.HttpRequests()[1].body.find("time=2027-01-02T03:04:05\n"), std::string::npos);

  uefi.FailFrom(Service::GetTime, uefi.Calls(Service::GetTime) + 1);
  uefi.TypeKey(uefi.Microseconds() + 1);
  Run();
  ASSERT_EQ(uefi.HttpRequests().size(), 4u);
  EXPECT_EQ(uefi.HttpRequests()[3].url, "http://10.0.2.2/pellory-results/525400123456-unknown-time.txt");
}

// --- Sends that fail ---------------------------------------------------------------

struct Failure {
  const char* name;
  std::function<void(dbl::UefiDouble&)> arrange;  // armed after a run that sent both
};

class FailureTest : public BootServerTest, public ::testing::WithParamInterface<Failure> {};

void FailFromNow(dbl::UefiDouble& u, Service s) { u.FailFrom(s, u.Calls(s) + 1); }

void Reboot(dbl::UefiDouble& u, void (*change)(NetworkBoot*)) {
  NetworkBoot b;
  change(&b);
  u.LoadImageFromNetwork(b);
}

// Whatever fails on the way to the server, the run is the same run: the
// same converter writes, console, record and log as a run whose sends went
// through, but for the last line. No request is made more than once.
TEST_P(FailureTest, OnlyTheLastLineChanges) {
  const std::string sent = FromNetwork();
  const std::string record = ResultWrites().back();
  const size_t requests = uefi.HttpRequests().size();
  const uint64_t tries = uefi.Calls(Service::HttpRequest);
  ASSERT_EQ(requests, 2u);
  uefi.ClearConsole();
  GetParam().arrange(uefi);
  uefi.TypeKey(uefi.Microseconds() + 1);
  const std::string failed = Run();
  ASSERT_TRUE(sent.ends_with(kPrompt)) << sent;
  EXPECT_EQ(failed, sent.substr(0, sent.size() - kPrompt.size()) + kNotSent + kPrompt);
  EXPECT_EQ(ResultWrites().size(), 4u);
  EXPECT_EQ(ResultWrites().back(), record);
  for (UINTN k = 0; k < kFirmwareImageSize; k++) ASSERT_EQ(converter->flash[k], FirmwareImage[k]);
  EXPECT_LE(uefi.Calls(Service::HttpRequest) - tries, 2u);
  EXPECT_EQ(uefi.HttpTokensPending(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, FailureTest,
    ::testing::Values(
        Failure{"Forbidden", [](dbl::UefiDouble& u) { u.AnswerHttp({403}), u.AnswerHttp({403}); }},
        Failure{"ServerError",
                [](dbl::UefiDouble& u) {
                  for (int i = 0; i < 2; i++) u.AnswerHttp({500, 1000, 1000, kEfiHttpError});
                }},
        Failure{"NeverAnswers",
                [](dbl::UefiDouble& u) {
                  for (int i = 0; i < 2; i++) u.AnswerHttp({201, 1000, std::nullopt});
                }},
        Failure{"RequestNeverLeaves",
                [](dbl::UefiDouble& u) {
                  for (int i = 0; i < 2; i++) u.AnswerHttp({201, std::nullopt});
                }},
        Failure{"NoHttpService", [](dbl::UefiDouble& u) { Reboot(u, [](NetworkBoot* b) { b->httpService = false; }); }},
        Failure{"NoAddressEver",
                [](dbl::UefiDouble& u) { Reboot(u, [](NetworkBoot* b) { b->addressed = false, b->dhcpAfter.reset(); }); }},
        Failure{"NotNetworkCard", [](dbl::UefiDouble& u) { u.LoadImageFromBareDevice(); }},
        Failure{"CreateChild", [](dbl::UefiDouble& u) { FailFromNow(u, Service::HttpCreateChild); }},
        Failure{"Configure", [](dbl::UefiDouble& u) { FailFromNow(u, Service::HttpConfigure); }},
        Failure{"Request", [](dbl::UefiDouble& u) { FailFromNow(u, Service::HttpRequest); }},
        Failure{"Response", [](dbl::UefiDouble& u) { FailFromNow(u, Service::HttpResponse); }},
        Failure{"Event", [](dbl::UefiDouble& u) { FailFromNow(u, Service::CreateEvent); }},
        Failure{"LocateDevicePath", [](dbl::UefiDouble& u) { FailFromNow(u, Service::LocateDevicePath); }}),
    [](const auto& info) { return info.param.name; });

// Each wait gives up after 10 s on the virtual clock, and not before: the
// address set-up (from its first look to its last) and the PUT (from its
// request to the cancel).
struct Bound {
  const char* name;
  NetworkBoot boot;
  HttpAnswer answer;
  Service from, to;
};

class BoundTest : public BootServerTest, public ::testing::WithParamInterface<Bound> {};

TEST_P(BoundTest, EachWaitGivesUpAfterTenSeconds) {
  for (int i = 0; i < 2; i++) uefi.AnswerHttp(GetParam().answer);
  EXPECT_TRUE(FromNetwork(GetParam().boot).ends_with(kNotSent + kPrompt));
  const std::vector<uint64_t>& from = clock[GetParam().from];
  const std::vector<uint64_t>& to = clock[GetParam().to];
  ASSERT_FALSE(from.empty());
  ASSERT_FALSE(to.empty());
  // The first send's wait: its first and last call of the kind.
  const uint64_t spent = (GetParam().from == GetParam().to ? to[to.size() / 2 - 1] : to.front()) - from.front();
  EXPECT_GE(spent, kBound);
  EXPECT_LE(spent, kBound + 100000);
}

NetworkBoot Unaddressed(std::optional<uint64_t> dhcpAfter) {
  NetworkBoot b;
  b.addressed = false;
  b.dhcpAfter = dhcpAfter;
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Waits, BoundTest,
    ::testing::Values(
        Bound{"AddressNever", Unaddressed(std::nullopt), {}, Service::Ip4Config2GetData, Service::Ip4Config2GetData},
        Bound{"NeverAnswered", {}, {201, 1000, std::nullopt}, Service::HttpRequest, Service::HttpCancel},
        Bound{"NeverSent", {}, {201, std::nullopt}, Service::HttpRequest, Service::HttpCancel}),
    [](const auto& info) { return info.param.name; });

// A card the boot left without an address gets DHCP turned on and waits
// for it, within the bound.
TEST_F(BootServerTest, AnUnaddressedCardTurnsDhcpOnAndWaits) {
  const std::string console = FromNetwork(Unaddressed(3000000));
  EXPECT_FALSE(console.ends_with(kNotSent + kPrompt));
  EXPECT_EQ(uefi.Calls(Service::Ip4Config2SetData), 1u);
  ASSERT_EQ(uefi.HttpRequests().size(), 2u);
  ASSERT_TRUE(uefi.AddressSince().has_value());
  EXPECT_EQ(clock[Service::HttpRequest][0], *uefi.AddressSince());
}

// --- What a send decides ---------------------------------------------------------

// A first send that fails is silent; one that works keeps a run whose
// variable is refused going; both failing stop it before the converter.
TEST_F(BootServerTest, TheFirstSendStandsInForTheVariable) {
  uefi.FailAt(Service::HttpRequest, 1);
  EXPECT_FALSE(FromNetwork().ends_with(kNotSent + kPrompt));
  EXPECT_EQ(Bodies(), std::vector<std::string>{ResultText("", "network", true, "successful")});

  uefi.SetVariablesReadOnly(true);
  uefi.ClearConsole();
  uefi.TypeKey(uefi.Microseconds() + 1);
  EXPECT_TRUE(Run().ends_with("Download success,Please shutdown to reset the system!\r\n" + kNoRecord + kPrompt));
  EXPECT_EQ(Bodies().back(), ResultText("", "network", true, "successful"));

  uefi.AnswerHttp({403});
  uefi.AnswerHttp({403});
  uefi.ClearConsole();
  uefi.TypeKey(uefi.Microseconds() + 1);
  EXPECT_TRUE(Run().ends_with(kNoFile + kNoRecord + kNotSent + kPrompt));
  EXPECT_EQ(Record().sequence, 0u) << "the converter was touched";
}

// --- Starts that stay off the network ----------------------------------------------

TEST_F(BootServerTest, AShellStartMakesNoNetworkCall) {
  uefi.LoadImageFromNetwork();  // the card is there; the shell started the program
  Run();
  EXPECT_EQ(Log(), "successful");
  EXPECT_EQ(NetworkCalls(), 0u);
}

TEST_F(BootServerTest, AStickStartMakesNoNetworkCall) {
  uefi.StartWithoutShell();
  uefi.SetImagePath({u"\\EFI\\BOOT\\BOOTX64.EFI"});
  uefi.MakeDirectory("EFI\\BOOT");
  uefi.TypeKey(1);
  Run();
  EXPECT_EQ(uefi.FileContent("EFI\\BOOT\\log.txt"), "successful");
  EXPECT_EQ(NetworkCalls(), 0u);
}

}  // namespace
