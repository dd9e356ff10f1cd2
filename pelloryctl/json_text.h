// The one-line JSON objects that result, status and inspect print for
// scripts.
#pragma once

#include <cstdio>
#include <string>

// text as a JSON string, quotes included; control characters as \u00XX.
std::string JsonString(const std::string& text);
// A command that fails prints the one line "pelloryctl: why" on err; with
// --json a script also gets, instead of the usual object,
// {"state":"error","error":"..."} on out.
void PrintFailure(const std::string& why, bool json, FILE* out, FILE* err);
