// Who signed a program: its Authenticode signature is a PKCS#7 SignedData
// in DER, which names its signer by issuer and serial number; the
// certificate it carries under that name gives the signer's subject.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "pelloryctl/outcome.h"

// Done when the SignedData names a signer whose certificate it carries,
// *subject then that certificate's subject written as RFC 4514 writes a
// name (most specific part first: "CN=..., O=..., C=..."); otherwise fails
// with why not, worded to follow the file's name.
Outcome SignerSubject(const uint8_t* der, size_t length, std::string* subject);
