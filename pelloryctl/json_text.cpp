#include "pelloryctl/json_text.h"

std::string JsonString(const std::string& text) {
  std::string json = "\"";
  for (char c : text) {
    if (uint8_t(c) < 0x20) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(c));
      json += escaped;
      continue;
    }
    if (c == '"' || c == '\\') json += '\\';
    json += c;
  }
  return json + "\"";
}

void PrintFailure(const std::string& why, bool json, FILE* out, FILE* err) {
  fprintf(err, "pelloryctl: %s\n", why.c_str());
  if (json) fprintf(out, "{\"state\":\"error\",\"error\":%s}\n", JsonString(why).c_str());
}
