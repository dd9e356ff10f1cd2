#include "pelloryctl/request_text.h"

namespace {

constexpr const char* kRecordKeys[] = {
    "format", "request", "start", "time", "machine_serial", "machine_uuid", "port",
    "vendor_block", "converter_oui", "bootloader", "firmware_before", "image", "outcome"};

// Splits text into key=value lines; every line must end in LF and hold
// only printable ASCII.
std::string SplitLines(const std::string& text,
                       std::vector<std::pair<std::string, std::string>>* lines) {
  if (text.size() > kTextLimit) return "is longer than 1024 bytes";
  if (text.empty()) return "is empty";
  if (text.back() != '\n') return "does not end in a line feed";
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end - start);
    for (char c : line)
      if (c < 0x20 || c > 0x7E) return "holds a character that is not printable ASCII";
    size_t equals = line.find('=');
    if (equals == std::string::npos || equals == 0) return "has a line that is not key=value";
    lines->emplace_back(line.substr(0, equals), line.substr(equals + 1));
    start = end + 1;
  }
  return "";
}

bool ValidOutcome(const std::string& outcome) {
  return outcome == "started" || outcome == "successful" || outcome == "failed" ||
         (outcome.rfind("stopped: ", 0) == 0 && outcome.size() > 9);
}

}  // namespace

bool ValidId(const std::string& id) {
  if (id.empty() || id.size() > kIdLimit) return false;
  for (char c : id) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == ':' || c == '-';
    if (!ok) return false;
  }
  return true;
}

bool ValidAfter(const std::string& after) {
  return after == "return" || after == "reboot" || after == "shutdown";
}

std::string FormatRequest(const Request& request) {
  return "format=1\nid=" + request.id + "\nafter=" + request.after + "\n";
}

std::string ParseRequest(const std::string& text, Request* request) {
  std::vector<std::pair<std::string, std::string>> lines;
  std::string error = SplitLines(text, &lines);
  if (!error.empty()) return error;
  bool format = false, id = false, after = false;
  for (const auto& [key, value] : lines) {
    bool* seen = key == "format" ? &format : key == "id" ? &id : key == "after" ? &after : nullptr;
    if (!seen) return "has an unknown key \"" + key + "\"";
    if (*seen) return "names \"" + key + "\" twice";
    *seen = true;
    if (key == "format" && value != "1") return "is of an unknown format \"" + value + "\"";
    if (key == "id" && !ValidId(value)) return "has an invalid id";
    if (key == "after" && !ValidAfter(value)) return "has an invalid after=";
    if (key == "id") request->id = value;
    if (key == "after") request->after = value;
  }
  if (!format || !id) return format ? "has no id" : "has no format";
  return "";
}

const std::string& Record::Get(const std::string& key) const {
  static const std::string kNone;
  for (const auto& field : fields)
    if (field.first == key) return field.second;
  return kNone;
}

std::string ParseRecord(const std::string& text, Record* record) {
  std::vector<std::pair<std::string, std::string>> lines;
  std::string error = SplitLines(text, &lines);
  if (!error.empty()) return error;
  constexpr size_t kCount = sizeof kRecordKeys / sizeof kRecordKeys[0];
  if (lines.size() != kCount) return "does not hold the 13 fields of a record";
  for (size_t i = 0; i < kCount; ++i)
    if (lines[i].first != kRecordKeys[i])
      return std::string("has \"") + lines[i].first + "\" where \"" + kRecordKeys[i] + "\" belongs";
  if (lines[0].second != "1") return "is of an unknown format \"" + lines[0].second + "\"";
  if (!lines[1].second.empty() && !ValidId(lines[1].second)) return "names an invalid request id";
  if (!ValidOutcome(lines[kCount - 1].second)) return "has an unknown outcome";
  record->fields = lines;
  return "";
}
