// The two texts pelloryctl and the program exchange: the request the OS
// writes (PelloryRequest) and the record the program leaves (PelloryResult).
// Both are ASCII `key=value` lines, each ending in LF, at most 1024 bytes.
#pragma once

#include <string>
#include <utility>
#include <vector>

inline constexpr size_t kTextLimit = 1024;
inline constexpr size_t kIdLimit = 64;

struct Request {
  std::string id;
  std::string after = "return";  // return | reboot | shutdown
};

bool ValidId(const std::string& id);
bool ValidAfter(const std::string& after);
std::string FormatRequest(const Request& request);
// Empty when text is a valid request; otherwise what is wrong with it.
std::string ParseRequest(const std::string& text, Request* request);

// The record's fields in the program's order; outcome is the last.
struct Record {
  std::vector<std::pair<std::string, std::string>> fields;
  const std::string& Get(const std::string& key) const;
};
std::string ParseRecord(const std::string& text, Record* record);
