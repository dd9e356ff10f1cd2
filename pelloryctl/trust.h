// Whether the firmware, or shim, will start a signed image, decided as
// they decide it: db and dbx (the firmware's image security database),
// MokList and MokListX (shim's Machine Owner Keys, as shim mirrors them for
// the OS: MokListRT, MokListXRT). Each is a list of EFI_SIGNATURE_LISTs
// whose X.509 entries trust (or forbid) an image whose signer is that
// certificate or has it as an issuer on the chain its signature carries,
// and whose SHA-256 entries name images by their Authenticode digest.
#pragma once

#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pelloryctl/image_signature.h"
#include "pelloryctl/outcome.h"

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};

struct SignatureDatabase {
  std::vector<std::unique_ptr<X509, X509Free>> certificates;
  std::vector<std::vector<uint8_t>> sha256;
};

// The EFI_SIGNATURE_LISTs of one variable; entries of other types are
// skipped. Fails when a list's sizes run past the data or a certificate
// can not be read.
Outcome ParseSignatureLists(const std::vector<uint8_t>& data, SignatureDatabase* database);

struct TrustLists {
  SignatureDatabase db, dbx, mok, mokx;
};
// db and dbx from the firmware's variables; MOK's from shim's mirror
// (/sys/firmware/efi/mok-variables/, else MokListRT and MokListXRT, which
// shim spreads over MokListRT1, MokListRT2, ... when they are long).
// Absent variables are empty lists.
Outcome ReadTrustLists(TrustLists* lists);

enum class TrustedBy { None, Db, Mok };

struct TrustVerdict {
  TrustedBy by = TrustedBy::None;
  std::string who;      // the subject of the entry that trusts, or "its digest"
  std::string refusal;  // with None: why not, worded to follow the file's name
};

TrustVerdict JudgeSignature(const ImageSignature& signature, const TrustLists& lists);
const char* TrustName(TrustedBy by);  // "db", "mok", "none"
