// Reading the machine's serial number and UUID from SMBIOS structure tables
// as firmware lays them out, well-formed or not. Each table is an exact-size
// vector, so a read past its end is an AddressSanitizer failure.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/smbios.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Type 1 with 0x1B formatted bytes: serial as string `serialIndex`, the UUID
// 00 11 .. FF, then `strings` (each ended by a zero) and the set's end.
Bytes SystemInformation(uint8_t serialIndex, const std::vector<std::string>& strings) {
  Bytes t(0x1B, 0);
  t[0] = 1, t[1] = 0x1B, t[7] = serialIndex;
  for (int i = 0; i < 16; i++) t[8 + i] = static_cast<uint8_t>(i * 0x11);
  for (const std::string& s : strings) {
    t.insert(t.end(), s.begin(), s.end());
    t.push_back(0);
  }
  if (strings.empty()) t.push_back(0);
  t.push_back(0);
  return t;
}

SystemIdentity Read(const Bytes& table, uint16_t version = 0x0304) {
  SystemIdentity id;
  ReadSystemIdentityFrom(table.data(), table.size(), version, &id);
  return id;
}

TEST(Smbios, SystemInformationIsFoundBehindOtherStructures) {
  Bytes bios = {0, 0x18, 0, 0, 1, 2};  // type 0 with two strings
  bios.resize(0x18, 0);
  for (const char* s : {"Vendor", "1.0"}) bios.insert(bios.end(), s, s + std::string(s).size() + 1);
  bios.push_back(0);
  Bytes bare = {0x20, 4, 0, 0, 0, 0};  // no strings: two zero bytes
  Bytes table = bios;
  table.insert(table.end(), bare.begin(), bare.end());
  Bytes system = SystemInformation(2, {"Maker", "PC-0042"});
  table.insert(table.end(), system.begin(), system.end());
  SystemIdentity id = Read(table);
  EXPECT_STREQ(id.serial, "PC-0042");
  EXPECT_STREQ(id.uuid, "33221100-5544-7766-8899-AABBCCDDEEFF");
  EXPECT_STREQ(Read(table, 0x0205).uuid, "00112233-4455-6677-8899-AABBCCDDEEFF")
      << "before 2.6 the bytes stand in table order";
}

TEST(Smbios, SerialIsShownSafelyOrNotAtAll) {
  EXPECT_STREQ(Read(SystemInformation(1, {"AB\tC\xC3\xA9  "})).serial, "AB?C??");
  EXPECT_STREQ(Read(SystemInformation(1, {std::string(80, 'x')})).serial, std::string(64, 'x').c_str());
  EXPECT_STREQ(Read(SystemInformation(3, {"only one"})).serial, "") << "no third string";
  EXPECT_STREQ(Read(SystemInformation(0, {"x"})).serial, "") << "string 0 is none";
  Bytes cut = SystemInformation(1, {"SERIAL"});
  cut.resize(cut.size() - 4);  // the table ends inside the string
  SystemIdentity id = Read(cut);
  EXPECT_STREQ(id.serial, "");
  EXPECT_STREQ(id.uuid, "33221100-5544-7766-8899-AABBCCDDEEFF");
}

TEST(Smbios, MalformedTablesGiveNothingAndAreNotOverrun) {
  EXPECT_STREQ(Read({1, 2, 0, 0, 0, 0}).uuid, "") << "a structure shorter than its header";
  Bytes shortOne = SystemInformation(1, {"S"});
  shortOne[1] = 0x08;  // no room for the UUID: a 2.0 structure
  shortOne.erase(shortOne.begin() + 8, shortOne.begin() + 0x1B);
  SystemIdentity id = Read(shortOne);
  EXPECT_STREQ(id.serial, "S");
  EXPECT_STREQ(id.uuid, "");
  EXPECT_STREQ(Read({1, 0x1B, 0, 0, 1, 2, 3, 4, 5, 6}).uuid, "") << "formatted area past the end";
  EXPECT_STREQ(Read({127, 4, 0, 0, 0, 0}).serial, "") << "end of table first";
  Bytes unset = SystemInformation(0, {});
  for (int i = 0; i < 16; i++) unset[8 + i] = 0;
  EXPECT_STREQ(Read(unset).uuid, "") << "all zero: not set";
}

}  // namespace
