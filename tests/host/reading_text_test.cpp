// The reading's text as the driver writes it and pelloryctl reads it, and
// the tag by which pelloryctl knows the driver's file.
#include <gtest/gtest.h>

#include <string>

#include "contract/key_value.h"
#include "contract/reading.h"

namespace {

using contract::ReadingError;

const std::string kSeen =
    "format=1\nstate=seen\ntime=2026-12-08T12:00:00\nport=0\nvendor_block=0x500\nconverter_oui=0A1B2C\n"
    "bootloader=2.0.1\nfirmware=0x07_0x22\n";

TEST(ReadingText, WrittenAndReadBackValueForValue) {
  const char* const values[contract::kReadingValueCount] = {"2026-12-08T12:00:00", "0", "0x500", "0A1B2C",
                                                            "2.0.1", "0x07_0x22"};
  char bytes[1024];
  text::Writer<char> out = text::WriterOn(bytes, sizeof bytes);
  ASSERT_TRUE(contract::FormatReading(contract::ReadingState::Seen, values, &out));
  ASSERT_EQ(std::string(bytes, out.used), kSeen);
  contract::ReadingFields fields;
  ASSERT_EQ(contract::ParseReading(bytes, out.used, &fields), ReadingError::None);
  EXPECT_EQ(fields.state, contract::ReadingState::Seen);
  for (size_t i = 0; i < contract::kReadingValueCount; i++)
    EXPECT_EQ(std::string(fields.value[i].text, fields.value[i].length), values[i]);
  // One byte short of room: the writer says so.
  text::Writer<char> tight = text::WriterOn(bytes, kSeen.size() - 1);
  EXPECT_FALSE(contract::FormatReading(contract::ReadingState::Seen, values, &tight));
}

TEST(ReadingText, AnythingButTheEightKeysInOrderIsRefused) {
  auto replaced = [](const std::string& from, const std::string& to) {
    std::string text = kSeen;
    return text.replace(text.find(from), from.size(), to);
  };
  const struct {
    std::string text;
    ReadingError error;
  } cases[] = {
      {replaced("state=seen", "state=none"), ReadingError::None},
      {replaced("firmware=0x07_0x22\n", "firmware=\n"), ReadingError::None},
      {kSeen.substr(0, kSeen.size() - 1), ReadingError::NoLineEnd},
      {replaced("format=1", "format=2"), ReadingError::BadFormat},
      {replaced("state=seen", "state=Seen"), ReadingError::BadState},
      {replaced("port=0\nvendor_block=0x500\n", "vendor_block=0x500\nport=0\n"), ReadingError::WrongKey},
      {replaced("bootloader=2.0.1", "bootloader 2.0.1"), ReadingError::NotKeyValue},
      {kSeen.substr(0, kSeen.find("firmware=")), ReadingError::Short},
      {kSeen + "firmware=0x07_0x23\n", ReadingError::Long},
      {"", ReadingError::Short},
  };
  for (const auto& c : cases) {
    contract::ReadingFields fields;
    EXPECT_EQ(contract::ParseReading(c.text.data(), c.text.size(), &fields), c.error) << c.text;
  }
}

TEST(DriverTag, FoundOnlyWithAVersionAndItsLineFeed) {
  const struct {
    std::string bytes;
    const char* version;  // nullptr: not found
  } cases[] = {
      {std::string("\0\0Pellory identification driver version:0.4\n\0", 45), "0.4"},
      {"Pellory identification driver version:0.4", nullptr},
      {"Pellory identification driver version:\n", nullptr},
      {"Pellory identification driver version:0.4 \n", nullptr},
      {"Pellory identification driver version:\xff\nPellory identification driver version:1.2\n", "1.2"},
      {"Pellory Version:0.4, firmware version 07_23\n", nullptr},
  };
  for (const auto& c : cases) {
    text::Span version = {};
    const bool found =
        contract::FindDriverTag(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size(), &version);
    EXPECT_EQ(found, c.version != nullptr) << c.bytes;
    if (!found || c.version == nullptr) continue;
    EXPECT_EQ(std::string(version.text, version.length), c.version);
  }
}

}  // namespace
