// The one-line JSON objects that result and inspect print for scripts.
#pragma once

#include <cstdio>
#include <string>

// text as a JSON string, quotes included; control characters as \u00XX.
std::string JsonString(const std::string& text);
// What a script gets instead of the usual object when the command fails:
// {"state":"error","error":"..."}.
void PrintJsonError(const std::string& why, FILE* out);
