#include "pelloryctl/signer.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr uint8_t kInteger = 0x02, kOid = 0x06, kSequence = 0x30, kSet = 0x31;
constexpr uint8_t kContext0 = 0xA0, kContext1 = 0xA1;
// 1.2.840.113549.1.7.2, pkcs7-signedData.
constexpr uint8_t kSignedDataOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};

// Bytes still to be read.
struct Der {
  const uint8_t* at;
  size_t left;
};
// One element: its tag, its content, and the whole of it (tag and length too).
struct Tlv {
  uint8_t tag = 0;
  Der content = {nullptr, 0};
  Der whole = {nullptr, 0};
};

// The next element of in, which moves past it. False when the bytes hold
// none in DER: a tag of more than one byte, an indefinite length (BER
// only) or one that runs past its enclosing element.
bool Next(Der* in, Tlv* tlv) {
  if (in->left < 2 || (in->at[0] & 0x1F) == 0x1F) return false;
  size_t length = in->at[1], head = 2;
  if (length & 0x80) {
    const size_t digits = length & 0x7F;
    if (digits == 0 || digits > 4 || in->left < 2 + digits) return false;
    length = 0;
    for (size_t i = 0; i < digits; ++i) length = length << 8 | in->at[2 + i];
    head += digits;
  }
  if (in->left - head < length) return false;
  *tlv = {in->at[0], {in->at + head, length}, {in->at, head + length}};
  in->at += head + length;
  in->left -= head + length;
  return true;
}

bool Take(Der* in, uint8_t tag, Tlv* tlv) { return Next(in, tlv) && tlv->tag == tag; }

bool Same(Der a, Der b) { return a.left == b.left && memcmp(a.at, b.at, a.left) == 0; }

// The SignedData's certificates ([0]) and its first SignerInfo.
bool Parts(const uint8_t* der, size_t length, Der* certificates, Der* signer) {
  Der in = {der, length};
  Tlv info, oid, wrapped, signed_data, skip, infos, first;
  if (!Take(&in, kSequence, &info)) return false;
  Der content = info.content;
  if (!Take(&content, kOid, &oid) || !Same(oid.content, {kSignedDataOid, sizeof kSignedDataOid}) ||
      !Take(&content, kContext0, &wrapped))
    return false;
  Der body = wrapped.content;
  if (!Take(&body, kSequence, &signed_data)) return false;
  Der fields = signed_data.content;
  // version, digestAlgorithms, encapContentInfo
  if (!Take(&fields, kInteger, &skip) || !Take(&fields, kSet, &skip) || !Take(&fields, kSequence, &skip))
    return false;
  *certificates = {nullptr, 0};
  Tlv next;
  if (!Next(&fields, &next)) return false;
  if (next.tag == kContext0) {
    *certificates = next.content;
    if (!Next(&fields, &next)) return false;
  }
  if (next.tag == kContext1 && !Next(&fields, &next)) return false;  // CRLs
  infos = next;
  Der list = infos.content;
  if (infos.tag != kSet || !Take(&list, kSequence, &first)) return false;
  *signer = first.content;
  return true;
}

// The serial number, issuer and subject of a Certificate's content.
bool CertificateNames(Der certificate, Tlv* serial, Tlv* issuer, Tlv* subject) {
  Tlv tbs, field;
  Der fields;
  if (!Take(&certificate, kSequence, &tbs)) return false;
  fields = tbs.content;
  Der peek = fields;
  if (Next(&peek, &field) && field.tag == kContext0) fields = peek;  // version
  // serialNumber, signature, issuer, validity, subject
  return Take(&fields, kInteger, serial) && Take(&fields, kSequence, &field) &&
         Take(&fields, kSequence, issuer) && Take(&fields, kSequence, &field) &&
         Take(&fields, kSequence, subject);
}

// The attribute types RFC 4514 writes by a short name; others go as
// their dotted OID.
struct ShortName {
  uint8_t oid[10];
  size_t length;
  const char* name;
};
constexpr ShortName kShortNames[] = {
    {{0x55, 0x04, 0x03}, 3, "CN"},     {{0x55, 0x04, 0x07}, 3, "L"},  {{0x55, 0x04, 0x08}, 3, "ST"},
    {{0x55, 0x04, 0x0A}, 3, "O"},      {{0x55, 0x04, 0x0B}, 3, "OU"}, {{0x55, 0x04, 0x06}, 3, "C"},
    {{0x55, 0x04, 0x09}, 3, "STREET"},
    {{0x09, 0x92, 0x26, 0x89, 0x93, 0xF2, 0x2C, 0x64, 0x01, 0x19}, 10, "DC"},
    {{0x09, 0x92, 0x26, 0x89, 0x93, 0xF2, 0x2C, 0x64, 0x01, 0x01}, 10, "UID"},
};

std::string Type(Der oid) {
  for (const ShortName& known : kShortNames)
    if (Same(oid, {known.oid, known.length})) return known.name;
  std::string dotted;
  uint64_t arc = 0;
  for (size_t i = 0; i < oid.left; ++i) {
    arc = arc << 7 | (oid.at[i] & 0x7F);
    if (oid.at[i] & 0x80) continue;
    if (dotted.empty())  // the first byte holds two arcs
      dotted = arc < 80 ? std::to_string(arc / 40) + "." + std::to_string(arc % 40) : "2." + std::to_string(arc - 80);
    else
      dotted += "." + std::to_string(arc);
    arc = 0;
  }
  return dotted;
}

void PutUtf8(std::string* text, uint32_t c) {
  if (c < 0x80) {
    *text += char(c);
  } else if (c < 0x800) {
    *text += char(0xC0 | c >> 6), *text += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *text += char(0xE0 | c >> 12), *text += char(0x80 | (c >> 6 & 0x3F)), *text += char(0x80 | (c & 0x3F));
  } else {
    *text += char(0xF0 | (c >> 18 & 0x07)), *text += char(0x80 | (c >> 12 & 0x3F));
    *text += char(0x80 | (c >> 6 & 0x3F)), *text += char(0x80 | (c & 0x3F));
  }
}

// RFC 4514's escapes: its special characters, a leading space or '#', a
// trailing space; control characters as \XX.
std::string Escaped(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (uint8_t(c) < 0x20 || c == 0x7F) {
      char hex[4];
      snprintf(hex, sizeof hex, "\\%02X", unsigned(uint8_t(c)));
      out += hex;
      continue;
    }
    const bool edge = (i == 0 && (c == ' ' || c == '#')) || (i + 1 == text.size() && c == ' ');
    if (edge || strchr(",+\"\\<>;", c) != nullptr) out += '\\';
    out += c;
  }
  return out;
}

// A value of a string type as UTF-8; any other as '#' and its DER in hex.
std::string Value(const Tlv& value) {
  const Der v = value.content;
  const size_t width = value.tag == 0x1E ? 2 : value.tag == 0x1C ? 4 : 1;  // BMP, Universal
  const bool text = width > 1 || value.tag == 0x0C || value.tag == 0x13 || value.tag == 0x14 || value.tag == 0x16;
  if (!text || v.left % width != 0) {
    std::string hex = "#";
    char digits[3];
    for (size_t i = 0; i < value.whole.left; ++i) {
      snprintf(digits, sizeof digits, "%02x", unsigned(value.whole.at[i]));
      hex += digits;
    }
    return hex;
  }
  std::string utf8;
  for (size_t i = 0; i < v.left; i += width) {
    uint32_t c = 0;
    for (size_t k = 0; k < width; ++k) c = c << 8 | v.at[i + k];
    if (width == 1) utf8 += char(c);  // UTF-8 already, or ASCII
    else PutUtf8(&utf8, c);
  }
  return Escaped(utf8);
}

// A Name: a sequence of sets of (type, value); the last set first.
std::string FormatName(Der name) {
  std::vector<std::string> parts;
  for (Tlv rdn; Next(&name, &rdn);) {
    std::string part;
    Der pairs = rdn.content;
    for (Tlv pair; rdn.tag == kSet && Next(&pairs, &pair);) {
      Der fields = pair.content;
      Tlv oid, value;
      if (pair.tag == kSequence && Take(&fields, kOid, &oid) && Next(&fields, &value))
        part += (part.empty() ? "" : "+") + Type(oid.content) + "=" + Value(value);
    }
    parts.push_back(part);
  }
  std::string text;
  for (auto part = parts.rbegin(); part != parts.rend(); ++part) text += (text.empty() ? "" : ", ") + *part;
  return text;
}

}  // namespace

Outcome SignerSubject(const uint8_t* der, size_t length, std::string* subject) {
  Der certificates, signer;
  if (!Parts(der, length, &certificates, &signer)) return Fail("carries a signature that is not a PKCS#7 SignedData");
  Tlv version, sid, issuer, serial;
  Der names;
  if (!Take(&signer, kInteger, &version) || !Take(&signer, kSequence, &sid))
    return Fail("carries a signature whose SignerInfo can not be read");
  names = sid.content;
  if (!Take(&names, kSequence, &issuer) || !Take(&names, kInteger, &serial))
    return Fail("carries a signature that names its signer other than by issuer and serial number");
  for (Tlv certificate; Next(&certificates, &certificate);) {
    Tlv their_serial, their_issuer, their_subject;
    if (certificate.tag != kSequence ||
        !CertificateNames(certificate.content, &their_serial, &their_issuer, &their_subject))
      continue;
    if (Same(their_issuer.whole, issuer.whole) && Same(their_serial.whole, serial.whole)) {
      *subject = FormatName(their_subject.content);
      return Done();
    }
  }
  return Fail("carries a signature without its signer's certificate");
}
