#include "pelloryctl/trust.h"

#include <algorithm>
#include <cstring>

#include "pelloryctl/system_paths.h"
#include "pelloryctl/variables.h"

namespace {

constexpr size_t kListLimit = 1u << 20;
constexpr size_t kListHeader = 28;  // SignatureType, ListSize, HeaderSize, SignatureSize
constexpr size_t kOwnerSize = 16;   // each entry's SignatureOwner

uint32_t Le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

// One variable's bytes, or none when it is absent.
Outcome ReadVariable(const efi_guid_t& guid, const std::string& name, std::vector<uint8_t>* data) {
  if (Outcome read = VarGet(guid, name, data, kListLimit); !read) return Fail(name + " can not be read", read.error);
  return Done();
}

// shim's list for the OS: the whole of it in the MOK configuration table
// that the kernel shows, else the runtime variable and its continuations.
Outcome ReadMokList(const std::string& name, std::vector<uint8_t>* data) {
  if (ReadWholeFile(SystemPath("/sys/firmware/efi/mok-variables/" + name), data, kListLimit)) return Done();
  data->clear();
  for (unsigned part = 0;; ++part) {
    std::vector<uint8_t> piece;
    const std::string each = part == 0 ? name : name + std::to_string(part);
    if (Outcome read = ReadVariable(efi_guid_shim, each, &piece); !read) return read;
    if (piece.empty()) return Done();
    data->insert(data->end(), piece.begin(), piece.end());
  }
}

// The signer is the anchor, or the anchor issued a certificate on the
// chain from the signer through the certificates the signature carries.
// The firmware checks no validity period (it has no trusted clock).
bool Anchors(const ImageSignature& s, X509* anchor) {
  X509_STORE* store = X509_STORE_new();
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  bool ok = store && ctx && X509_STORE_add_cert(store, anchor) == 1 &&
            X509_STORE_set_flags(store, X509_V_FLAG_PARTIAL_CHAIN | X509_V_FLAG_NO_CHECK_TIME) == 1 &&
            X509_STORE_CTX_init(ctx, store, s.signer_certificate, s.certificates) == 1 && X509_verify_cert(ctx) == 1;
  X509_STORE_CTX_free(ctx);
  X509_STORE_free(store);
  return ok;
}

// Who in database speaks for the image: "" when no one.
std::string Match(const ImageSignature& s, const SignatureDatabase& database) {
  if (std::find(database.sha256.begin(), database.sha256.end(), s.sha256) != database.sha256.end()) return "its digest";
  for (const auto& certificate : database.certificates)
    if (Anchors(s, certificate.get())) return NameOf(X509_get_subject_name(certificate.get()));
  return "";
}

std::string Forbidden(const std::string& who, const char* list) {
  return who == "its digest" ? std::string("whose digest ") + list + " forbids"
                             : std::string("whose certificate ") + list + " forbids (" + who + ")";
}

}  // namespace

Outcome ParseSignatureLists(const std::vector<uint8_t>& data, SignatureDatabase* database) {
  const Outcome damaged = Fail("holds a signature list that is damaged");
  for (size_t at = 0; at < data.size();) {
    if (data.size() - at < kListHeader) return damaged;
    const uint8_t* type = data.data() + at;  // SignatureType, a GUID as the firmware stores it
    const size_t list = Le32(&data[at + 16]), header = Le32(&data[at + 20]), each = Le32(&data[at + 24]);
    if (list < kListHeader || list > data.size() - at || header > list - kListHeader || each <= kOwnerSize ||
        (list - kListHeader - header) % each != 0)
      return damaged;
    for (size_t entry = at + kListHeader + header; entry < at + list; entry += each) {
      const uint8_t* value = data.data() + entry + kOwnerSize;
      const size_t length = each - kOwnerSize;
      if (memcmp(type, &efi_guid_sha256, 16) == 0 && length == 32) {
        database->sha256.emplace_back(value, value + length);
      } else if (memcmp(type, &efi_guid_x509_cert, 16) == 0) {
        const unsigned char* der = value;
        X509* certificate = d2i_X509(nullptr, &der, long(length));
        if (!certificate) return damaged;
        database->certificates.emplace_back(certificate);
      }
    }
    at += list;
  }
  return Done();
}

Outcome ReadTrustLists(TrustLists* lists) {
  const struct {
    const char* name;
    bool mok;
    SignatureDatabase* into;
  } sources[] = {{"db", false, &lists->db}, {"dbx", false, &lists->dbx},
                 {"MokListRT", true, &lists->mok}, {"MokListXRT", true, &lists->mokx}};
  for (const auto& source : sources) {
    std::vector<uint8_t> data;
    Outcome read = source.mok ? ReadMokList(source.name, &data) : ReadVariable(efi_guid_security, source.name, &data);
    if (read) read = ParseSignatureLists(data, source.into);
    if (!read) return Fail(std::string(source.name) + " " + read.reason, read.error);
  }
  return Done();
}

TrustVerdict JudgeSignature(const ImageSignature& s, const TrustLists& lists) {
  TrustVerdict verdict;
  const std::string signed_by = "is signed by " + s.signer + ", ";
  // dbx refuses whatever db says; MokListX whatever MOK says.
  if (std::string who = Match(s, lists.dbx); !who.empty()) {
    verdict.refusal = signed_by + Forbidden(who, "dbx") + ": the firmware would refuse it";
    return verdict;
  }
  if (std::string who = Match(s, lists.db); !who.empty()) return {TrustedBy::Db, who, ""};
  if (std::string who = Match(s, lists.mokx); !who.empty()) {
    verdict.refusal = signed_by + Forbidden(who, "MokListX") + ": shim would refuse it";
    return verdict;
  }
  if (std::string who = Match(s, lists.mok); !who.empty()) return {TrustedBy::Mok, who, ""};
  verdict.refusal = signed_by + "which neither db nor MOK trusts: the firmware would refuse it";
  return verdict;
}

const char* TrustName(TrustedBy by) {
  return by == TrustedBy::Db ? "db" : by == TrustedBy::Mok ? "mok" : "none";
}
