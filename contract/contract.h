// What the program and pelloryctl agree on, written once: the variables
// they exchange under Pellory's vendor GUID, the request the OS leaves for
// one unattended run, the record the run leaves for the OS, and the banner
// by which pelloryctl knows a Pellory program and its image's version.
// Freestanding: the firmware build and the Linux build both include it.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace contract {

struct Guid {
  uint32_t data1;
  uint16_t data2, data3;
  uint8_t data4[8];
};
// be057045-d74a-4ebf-9efa-596b51b4c99b
inline constexpr Guid kVendorGuid = {
    0xbe057045, 0xd74a, 0x4ebf, {0x9e, 0xfa, 0x59, 0x6b, 0x51, 0xb4, 0xc9, 0x9b}};

inline constexpr char kRequestVariable[] = "PelloryRequest";
inline constexpr char kResultVariable[] = "PelloryResult";

// Both texts are ASCII `key=value` lines, each ended by a line feed, and
// stay under 1 KiB: x86 kernels keep 5 KiB of the store for themselves.
inline constexpr size_t kTextLimit = 1024;

// A request id: 1 to 64 of A-Z a-z 0-9 . _ : -
inline constexpr size_t kIdLimit = 64;
constexpr bool IdCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == ':' || c == '-';
}

// The request: format=1 and id= once each; after=, mode= and allow= at
// most once each; nothing else.
enum class After : uint8_t { Return, Reboot, Shutdown };
enum class Mode : uint8_t { Update, Identify };
// What an update may write beyond a newer image: the same one, an older one.
enum class Allow : uint8_t { Newer, Same, Older, Any };
inline constexpr const char* kAfterNames[] = {"return", "reboot", "shutdown"};
inline constexpr const char* kModeNames[] = {"update", "identify"};
// Allow::Newer is what no allow= line asks for; it has no name.
inline constexpr const char* kAllowNames[] = {nullptr, "same", "older", "any"};

// The record: these keys, in this order, a line each. The first three are
// the record's own; the others are history.csv's columns too.
inline constexpr size_t kRecordKeyCount = 13;
inline constexpr size_t kRecordOwnKeys = 3;
inline constexpr const char* kRecordKeys[kRecordKeyCount] = {
    "format",        "request",    "start",           "time",  "machine_serial",
    "machine_uuid",  "port",       "vendor_block",    "converter_oui",
    "bootloader",    "firmware_before", "image",      "outcome"};
inline constexpr const char* kStartNames[] = {"shell", "boot", "network"};

// A record's outcome: one of these words, or the stop's message after
// kOutcomeStopped.
inline constexpr char kOutcomeStarted[] = "started";
inline constexpr char kOutcomeSuccessful[] = "successful";
inline constexpr char kOutcomeFailed[] = "failed";
inline constexpr char kOutcomeCurrent[] = "current";
inline constexpr char kOutcomeIdentified[] = "identified";
inline constexpr char kOutcomeStopped[] = "stopped: ";

// Every program prints this first: "Pellory Version:0.4, firmware version
// 07_23" and a line feed, the image's version as MM_mm in upper-case hex.
// The program keeps it as plain ASCII, so it can be found in the file.
inline constexpr char kBannerStart[] = "Pellory Version:";
inline constexpr char kBannerImage[] = ", firmware version ";
inline constexpr size_t kImageVersionLength = 5;
// A program built for one converter also carries this line, the
// converter's OUI in six upper-case hexadecimal digits after it.
inline constexpr char kConverterTag[] = "Pellory converter OUI:";
// The record's image text: the version, " sha256:" and this many digits of
// the image's SHA-256.
inline constexpr char kImageDigestTag[] = " sha256:";
inline constexpr size_t kImageDigestShown = 16;

// The resident identification driver leaves what it read of the converter
// at this boot in a volatile variable (boot and runtime access, never kept
// across a reset): these keys, in this order, a line each, every one always
// there; a value whose read failed is empty.
inline constexpr char kConverterVariable[] = "PelloryConverter";
inline constexpr size_t kReadingKeyCount = 8;
inline constexpr const char* kReadingKeys[kReadingKeyCount] = {
    "format", "state", "time", "port", "vendor_block", "converter_oui", "bootloader", "firmware"};
// seen: every read answered; unreadable: one did not; none: the graphics
// driver offers neither of its two protocols.
enum class ReadingState : uint8_t { Seen, Unreadable, None };
inline constexpr const char* kReadingStateNames[] = {"seen", "unreadable", "none"};
// The driver carries this line, its version after it and a line feed, so
// that pelloryctl knows the file for one.
inline constexpr char kDriverTag[] = "Pellory identification driver version:";

}  // namespace contract
