// The one reader and writer of the `key=value` lines that the request and
// the record are made of, and the request's own reader and writer, shared
// by the program and pelloryctl.
#pragma once

#include "contract/contract.h"
#include "text/text.h"

namespace contract {

using text::Span;

enum class LineRead : uint8_t { Line, End, NoLineEnd, NotKeyValue };
// Reads the line at *at into key (up to its first '=') and value (up to its
// line feed) and moves *at past it. End when *at is at the end; NoLineEnd
// when the last line has no line feed; NotKeyValue when a line has no '='
// or nothing before it.
LineRead ReadLine(const char* bytes, size_t size, size_t* at, Span* key, Span* value);

// `key=value` and a line feed. A value holds no line break and no control
// character (each shown as '?'): the line it is on is the whole of it.
void PutLine(text::Writer<char>* writer, const char* key, const char* value);

struct RequestFields {
  char id[kIdLimit + 1];
  After after;
  Mode mode;
  Allow allow;
};
enum class RequestError : uint8_t {
  None,
  NoLineEnd,
  NotKeyValue,
  UnknownKey,
  Twice,
  BadFormat,
  BadId,
  BadAfter,
  BadMode,
  BadAllow,
  NoFormat,
  NoId,
};
// Reads a request strictly; on an error *where is the line's key or value
// that it is about (empty for NoFormat and NoId).
RequestError ParseRequest(const char* bytes, size_t size, RequestFields* request, Span* where);
// Writes the request, after=, mode= and allow= only where they differ from
// the default. False when it does not fit.
bool FormatRequest(const RequestFields& request, text::Writer<char>* writer);

// A record's outcome: a known word, or "stopped: " and a message.
bool KnownOutcome(Span outcome);
// "07_23": two bytes in upper-case hexadecimal joined by '_'.
bool ParseImageVersion(Span text, uint8_t* major, uint8_t* minor);
// "0x07_0x23": the converter's running version as the record's
// firmware_before and the reading's firmware= hold it, the same two bytes
// as an image version, each behind "0x".
bool ParseFirmwareVersion(Span text, uint8_t* major, uint8_t* minor);
// Finds the banner in a program's bytes: the program's version and the
// image's (kImageVersionLength characters). False when no banner carries
// an image version.
bool FindBanner(const uint8_t* bytes, size_t size, Span* program, Span* image);

// Finds the converter line in a program's bytes: the tag, six upper-case
// hexadecimal digits and a line feed. False when there is none.
bool FindConverter(const uint8_t* bytes, size_t size, uint8_t oui[3]);

// Finds the identification driver's tag in an image's bytes: the tag, the
// driver's version (printable, no space) and a line feed. False when there
// is none.
bool FindDriverTag(const uint8_t* bytes, size_t size, Span* version);

}  // namespace contract
