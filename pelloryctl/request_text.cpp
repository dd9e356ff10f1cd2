#include "pelloryctl/request_text.h"

#include "contract/reading.h"

namespace {

std::string Text(text::Span span) { return std::string(span.text, span.length); }

// What both texts are before their lines are read: at most 1 KiB of
// printable ASCII lines, each ended by a line feed.
Outcome CheckText(const std::string& text) {
  if (text.size() > kTextLimit) return Fail("is longer than 1024 bytes");
  if (text.empty()) return Fail("is empty");
  if (text.back() != '\n') return Fail("does not end in a line feed");
  for (char c : text)
    if (c != '\n' && (c < 0x20 || c > 0x7E)) return Fail("holds a character that is not printable ASCII");
  return Done();
}

// The words for each of the contract reader's errors but None.
std::string RequestWhy(contract::RequestError error, const std::string& where) {
  using E = contract::RequestError;
  switch (error) {
    case E::None: break;
    case E::NoLineEnd: return "does not end in a line feed";
    case E::NotKeyValue: return "has a line that is not key=value";
    case E::UnknownKey: return "has an unknown key \"" + where + "\"";
    case E::Twice: return "names \"" + where + "\" twice";
    case E::BadFormat: return "is of an unknown format \"" + where + "\"";
    case E::BadId: return "has an invalid id";
    case E::BadAfter: return "has an invalid after=";
    case E::BadMode: return "has an invalid mode=";
    case E::BadAllow: return "has an invalid allow=";
    case E::NoFormat: return "has no format";
    case E::NoId: return "has no id";
  }
  return "can not be read";
}

std::string ReadingWhy(contract::ReadingError error) {
  using E = contract::ReadingError;
  switch (error) {
    case E::None: break;
    case E::NoLineEnd: return "does not end in a line feed";
    case E::NotKeyValue: return "has a line that is not key=value";
    case E::WrongKey: return "does not hold the keys of a reading in their order";
    case E::BadFormat: return "is of an unknown format";
    case E::BadState: return "has an unknown state";
    case E::Short: return "does not hold every key of a reading";
    case E::Long: return "holds more than the keys of a reading";
  }
  return "can not be read";
}

}  // namespace

bool ValidId(const std::string& id) {
  if (id.empty() || id.size() > kIdLimit) return false;
  for (char c : id)
    if (!contract::IdCharacter(c)) return false;
  return true;
}

std::string FormatRequest(const Request& request) {
  contract::RequestFields fields = {{}, request.after, request.mode, request.allow};
  request.id.copy(fields.id, kIdLimit);
  char bytes[kTextLimit];
  text::Writer<char> writer = text::WriterOn(bytes, sizeof bytes);
  if (!contract::FormatRequest(fields, &writer)) return "";
  return std::string(bytes, writer.used);
}

Outcome ParseRequest(const std::string& text, Request* request) {
  if (Outcome checked = CheckText(text); !checked) return checked;
  contract::RequestFields fields;
  text::Span where;
  const contract::RequestError error = contract::ParseRequest(text.data(), text.size(), &fields, &where);
  if (error != contract::RequestError::None) return Fail(RequestWhy(error, Text(where)));
  *request = {fields.id, fields.after, fields.mode, fields.allow};
  return Done();
}

const std::string& Record::Get(const std::string& key) const {
  static const std::string kNone;
  for (const auto& field : fields)
    if (field.first == key) return field.second;
  return kNone;
}

Outcome ParseRecord(const std::string& text, Record* record) {
  if (Outcome checked = CheckText(text); !checked) return checked;
  std::vector<std::pair<std::string, std::string>> lines;
  text::Span key, value;
  for (size_t at = 0;;) {
    contract::LineRead read = contract::ReadLine(text.data(), text.size(), &at, &key, &value);
    if (read == contract::LineRead::End) break;
    if (read != contract::LineRead::Line) return Fail("has a line that is not key=value");
    lines.emplace_back(Text(key), Text(value));
  }
  constexpr size_t kCount = contract::kRecordKeyCount;
  if (lines.size() != kCount) return Fail("does not hold the " + std::to_string(kCount) + " fields of a record");
  for (size_t i = 0; i < kCount; ++i)
    if (lines[i].first != contract::kRecordKeys[i])
      return Fail("has \"" + lines[i].first + "\" where \"" + contract::kRecordKeys[i] + "\" belongs");
  if (lines[0].second != "1") return Fail("is of an unknown format \"" + lines[0].second + "\"");
  if (!lines[1].second.empty() && !ValidId(lines[1].second)) return Fail("names an invalid request id");
  const std::string& outcome = lines[kCount - 1].second;
  if (!contract::KnownOutcome({outcome.data(), outcome.size()})) return Fail("has an unknown outcome");
  record->fields = lines;
  return Done();
}

Outcome ParseReading(const std::string& text, Record* reading) {
  if (Outcome checked = CheckText(text); !checked) return checked;
  contract::ReadingFields fields;
  if (const auto error = contract::ParseReading(text.data(), text.size(), &fields); error != contract::ReadingError::None)
    return Fail(ReadingWhy(error));
  reading->fields = {{contract::kReadingKeys[0], "1"},
                     {contract::kReadingKeys[1], contract::kReadingStateNames[static_cast<size_t>(fields.state)]}};
  for (size_t i = 0; i < contract::kReadingValueCount; ++i)
    reading->fields.emplace_back(contract::kReadingKeys[2 + i], Text(fields.value[i]));
  return Done();
}

std::string RecordState(const std::string& outcome) {
  if (outcome == contract::kOutcomeStarted) return "interrupted";
  if (outcome.rfind(contract::kOutcomeStopped, 0) == 0) return "stopped";
  return outcome;  // successful | failed | current | identified
}
