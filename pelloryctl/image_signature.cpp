#include "pelloryctl/image_signature.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <algorithm>
#include <utility>

#include "pelloryctl/pe_image.h"

namespace {

// 1.3.6.1.4.1.311.2.1.4, SPC_INDIRECT_DATA_OBJID.
constexpr char kSpcIndirectData[] = "1.3.6.1.4.1.311.2.1.4";

struct Range {
  size_t from, to;
};

// What the PE/COFF rules hash, in order, as the firmware's verifier does.
bool HashedRanges(const std::vector<uint8_t>& b, const PeLayout& l, std::vector<Range>* ranges) {
  const size_t headers = l.headers_size, skip_end = l.security_entry ? l.security_entry + 8 : 0;
  if (headers > b.size() || l.checksum_at + 4 > headers || (l.security_entry && skip_end > headers)) return false;
  ranges->push_back({0, l.checksum_at});
  if (l.security_entry) {
    ranges->push_back({l.checksum_at + 4, l.security_entry});
    ranges->push_back({skip_end, headers});
  } else {
    ranges->push_back({l.checksum_at + 4, headers});
  }
  std::vector<PeSection> sections = l.sections;
  std::stable_sort(sections.begin(), sections.end(),
                   [](const PeSection& a, const PeSection& z) { return a.raw_offset < z.raw_offset; });
  size_t hashed = headers;
  for (const PeSection& s : sections) {
    if (s.raw_size == 0) continue;
    ranges->push_back({s.raw_offset, size_t(s.raw_offset) + s.raw_size});
    hashed += s.raw_size;
  }
  // What follows the sections, but for the certificates.
  const size_t certificates = l.security_entry ? l.security_size : 0;
  if (b.size() > hashed + certificates) ranges->push_back({hashed, b.size() - certificates});
  return true;
}

bool Digest(const std::vector<uint8_t>& b, const PeLayout& layout, const EVP_MD* md, std::vector<uint8_t>* out) {
  std::vector<Range> ranges;
  if (!HashedRanges(b, layout, &ranges)) return false;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok = ctx && EVP_DigestInit_ex(ctx, md, nullptr) == 1;
  for (const Range& r : ranges) ok = ok && r.from <= r.to && EVP_DigestUpdate(ctx, b.data() + r.from, r.to - r.from) == 1;
  unsigned length = 0;
  out->assign(EVP_MAX_MD_SIZE, 0);
  ok = ok && EVP_DigestFinal_ex(ctx, out->data(), &length) == 1;
  out->resize(ok ? length : 0);
  EVP_MD_CTX_free(ctx);
  return ok;
}

// The digest the signature carries and its algorithm: the second field of
// SpcIndirectDataContent, a DigestInfo. *signed_part: the content's value,
// without its tag and length, which is what the signer's digest covers.
Outcome SignedDigest(PKCS7* p7, const EVP_MD** md, std::vector<uint8_t>* digest, std::vector<uint8_t>* signed_part) {
  const Outcome unreadable = Fail("carries a signature whose Authenticode digest can not be read");
  PKCS7* inner = p7->d.sign->contents;
  ASN1_OBJECT* spc = OBJ_txt2obj(kSpcIndirectData, 1);
  const bool authenticode = inner && inner->type && spc && OBJ_cmp(inner->type, spc) == 0;
  ASN1_OBJECT_free(spc);
  if (!authenticode) return Fail("carries a signature that is not an Authenticode signature");
  const ASN1_TYPE* content = inner->d.other;
  if (!content || content->type != V_ASN1_SEQUENCE) return unreadable;
  const unsigned char* der = content->value.sequence->data;
  const long length = content->value.sequence->length;
  const unsigned char* value = der;
  long value_length = 0;
  int tag = 0, kind = 0;
  if (ASN1_get_object(&value, &value_length, &tag, &kind, length) & 0x80) return unreadable;
  signed_part->assign(value, value + value_length);
  const unsigned char* at = der;
  ASN1_SEQUENCE_ANY* fields = d2i_ASN1_SEQUENCE_ANY(nullptr, &at, length);
  X509_SIG* info = nullptr;
  if (fields && sk_ASN1_TYPE_num(fields) >= 2) {
    const ASN1_TYPE* second = sk_ASN1_TYPE_value(fields, 1);
    if (second->type == V_ASN1_SEQUENCE) {
      const unsigned char* p = second->value.sequence->data;
      info = d2i_X509_SIG(nullptr, &p, second->value.sequence->length);
    }
  }
  sk_ASN1_TYPE_pop_free(fields, ASN1_TYPE_free);
  if (!info) return unreadable;
  const X509_ALGOR* algorithm = nullptr;
  const ASN1_OCTET_STRING* carried = nullptr;
  X509_SIG_get0(info, &algorithm, &carried);
  const ASN1_OBJECT* oid = nullptr;
  X509_ALGOR_get0(&oid, nullptr, nullptr, algorithm);
  *md = EVP_get_digestbyobj(oid);
  digest->assign(carried->data, carried->data + carried->length);
  X509_SIG_free(info);
  if (!*md) return Fail("carries a signature made with a digest algorithm this machine does not know");
  return Done();
}

// The signer's signature over signed_part, and its certificate. libcrypto
// takes content given apart from the SignedData only when the SignedData
// carries none, so the carried copy is set aside meanwhile.
Outcome CheckSigner(ImageSignature* s, const std::vector<uint8_t>& signed_part) {
  PKCS7* p7 = s->pkcs7.get();
  ASN1_TYPE* carried = std::exchange(p7->d.sign->contents->d.other, nullptr);
  BIO* content = BIO_new_mem_buf(signed_part.data(), int(signed_part.size()));
  const bool verified = content && PKCS7_verify(p7, nullptr, nullptr, content, nullptr, PKCS7_NOVERIFY | PKCS7_BINARY) == 1;
  BIO_free(content);
  p7->d.sign->contents->d.other = carried;
  STACK_OF(X509)* signers = PKCS7_get0_signers(p7, nullptr, 0);
  if (signers && sk_X509_num(signers) > 0) s->signer_certificate = sk_X509_value(signers, 0);
  sk_X509_free(signers);
  if (!s->signer_certificate) return Fail("carries a signature without its signer's certificate");
  s->signer = NameOf(X509_get_subject_name(s->signer_certificate));
  if (!verified)
    return Fail("carries a signature by " + s->signer + " that its certificate does not verify: the firmware would refuse it");
  s->certificates = p7->d.sign->cert;
  return Done();
}

}  // namespace

std::string NameOf(const X509_NAME* name) {
  BIO* out = BIO_new(BIO_s_mem());
  // RFC 4514's escapes, UTF-8 kept as it is; ", " between the parts.
  const unsigned long flags = (XN_FLAG_RFC2253 & ~XN_FLAG_SEP_MASK & ~ASN1_STRFLGS_ESC_MSB) | XN_FLAG_SEP_CPLUS_SPC;
  std::string text;
  if (out && X509_NAME_print_ex(out, name, 0, flags) >= 0) {
    char* bytes = nullptr;
    long length = BIO_get_mem_data(out, &bytes);
    text.assign(bytes, size_t(length));
  }
  BIO_free(out);
  return text;
}

Outcome ReadImageSignature(const std::vector<uint8_t>& image, ImageSignature* s) {
  PeLayout layout;
  if (Outcome read = ReadPeLayout(image, &layout); !read) return read;
  if (!Digest(image, layout, EVP_sha256(), &s->sha256)) return Fail("is a truncated PE image (its headers)");
  size_t at = 0, length = 0;
  s->present = SignedData(image, &at, &length);
  if (!s->present) return Done();
  const unsigned char* der = image.data() + at;
  s->pkcs7.reset(d2i_PKCS7(nullptr, &der, long(length)));
  if (!s->pkcs7 || !PKCS7_type_is_signed(s->pkcs7.get()) || !s->pkcs7->d.sign)
    return Fail("carries a signature that is not a PKCS#7 SignedData");
  const EVP_MD* md = nullptr;
  std::vector<uint8_t> carried, mine, signed_part;
  if (Outcome read = SignedDigest(s->pkcs7.get(), &md, &carried, &signed_part); !read) return read;
  if (Outcome checked = CheckSigner(s, signed_part); !checked) return checked;
  if (!Digest(image, layout, md, &mine) || mine != carried)
    return Fail("carries a signature by " + s->signer +
                " made over other bytes (the file changed after it was signed): the firmware would refuse it");
  return Done();
}
