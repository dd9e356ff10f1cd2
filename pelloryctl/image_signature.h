// A program's Authenticode signature, read and checked with libcrypto as
// the firmware checks it: the image's digest by the PE/COFF rules (the
// header checksum, the certificate table's directory entry and the
// certificates themselves left out), the digest the signature carries in
// its SpcIndirectDataContent, and the signer's signature over that.
#pragma once

#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pelloryctl/outcome.h"

struct Pkcs7Free {
  void operator()(PKCS7* p7) const { PKCS7_free(p7); }
};

struct ImageSignature {
  bool present = false;         // the image carries a certificate table entry
  std::vector<uint8_t> sha256;  // the image's Authenticode SHA-256, signed or not
  std::string signer;           // the signer's subject, most specific part first
  std::unique_ptr<PKCS7, Pkcs7Free> pkcs7;
  X509* signer_certificate = nullptr;   // inside pkcs7
  STACK_OF(X509)* certificates = nullptr;  // the ones the signature carries, inside pkcs7
};

// A subject as RFC 4514 writes a name: "CN=..., O=..., C=...".
std::string NameOf(const X509_NAME* name);

// Done for an unsigned image (present false) and for a signed one whose
// signature holds for exactly these bytes; otherwise fails with why not,
// worded to follow the file's name.
Outcome ReadImageSignature(const std::vector<uint8_t>& image, ImageSignature* signature);
