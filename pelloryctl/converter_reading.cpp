#include "pelloryctl/converter_reading.h"

#include <vector>

#include "contract/key_value.h"
#include "pelloryctl/variables.h"

namespace {

constexpr const char* kStateKey = contract::kReadingKeys[1];
constexpr const char* kFirmwareKey = contract::kReadingKeys[7];

}  // namespace

bool IsState(const Record& reading, contract::ReadingState state) {
  return reading.Get(kStateKey) == contract::kReadingStateNames[static_cast<size_t>(state)];
}

Outcome ReadConverter(Record* reading, bool* present) {
  std::vector<uint8_t> bytes;
  if (Outcome read = VarGet(kPelloryGuid, contract::kConverterVariable, &bytes, kTextLimit, present); !read)
    return read;
  if (!*present) return Done();
  if (Outcome parsed = ParseReading({bytes.begin(), bytes.end()}, reading); !parsed)
    return Fail(std::string(contract::kConverterVariable) + " " + parsed.reason);
  return Done();
}

const std::string& Running(const Record& reading) { return reading.Get(kFirmwareKey); }

bool ReadingTells(const Record& reading, const std::string& image, bool* runs) {
  // The running version is "0x07_0x23", the image's "07_23": compared as
  // the two bytes each stands for, never as text.
  const std::string& running = Running(reading);
  uint8_t major = 0, minor = 0, image_major = 0, image_minor = 0;
  if (!IsState(reading, contract::ReadingState::Seen) ||
      !contract::ParseFirmwareVersion({running.data(), running.size()}, &major, &minor) ||
      !contract::ParseImageVersion({image.data(), image.size()}, &image_major, &image_minor))
    return false;
  *runs = major == image_major && minor == image_minor;
  return true;
}
