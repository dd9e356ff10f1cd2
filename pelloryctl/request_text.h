// The texts pelloryctl and the firmware exchange: the request the OS
// writes (PelloryRequest), the record the program leaves (PelloryResult)
// and the reading the identification driver leaves (PelloryConverter),
// read and written with the contract's own readers and writer.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "contract/key_value.h"
#include "pelloryctl/outcome.h"

using contract::kIdLimit;
using contract::kTextLimit;

struct Request {
  std::string id;
  contract::After after = contract::After::Return;
  contract::Mode mode = contract::Mode::Update;
  contract::Allow allow = contract::Allow::Newer;
};

bool ValidId(const std::string& id);
// The value's place among a contract's names (kAfterNames, ...).
template <typename Value, size_t N>
bool NamedValue(const std::string& text, const char* const (&names)[N], Value* value) {
  for (size_t k = 0; k < N; ++k) {
    if (names[k] == nullptr || text != names[k]) continue;
    *value = static_cast<Value>(k);
    return true;
  }
  return false;
}
template <typename Value, size_t N>
std::string NameOf(Value value, const char* const (&names)[N]) {
  const char* name = names[static_cast<size_t>(value)];
  return name == nullptr ? "" : name;
}
std::string FormatRequest(const Request& request);
// Fails, when text is not a valid request, with what is wrong with it,
// worded to follow the variable's name.
Outcome ParseRequest(const std::string& text, Request* request);

// The record's fields in the program's order; outcome is the last.
struct Record {
  std::vector<std::pair<std::string, std::string>> fields;
  const std::string& Get(const std::string& key) const;
};
Outcome ParseRecord(const std::string& text, Record* record);
// A reading, strictly (contract::ParseReading): its eight keys and values
// in their order, held as a record's fields are.
Outcome ParseReading(const std::string& text, Record* reading);

// What a record's outcome says of its run: interrupted (still `started`),
// stopped, or the outcome word itself.
std::string RecordState(const std::string& outcome);
