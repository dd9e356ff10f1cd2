// The resident identification driver on the double: what its entry leaves,
// what the ReadyToBoot notification reads (and never writes) through the
// converter model, and the PelloryConverter bytes it leaves for the OS.
#include <memory>
#include <string>
#include <vector>

#include "platform/variables.h"
#include "resident/resident.h"
#include "sim/converter.h"
#include "sim/gop_binding.h"
#include "tests/host/host_test.h"

namespace {

constexpr EFI_GUID kReadyToBoot = {0x7ce88fb3, 0x4bd7, 0x4679, {0x87, 0xa8, 0xa8, 0xd8, 0xde, 0xe5, 0x0d, 0x2b}};

// The reading's text for the values given; empty ones as given.
std::string Reading(const std::string& state, const std::string& port, const std::string& block,
                    const std::string& oui, const std::string& bootloader, const std::string& firmware,
                    const std::string& time = "2026-12-08T12:00:00") {
  return "format=1\nstate=" + state + "\ntime=" + time + "\nport=" + port + "\nvendor_block=" + block +
         "\nconverter_oui=" + oui + "\nbootloader=" + bootloader + "\nfirmware=" + firmware + "\n";
}

// One access as the converter saw it: a DPCD read of `target`, or an I2C
// read of slave `target` (count 1).
struct Seen {
  SimAccessKind kind;
  uint32_t port;
  uint32_t target;
};

class ResidentTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    scenario = SimDefaultScenario();
    scenario.displayDriven = true;
  }

  // Every path: no stall, nothing printed, nothing taken from the pool
  // and kept, no write.
  void TearDown() override {
    EXPECT_EQ(uefi.Calls(dbl::Service::Stall), 0u);
    EXPECT_EQ(uefi.OutputCalls().size(), 0u) << Console();
    EXPECT_EQ(uefi.PoolBlocksOutstanding(), 0u);
    for (const auto& c : converters) {
      EXPECT_EQ(c->record.dpcdWrites + c->record.i2cWrites, 0u) << "a write reached the converter";
      EXPECT_EQ(c->record.violationCount, 0u);
    }
  }

  // `handles` converters, each behind a handle of its own, all as `scenario`.
  void Install(unsigned handles = 1) {
    std::vector<SimConverter*> list;
    for (unsigned i = 0; i < handles; i++) {
      converters.push_back(std::make_unique<SimConverter>());
      SimInit(converters.back().get(), &scenario);
      list.push_back(converters.back().get());
    }
    EFI_HANDLE made[kSimMaxHandles] = {};
    ASSERT_EQ(SimInstall(uefi.SystemTable()->BootServices, list.data(), handles, made),
              static_cast<EFI_STATUS>(EFI_SUCCESS));
  }

  // Loads the driver as the firmware would and signals ReadyToBoot; the
  // entry's status is the one given.
  void Boot(EFI_STATUS entry = EFI_SUCCESS, int notifications = 1) {
    EXPECT_EQ(ResidentStart(uefi.ImageHandle(), uefi.SystemTable()), entry);
    EXPECT_EQ(uefi.SignalEventGroup(kReadyToBoot), notifications);
  }

  std::string Left() const { return uefi.VariableData(u"PelloryConverter", kPelloryVariableGuid); }

  std::vector<Seen> Accesses(unsigned converter = 0) const {
    std::vector<Seen> seen;
    const SimRecord& r = converters[converter]->record;
    for (uint32_t i = 0; i < r.accessCount && i < kSimAccessLog; i++)
      seen.push_back({r.accesses[i].kind, r.accesses[i].port, r.accesses[i].target});
    return seen;
  }

  SimScenario scenario;
  std::vector<std::unique_ptr<SimConverter>> converters;
};

bool operator==(const Seen& a, const Seen& b) {
  return a.kind == b.kind && a.port == b.port && a.target == b.target;
}
void PrintTo(const Seen& s, std::ostream* os) {
  *os << (s.kind == SimAccessKind::kDpcdRead ? "DPCD read " : "access ") << std::hex << s.target << " on port "
      << std::dec << s.port;
}

// The probe from `from` up to `port`, then identification's reads in its
// order.
std::vector<Seen> ReadsUpTo(uint32_t port, uint32_t base, uint32_t from = 0) {
  std::vector<Seen> reads;
  for (uint32_t p = from; p <= port; p += 2) reads.push_back({SimAccessKind::kI2cRead, p, 0x80});
  for (uint32_t address : {0x005u, base, base + 1, base + 2, base + 0x10, base + 0xA, base + 0xB})
    reads.push_back({SimAccessKind::kDpcdRead, port, address});
  return reads;
}

TEST_F(ResidentTest, ItsEntryRegistersOneReadyToBootNotificationAndTouchesNothingElse) {
  Install();
  const uint64_t variables = uefi.VariableWrites().size();
  ASSERT_EQ(ResidentStart(uefi.ImageHandle(), uefi.SystemTable()), static_cast<EFI_STATUS>(EFI_SUCCESS));
  EXPECT_EQ(uefi.EventsInGroup(kReadyToBoot), 1);
  EXPECT_EQ(uefi.EventsOpen(), 1);
  for (int s = 0; s < static_cast<int>(dbl::Service::Count); s++) {
    const auto service = static_cast<dbl::Service>(s);
    if (service == dbl::Service::CreateEventEx || service == dbl::Service::InstallProtocolInterface) continue;
    EXPECT_EQ(uefi.Calls(service), 0u) << dbl::ServiceName(service);
  }
  EXPECT_EQ(uefi.Calls(dbl::Service::CreateEventEx), 1u);
  EXPECT_EQ(converters[0]->record.sequence, 0u);
  EXPECT_EQ(uefi.VariableWrites().size(), variables);
}

// Where the converter answers, where its block is, behind how many handles.
struct Place {
  const char* name;
  uint32_t port;
  uint8_t downstream;
  unsigned handles;
};
class WhereItAnswers : public ResidentTest, public ::testing::WithParamInterface<Place> {};

TEST_P(WhereItAnswers, MakesIdentificationsReadsInItsOrderAndLeavesTheirValues) {
  const Place& place = GetParam();
  scenario.answeringPort = place.port;
  scenario.downstreamPort = place.downstream;
  Install(place.handles);
  // The last handle's converter runs other firmware: a read keeps what the
  // last handle answered, as every read of the program does.
  converters.back()->vendor[kSimRegFirmwareMinor] = 0x23;
  Boot();
  const uint32_t base = place.downstream & 1 ? 0x500 : 0x400;
  const std::string expected = Reading("seen", std::to_string(place.port), base == 0x500 ? "0x500" : "0x400",
                                       "0A1B2C", "2.0.1", "0x07_0x23");
  EXPECT_EQ(Left(), expected);
  EXPECT_EQ(uefi.VariableAttributes(u"PelloryConverter", kPelloryVariableGuid),
            static_cast<uint32_t>(EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS));
  // A port the first handle refuses ends that probe read there: later
  // handles see only the port that answered.
  EXPECT_EQ(Accesses(0), ReadsUpTo(place.port, base));
  for (unsigned c = 1; c < place.handles; c++)
    EXPECT_EQ(Accesses(c), ReadsUpTo(place.port, base, place.port)) << "handle " << c;
  EXPECT_EQ(uefi.EventsOpen(), 0) << "the notification closes its event";
}

INSTANTIATE_TEST_SUITE_P(Places, WhereItAnswers,
                         ::testing::Values(Place{"Port0Block500", 0, 0x01, 1}, Place{"Port10Block400", 10, 0x00, 1},
                                           Place{"Port0Block400TwoHandles", 0, 0x02, 2},
                                           Place{"Port10Block500TwoHandles", 10, 0x03, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ResidentTest, ReadsOnceABootHoweverOftenTheGroupIsSignalled) {
  Install();
  Boot();
  EXPECT_EQ(uefi.SignalEventGroup(kReadyToBoot), 0) << "the event is closed";
  EXPECT_EQ(converters[0]->record.accessCount, 8u);
}

TEST_F(ResidentTest, ReadsOnceAlsoWhenItsEventCanNotBeClosed) {
  Install();
  uefi.FailFrom(dbl::Service::CloseEvent, 1);
  Boot();
  EXPECT_EQ(uefi.SignalEventGroup(kReadyToBoot), 1) << "the event is still there";
  EXPECT_EQ(converters[0]->record.accessCount, 8u);
  EXPECT_EQ(uefi.Calls(dbl::Service::SetVariable), 1u);
}

// Each identification read failing in turn (the nth DPCD read the converter
// is asked for): the reading says so and leaves that value empty; what
// answered is kept. Without 0x005 the vendor block is not known, so nothing
// is read from it.
struct FailedRead {
  const char* name;
  uint32_t nth;
  std::string expected;
  uint32_t accesses;
};
class OneReadFails : public ResidentTest, public ::testing::WithParamInterface<FailedRead> {};

TEST_P(OneReadFails, LeavesThatValueEmptyAndKeepsTheOthers) {
  scenario.failDpcdRead = {GetParam().nth, 1};
  Install();
  Boot();
  EXPECT_EQ(Left(), GetParam().expected);
  EXPECT_EQ(converters[0]->record.accessCount, GetParam().accesses);
}

INSTANTIATE_TEST_SUITE_P(
    Reads, OneReadFails,
    ::testing::Values(FailedRead{"DownstreamPort", 1, Reading("unreadable", "0", "", "", "", ""), 2},
                      FailedRead{"FirstOuiByte", 2, Reading("unreadable", "0", "0x500", "", "2.0.1", "0x07_0x22"), 8},
                      FailedRead{"LastOuiByte", 4, Reading("unreadable", "0", "0x500", "", "2.0.1", "0x07_0x22"), 8},
                      FailedRead{"Bootloader", 5, Reading("unreadable", "0", "0x500", "0A1B2C", "", "0x07_0x22"), 8},
                      FailedRead{"Major", 6, Reading("unreadable", "0", "0x500", "0A1B2C", "2.0.1", ""), 8},
                      FailedRead{"Minor", 7, Reading("unreadable", "0", "0x500", "0A1B2C", "2.0.1", ""), 8}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ResidentTest, NoPortAnsweringLeavesEverythingButTheClockEmpty) {
  scenario.noAnsweringPort = true;
  Install();
  Boot();
  EXPECT_EQ(Left(), Reading("unreadable", "", "", "", "", ""));
  EXPECT_EQ(Accesses().size(), 6u) << "the six ports of the probe, nothing more";
}

TEST_F(ResidentTest, WithoutTheGraphicsDriversProtocolsItSaysNone) {
  Boot();
  EXPECT_EQ(Left(), Reading("none", "", "", "", "", ""));
  EXPECT_EQ(uefi.Calls(dbl::Service::LocateHandleBuffer), 0u);
}

// A link call the firmware fails, within any read: a failed read like any
// other, told by the reading and never on the screen. The probe's is the
// first of each, 0x005's the second: the vendor block is then not known.
class LinkCallFails : public ResidentTest, public ::testing::WithParamInterface<dbl::Service> {};

TEST_P(LinkCallFails, IsAFailedReadAndPrintsNothing) {
  Install();
  uefi.FailAt(GetParam(), 2);
  Boot();
  EXPECT_EQ(Left(), Reading("unreadable", "0", "", "", "", ""));
}

INSTANTIATE_TEST_SUITE_P(Services, LinkCallFails,
                         ::testing::Values(dbl::Service::LocateHandleBuffer, dbl::Service::OpenProtocol,
                                           dbl::Service::CloseProtocol),
                         [](const auto& info) { return std::string(dbl::ServiceName(info.param)); });

TEST_F(ResidentTest, AClockThatCanNotBeReadLeavesTimeEmptyAndNothingElse) {
  Install();
  uefi.FailFrom(dbl::Service::GetTime, 1);
  Boot();
  EXPECT_EQ(Left(), Reading("seen", "0", "0x500", "0A1B2C", "2.0.1", "0x07_0x22", ""));
}

TEST_F(ResidentTest, ARefusedVariableEndsTheNotificationQuietly) {
  Install();
  uefi.SetVariablesReadOnly(true);
  Boot();
  EXPECT_FALSE(uefi.HasVariable(u"PelloryConverter", kPelloryVariableGuid));
  EXPECT_EQ(uefi.Calls(dbl::Service::SetVariable), 1u) << "tried once, never again";
}

TEST_F(ResidentTest, AFirmwareThatRefusesTheEventGetsItsStatusAndNoReading) {
  Install();
  uefi.FailAt(dbl::Service::CreateEventEx, 1, EFI_OUT_OF_RESOURCES);
  Boot(EFI_OUT_OF_RESOURCES, 0);
  EXPECT_EQ(uefi.EventsOpen(), 0);
  EXPECT_EQ(converters[0]->record.sequence, 0u);
  EXPECT_EQ(uefi.Calls(dbl::Service::SetVariable), 0u);
}

}  // namespace
