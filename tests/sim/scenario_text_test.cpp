// The simulator driver's portable parts: convsim.cfg parsing, the
// simrec.txt text and its flash digest.
#include "sim/scenario_text.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sim/driver/record_text.h"
#include "hash/sha256.h"

namespace {

struct Parsed {
  bool ok;
  SimScenarioFile file;
  SimParseError error;
};

Parsed Parse(const std::string& text) {
  Parsed p{};
  p.ok = SimParseScenarioText(text.data(), text.size(), &p.file, &p.error);
  return p;
}

void ExpectSame(const SimScenarioFile& a, const SimScenarioFile& b) {
  const SimScenario& x = a.scenario;
  const SimScenario& y = b.scenario;
  EXPECT_EQ(x.answeringPort, y.answeringPort);
  EXPECT_EQ(x.noAnsweringPort, y.noAnsweringPort);
  EXPECT_EQ(x.downstreamPort, y.downstreamPort);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(x.oui[i], y.oui[i]) << "oui" << i;
  EXPECT_EQ(x.firmwareMajor, y.firmwareMajor);
  EXPECT_EQ(x.firmwareMinor, y.firmwareMinor);
  EXPECT_EQ(x.bootloader, y.bootloader);
  EXPECT_EQ(x.imageMajor, y.imageMajor);
  EXPECT_EQ(x.imageMinor, y.imageMinor);
  EXPECT_EQ(x.reg30CInitial, y.reg30CInitial);
  EXPECT_EQ(x.reg30CDrifts, y.reg30CDrifts);
  EXPECT_EQ(x.commandClearReads, y.commandClearReads);
  EXPECT_EQ(x.echo.afterReads, y.echo.afterReads);
  EXPECT_EQ(x.badEchoIndex, y.badEchoIndex);
  EXPECT_EQ(x.badEchoAttempts, y.badEchoAttempts);
  EXPECT_EQ(x.startAck.afterReads, y.startAck.afterReads);
  EXPECT_EQ(x.pageAck.afterReads, y.pageAck.afterReads);
  EXPECT_EQ(x.pageAckOnlyOnPage, y.pageAckOnlyOnPage);
  EXPECT_EQ(x.pageAckPage, y.pageAckPage);
  EXPECT_EQ(x.finishAck.afterReads, y.finishAck.afterReads);
  EXPECT_EQ(x.corruptReadBack, y.corruptReadBack);
  EXPECT_EQ(x.corruptPage, y.corruptPage);
  EXPECT_EQ(x.corruptByte, y.corruptByte);
  EXPECT_EQ(x.windowWriteFails, y.windowWriteFails);
  EXPECT_EQ(x.windowWriteFailPage, y.windowWriteFailPage);
  EXPECT_EQ(x.windowWriteFailByte, y.windowWriteFailByte);
  EXPECT_EQ(x.windowReadFails, y.windowReadFails);
  EXPECT_EQ(x.windowReadFailPage, y.windowReadFailPage);
  const SimCallFailure* fx[] = {&x.failDpcdRead, &x.failDpcdWrite, &x.failI2cRead, &x.failI2cWrite};
  const SimCallFailure* fy[] = {&y.failDpcdRead, &y.failDpcdWrite, &y.failI2cRead, &y.failI2cWrite};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(fx[i]->nth, fy[i]->nth) << "failure kind " << i;
    EXPECT_EQ(fx[i]->count, fy[i]->count) << "failure kind " << i;
  }
  EXPECT_EQ(a.options.handles, b.options.handles);
  EXPECT_EQ(a.options.installProtocols, b.options.installProtocols);
  EXPECT_EQ(a.options.fastStall, b.options.fastStall);
  EXPECT_EQ(a.options.resetAfterPages, b.options.resetAfterPages);
}

TEST(ScenarioText, NothingButCommentsGivesTheDefaultConverterOnOneFastHandle) {
  const Parsed p = Parse("# only a comment\n\n   \t\n");
  ASSERT_TRUE(p.ok);
  SimScenarioFile expected{};
  expected.scenario = SimDefaultScenario();
  expected.options = {1, true, true, kSimNever};
  ExpectSame(p.file, expected);
  EXPECT_EQ(p.file.scenario.reg30CInitial, 0x5C) << "starts from SimDefaultScenario, not zero";
}

// Each key set to a value of its own: a key wired to the wrong field, or
// a byte field written as 32 bits over its neighbours, shows here.
TEST(ScenarioText, EveryKeyReachesItsOwnFieldAndNoOther) {
  const Parsed p = Parse(
      "answeringPort = 1001\nnoAnsweringPort = true\ndownstreamPort = 0x11\n"
      "oui0 = 0x12\noui1 = 0x13\noui2 = 0x14\nfirmwareMajor = 0x15\nfirmwareMinor = 0x16\n"
      "bootloader = 0x17\nimageMajor = 0x19\nimageMinor = 0x1A\n"
      "reg30CInitial = 0x18\nreg30CDrifts = true\n"
      "commandClearReads = 1002\nechoAfterReads = 1003\nbadEchoIndex = 1004\n"
      "badEchoAttempts = 1005\nstartAckAfterReads = 1006\npageAckAfterReads = 1007\n"
      "pageAckOnlyOnPage = true\npageAckPage = 1008\nfinishAckAfterReads = 1009\n"
      "corruptReadBack = true\ncorruptPage = 1010\ncorruptByte = 1011\n"
      "windowWriteFails = true\nwindowWriteFailPage = 1012\nwindowWriteFailByte = 1013\n"
      "windowReadFails = true\nwindowReadFailPage = 1014\n"
      "failDpcdReadNth = 1015\nfailDpcdReadCount = 1016\nfailDpcdWriteNth = 1017\n"
      "failDpcdWriteCount = 1018\nfailI2cReadNth = 1019\nfailI2cReadCount = 1020\n"
      "failI2cWriteNth = 1021\nfailI2cWriteCount = 1022\n"
      "handles = 3\ninstallProtocols = false\nfastStall = false\nresetAfterPages = 1023\n");
  ASSERT_TRUE(p.ok) << p.error.line << " " << p.error.reason;
  SimScenarioFile e{};
  SimScenario& s = e.scenario;
  s.answeringPort = 1001;
  s.noAnsweringPort = true;
  s.downstreamPort = 0x11;
  s.oui[0] = 0x12, s.oui[1] = 0x13, s.oui[2] = 0x14;
  s.firmwareMajor = 0x15, s.firmwareMinor = 0x16, s.bootloader = 0x17;
  s.imageMajor = 0x19, s.imageMinor = 0x1A;
  s.reg30CInitial = 0x18;
  s.reg30CDrifts = true;
  s.commandClearReads = 1002;
  s.echo.afterReads = 1003;
  s.badEchoIndex = 1004, s.badEchoAttempts = 1005;
  s.startAck.afterReads = 1006, s.pageAck.afterReads = 1007;
  s.pageAckOnlyOnPage = true;
  s.pageAckPage = 1008;
  s.finishAck.afterReads = 1009;
  s.corruptReadBack = true;
  s.corruptPage = 1010, s.corruptByte = 1011;
  s.windowWriteFails = true;
  s.windowWriteFailPage = 1012, s.windowWriteFailByte = 1013;
  s.windowReadFails = true;
  s.windowReadFailPage = 1014;
  s.failDpcdRead = {1015, 1016}, s.failDpcdWrite = {1017, 1018};
  s.failI2cRead = {1019, 1020}, s.failI2cWrite = {1021, 1022};
  e.options = {3, false, false, 1023};
  ExpectSame(p.file, e);
}

TEST(ScenarioText, NumbersTakeDecimalHexAndNeverButNothingBeyond32Bits) {
  EXPECT_EQ(Parse("corruptPage = 31").file.scenario.corruptPage, 31u);
  EXPECT_EQ(Parse("corruptPage = 0x1f").file.scenario.corruptPage, 31u);
  EXPECT_EQ(Parse("corruptPage = 0X1F").file.scenario.corruptPage, 31u);
  EXPECT_EQ(Parse("corruptPage = 007").file.scenario.corruptPage, 7u) << "decimal, not octal";
  EXPECT_EQ(Parse("commandClearReads = never").file.scenario.commandClearReads, kSimNever);
  EXPECT_EQ(Parse("failI2cReadCount = always").file.scenario.failI2cRead.count, kSimNever);
  EXPECT_EQ(Parse("corruptByte = 4294967295").file.scenario.corruptByte, 0xFFFFFFFFu);
  EXPECT_EQ(Parse("oui2 = 0xFF").file.scenario.oui[2], 0xFF);
  for (const char* bad :
       {"corruptByte = 4294967296", "corruptByte = 0x100000000", "corruptByte = 0x",
        "corruptByte = -1", "corruptByte = 12abc", "corruptByte = 5 6",
        "corruptByte =", "corruptByte = Never", "oui0 = 0x100", "oui0 = never", "handles = 0",
        "handles = 5", "fastStall = 1", "fastStall = True", "fastStall = yes"}) {
    const Parsed p = Parse(bad);
    EXPECT_FALSE(p.ok) << bad;
    EXPECT_STREQ(p.error.reason, "bad value") << bad;
  }
  EXPECT_EQ(Parse("handles = 4").file.options.handles, 4u);
}

// A byte or flag field taken as a 32-bit count would accept these and
// write past its own field.
TEST(ScenarioText, ByteAndFlagKeysRefuseWhatDoesNotFitThem) {
  for (const char* key : {"downstreamPort", "oui0", "oui1", "oui2", "firmwareMajor",
                          "firmwareMinor", "bootloader", "reg30CInitial"})
    EXPECT_FALSE(Parse(std::string(key) + " = 0x100").ok) << key;
  for (const char* key : {"noAnsweringPort", "reg30CDrifts", "pageAckOnlyOnPage", "corruptReadBack",
                          "windowWriteFails", "windowReadFails", "installProtocols", "fastStall"})
    EXPECT_FALSE(Parse(std::string(key) + " = 1").ok) << key;
}

TEST(ScenarioText, LinesMayCarryBlanksCrLfTrailingCommentsAndAByteOrderMark) {
  const Parsed p = Parse(
      "\xEF\xBB\xBF"
      "oui0=0x01\r\n\tfirmwareMajor\t=\t9   # the major\r\nreg30CDrifts = true#x\r\n"
      "badEchoIndex = 3");
  ASSERT_TRUE(p.ok) << p.error.line << " " << p.error.reason << " " << p.error.key;
  EXPECT_EQ(p.file.scenario.oui[0], 0x01);
  EXPECT_EQ(p.file.scenario.firmwareMajor, 9);
  EXPECT_TRUE(p.file.scenario.reg30CDrifts);
  EXPECT_EQ(p.file.scenario.badEchoIndex, 3u) << "last line without a line feed";
}

TEST(ScenarioText, TheFirstBadLineIsNamedByNumberReasonAndKey) {
  Parsed p = Parse("# header\n\noui0 = 1\r\nAnsweringPort = 2\nfoo = bar\n");
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(p.error.line, 4u) << "comment, blank and CRLF lines count";
  EXPECT_STREQ(p.error.reason, "unknown key") << "keys are case-sensitive";
  EXPECT_STREQ(p.error.key, "AnsweringPort");

  p = Parse("oui0 = 1\njust words\n");
  EXPECT_EQ(p.error.line, 2u);
  EXPECT_STREQ(p.error.reason, "expected key = value");
  p = Parse("  = 5\n");
  EXPECT_STREQ(p.error.reason, "expected key = value");
  EXPECT_STREQ(p.error.key, "");
  p = Parse("pageAck.afterReads = 1\n");
  EXPECT_STREQ(p.error.reason, "unknown key");
}

TEST(ScenarioText, ARefusedFileLeavesTheCallersScenarioAlone) {
  SimScenarioFile out{};
  out.options.handles = 77;
  SimParseError error{};
  const std::string text = "handles = 2\ncorruptPage = x\n";
  EXPECT_FALSE(SimParseScenarioText(text.data(), text.size(), &out, &error));
  EXPECT_EQ(out.options.handles, 77u);
}

TEST(ScenarioText, AnOverlongKeyIsCutInTheErrorNotOverrun) {
  const std::string key(200, 'k');
  const Parsed p = Parse(key + " = 1\n");
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(std::string(p.error.key), key.substr(0, sizeof(p.error.key) - 1));
}

TEST(ScenarioText, OnlyTheGivenLengthIsRead) {
  const char text[] = "corruptPage = 12garbage";
  SimScenarioFile out{};
  SimParseError error{};
  ASSERT_TRUE(SimParseScenarioText(text, 16, &out, &error));
  EXPECT_EQ(out.scenario.corruptPage, 12u);
  ASSERT_TRUE(SimParseScenarioText(nullptr, 0, &out, &error));
}

// --- simrec.txt ------------------------------------------------------------------

std::string Hex(const uint8_t* digest) {
  std::string s;
  for (size_t i = 0; i < kSha256Size; ++i) {
    s += "0123456789abcdef"[digest[i] >> 4];
    s += "0123456789abcdef"[digest[i] & 0xF];
  }
  return s;
}

std::string Digest(const std::string& m) {
  uint8_t d[kSha256Size];
  Sha256(reinterpret_cast<const uint8_t*>(m.data()), m.size(), d);
  return Hex(d);
}

// Lengths around the padding's one- and two-block boundary.
TEST(FlashDigest, MatchesKnownDigests) {
  EXPECT_EQ(Digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Digest(std::string(55, 'a')),
            "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
  EXPECT_EQ(Digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Digest(std::string(64, 'a')),
            "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
}

struct RecordText : ::testing::Test {
  std::unique_ptr<SimConverter> c = std::make_unique<SimConverter>();
  ConvsimRecordProtocol record{};

  void SetUp() override {
    const SimScenario s = SimDefaultScenario();
    SimInit(c.get(), &s);
    record.converterCount = 1;
    record.converters[0] = c.get();
  }
  std::string Text() {
    std::string out(64 * 1024, '\0');
    out.resize(ConvsimRecordText(record, out.data(), out.size()));
    return out;
  }
  static bool Has(const std::string& text, const std::string& line) {
    return text.find("\n" + line + "\n") != std::string::npos ||
           text.compare(0, line.size() + 1, line + "\n") == 0;
  }
};

TEST_F(RecordText, AnUntouchedConverterShowsEmptyLogsAndErasedFlash) {
  const std::string t = Text();
  EXPECT_TRUE(Has(t, "handles=1")) << t;
  EXPECT_TRUE(Has(t, "violations0=0"));
  EXPECT_TRUE(Has(t, "violationLog0=none"));
  EXPECT_TRUE(Has(t, "modeChangeSequences0=none"));
  EXPECT_TRUE(Has(t, "sourceWrites0=none"));
  EXPECT_TRUE(Has(t, "accessMicroseconds=none"));
  EXPECT_TRUE(Has(t, "firmwareStart=nothing-waits"));
  EXPECT_TRUE(Has(t, "firmwareVersion0=0x07_0x22"));
  EXPECT_TRUE(Has(t, "firmwareWritten0=false"));
  EXPECT_TRUE(Has(t, "flashSha0=71189f7fb6aed638640078fba3a35fda6c39c8962e74dcc75935aac948da9063"));
  EXPECT_EQ(t.find("dpcdReads1="), std::string::npos);
}

TEST_F(RecordText, ShowsWhatTheConverterSawInOrder) {
  uint8_t v = 0x0A;
  (void)SimDpcdRead(c.get(), 0, kSimDownstreamPort, 1, &v);  // before the mode change
  (void)SimDpcdRead(c.get(), 0, kSimReg30C, 1, &v);
  SimI2cOffset at{kSimModeChangeOffset, 1};
  uint8_t staging[kSimStagingSize] = {kSimConverterMode};
  EXPECT_EQ(SimI2cWrite(c.get(), 0, kSimAdaptorSlave, &at, 1, staging), kSimOk);
  v = 0x0A;
  EXPECT_EQ(SimDpcdWrite(c.get(), 0, kSimSourceOui, 1, &v), kSimOk);
  v = 0x5D;
  EXPECT_EQ(SimDpcdWrite(c.get(), 0, kSimReg30C, 1, &v), kSimOk);
  c->flash[0] = 0x00;
  c->vendor[kSimRegFirmwareMinor] = 0x23;
  c->firmwareWritten = true;
  record.firmwareStart = 2;
  const std::string t = Text();
  EXPECT_TRUE(Has(t, "violations0=2")) << t;
  EXPECT_TRUE(
      Has(t, "violationLog0=1 0x5 DPCD before mode change; 2 0x30C DPCD before mode change"))
      << t;
  EXPECT_TRUE(Has(t, "modeChanges0=1"));
  EXPECT_TRUE(Has(t, "modeChangeSequences0=3"));
  EXPECT_TRUE(Has(t, "sourceWrites0=300:0A,30C:5D"));
  EXPECT_TRUE(Has(t, "lastSequence0=5"));
  EXPECT_TRUE(Has(t, "firmwareStart=waits"));
  EXPECT_TRUE(Has(t, "firmwareVersion0=0x07_0x23"));
  EXPECT_TRUE(Has(t, "firmwareWritten0=true"));
  EXPECT_EQ(t.find("flashSha0=71189f7f"), std::string::npos) << "digest follows the flash";
}

TEST_F(RecordText, AccessTimeComesFromTheTscFigures) {
  record.tscHz = 2'000'000'000;
  record.tscFirstAccess = 1'000;
  record.tscLastAccess = 1'000 + 7'000'000'000ull + 3'000;  // 3.5 s and 1.5 us
  EXPECT_TRUE(Has(Text(), "accessMicroseconds=3500001"));
}

TEST_F(RecordText, WatchdogShowsTheTimeoutInForceAtTheFirstConverterCall) {
  record.watchdogSeconds = kConvsimWatchdogUnknown;
  record.watchdogAtFirstAccess = 300;
  std::string t = Text();
  EXPECT_TRUE(Has(t, "watchdogSeconds=unknown")) << t;
  EXPECT_TRUE(Has(t, "watchdogAtFirstAccess=none")) << "no converter call came";

  record.tscFirstAccess = 1;
  record.watchdogSets = 2;
  record.watchdogSeconds = 0;
  t = Text();
  EXPECT_TRUE(Has(t, "watchdogSets=2")) << t;
  EXPECT_TRUE(Has(t, "watchdogSeconds=0"));
  EXPECT_TRUE(Has(t, "watchdogAtFirstAccess=300"));
  record.watchdogAtFirstAccess = kConvsimWatchdogUnknown;
  EXPECT_TRUE(Has(Text(), "watchdogAtFirstAccess=unknown"));
}

TEST_F(RecordText, EachHandleGetsItsBlockAndTooSmallABufferGivesNothing) {
  auto second = std::make_unique<SimConverter>();
  SimInit(second.get(), nullptr);
  record.converterCount = 2;
  record.converters[1] = second.get();
  const std::string t = Text();
  EXPECT_TRUE(Has(t, "handles=2"));
  EXPECT_TRUE(Has(t, "pagesCommitted1=0"));
  std::string shorter(t.size() - 1, '\0');
  EXPECT_EQ(ConvsimRecordText(record, shorter.data(), shorter.size()), 0u) << "one byte short";
  std::string exact(t.size(), '\0');
  EXPECT_EQ(ConvsimRecordText(record, exact.data(), exact.size()), t.size());
}

}  // namespace
