// `pelloryctl inspect`: what a program carries, from the file alone.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "hash/sha256.h"
#include "tests/pelloryctl/stand_in.h"

namespace {

size_t Find(const Bytes& b, const std::string& text) {
  return size_t(std::search(b.begin(), b.end(), text.begin(), text.end()) - b.begin());
}

std::string Hex(const uint8_t* bytes, size_t n) {
  std::string hex;
  char two[3];
  for (size_t i = 0; i < n; ++i) snprintf(two, sizeof two, "%02x", bytes[i]), hex += two;
  return hex;
}

void Put32(Bytes* b, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*b)[at + size_t(i)] = uint8_t(value >> (8 * i));
}

// A PE32+ EFI application of one section that holds what the build embeds:
// the 65,536-byte image, its SHA-256 in hex, then the given text.
Bytes FakeProgram(const Bytes& image, const std::string& after_digest) {
  uint8_t digest[kSha256Size];
  Sha256(image.data(), image.size(), digest);
  Bytes data = image;
  std::string text = Hex(digest, kSha256Size) + after_digest;
  data.insert(data.end(), text.begin(), text.end());
  Bytes b(0x200, 0);
  b[0] = 'M', b[1] = 'Z', b[0x3C] = 0x40;
  Put32(&b, 0x40, 0x00004550);
  b[0x44] = 0x64, b[0x45] = 0x86;       // x86-64
  b[0x46] = 1;                          // one section
  b[0x54] = 240;                        // the optional header's size
  b[0x58] = 0x0B, b[0x59] = 0x02;       // PE32+
  b[0x58 + 60] = 0x00, b[0x58 + 61] = 0x02;  // the headers: 0x200 bytes
  b[0x58 + 68] = 10;                    // EFI application
  b[0x58 + 108] = 16;                   // data directories
  Put32(&b, 0x58 + 240 + 16, uint32_t(data.size()));  // the section's bytes: size, offset
  Put32(&b, 0x58 + 240 + 20, 0x200);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

// A copy of the program signed by sbsign as "pelloryctl signer", whose
// certificate a test CA issued; the CA's certificate goes in too. Empty
// when sbsign or openssl is missing.
std::string SignedCopy(const std::string& dir) {
  if (system("command -v sbsign >/dev/null && command -v openssl >/dev/null") != 0) return "";
  const std::string subject = "/C=DE/O=Pellory Test, Inc./CN=";
  std::string command =
      "cd " + dir + " && openssl req -new -x509 -newkey rsa:2048 -nodes -subj '" + subject +
      "Pellory Test CA' -keyout ca.key -out ca.pem -days 1 && openssl req -new -newkey rsa:2048 -nodes -subj '" +
      subject + "pelloryctl signer' -keyout key.pem -out signer.csr && openssl x509 -req -in signer.csr "
      "-CA ca.pem -CAkey ca.key -set_serial 7 -days 1 -out cert.pem && openssl x509 -in ca.pem -outform DER "
      "-out ca.der && openssl x509 -in cert.pem -outform DER -out cert.der && sbsign --key key.pem --cert "
      "cert.pem --addcert ca.pem --output signed.efi " + EfiImage("pellory-testimage.efi");
  EXPECT_EQ(system((command + " >/dev/null 2>&1").c_str()), 0) << command;
  return dir + "/signed.efi";
}

// The build's .sbat, as JSON writes it.
const std::string kSbat = "sbat,1,SBAT Version,sbat,1,https://github.com/rhboot/shim/blob/main/SBAT.md\\u000a"
                          "pellory,1,Pellory,pellory,0.4,README.md\\u000a";

class Inspect : public StandIn {
 protected:
  // On the stand-in machine, whose db is empty: no key trusts the program.
  std::string Json(const std::string& path, const std::string& program, const std::string& image,
                   const std::string& oui, const std::string& signer = "", const std::string& sbat = kSbat) {
    return "{\"file\":\"" + path + "\",\"program_version\":\"" + program + "\",\"image_version\":\"" +
           image.substr(0, 5) + "\",\"image\":\"" + image + "\",\"converter_oui\":\"" + oui +
           "\",\"signed\":" + (signer.empty() ? "false" : "true") + ",\"signer\":\"" + signer +
           "\",\"trusted_by\":\"none\",\"sbat\":\"" + sbat + "\"}\n";
  }
};

TEST_F(Inspect, TheBuildsProgramCarriesItsVersionsAndItsImagesDigest) {
  const std::string path = EfiImage("pellory-testimage.efi");
  Bytes program = ReadFile(path);
  // The build puts the digest right before the banner, the image right before it.
  const size_t digest = Find(program, "Pellory Version:0.4, firmware version 07_23\n") - 64;
  ASSERT_LT(digest, program.size());
  uint8_t sum[kSha256Size];
  Sha256(program.data() + digest - 65536, 65536, sum);
  ASSERT_EQ(Hex(sum, kSha256Size), std::string(program.begin() + long(digest), program.begin() + long(digest) + 64));
  const std::string image = "07_23 sha256:" + Hex(sum, 8);
  CtlRun run = Ctl({"inspect", path, "--json"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, Json(path, "0.4", image, ""));
  run = Ctl({"inspect", path});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("Image: " + image), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Signed: no\nTrusted by: none\nSBAT: sbat,1,SBAT Version,sbat,1,"
                         "https://github.com/rhboot/shim/blob/main/SBAT.md\nSBAT: pellory,1,Pellory,pellory,0.4,README.md\n"),
            std::string::npos) << run.out;
}

TEST_F(Inspect, ASignedCopyNamesItsSignerWhereverItsCertificateStands) {
  const std::string path = SignedCopy(root_);
  if (path.empty()) GTEST_SKIP() << "sbsign or openssl is missing";
  const std::string signer = "CN=pelloryctl signer, O=Pellory Test\\\\, Inc., C=DE";
  const std::string image = "07_23 sha256:d1c23f383fb67ae1";
  EXPECT_EQ(Ctl({"inspect", path, "--json"}).out, Json(path, "0.4", image, "", signer));
  // The CA's certificate first: the signer is found by issuer and serial
  // number (both certificates have the CA as issuer), not by place.
  Bytes b = ReadFile(path), ca = ReadFile(root_ + "/ca.der"), cert = ReadFile(root_ + "/cert.der");
  const size_t at = size_t(std::search(b.begin(), b.end(), cert.begin(), cert.end()) - b.begin());
  ASSERT_EQ(Bytes(b.begin() + long(at + cert.size()), b.begin() + long(at + cert.size() + ca.size())), ca);
  std::copy(ca.begin(), ca.end(), b.begin() + long(at));
  std::copy(cert.begin(), cert.end(), b.begin() + long(at + ca.size()));
  WriteFile(root_ + "/swapped.efi", b);
  CtlRun run = Ctl({"inspect", root_ + "/swapped.efi"});
  EXPECT_NE(run.out.find("Signed: yes, by CN=pelloryctl signer, O=Pellory Test\\, Inc., C=DE\n"), std::string::npos)
      << run.out << run.err;
}

TEST_F(Inspect, AProgramForOneConverterAndFilesThatAreNoProgram) {
  Bytes image(65536);
  for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 7 + (i >> 8));
  Bytes hex_tail = image;  // the image's last bytes read as digits too
  for (size_t i = 1; i <= 9; ++i) hex_tail[hex_tail.size() - i] = 'a';
  const std::string banner = "Pellory Version:0.5, firmware version 07_24\n";
  const std::string converter = "Pellory converter OUI:0A1B2C\n";
  Bytes mismatched = FakeProgram(image, banner);
  mismatched[0x200 + 1000] ^= 1;
  Bytes truncated = ReadFile(EfiImage("pellory-testimage.efi"));
  ASSERT_FALSE(truncated.empty());
  truncated.pop_back();  // its last section now runs one byte past the end
  const struct Case {
    const char* name;
    Bytes bytes;
    std::string says;  // the JSON's oui, or the error after the file's name
  } cases[] = {
      {"converter", FakeProgram(image, banner + converter), "0A1B2C"},
      {"hex_tail", FakeProgram(hex_tail, banner), ""},
      {"notes", Text("Pellory Version:0.4, firmware version 07_23\n"), "is not a PE image"},
      {"truncated", truncated, "is a truncated PE image (section 5 runs past the end of the file)"},
      {"unversioned", FakeProgram(image, "Pellory Version:0.5\n"),
       "names no firmware version in its \\\"Pellory Version:\\\" banner"},
      {"mismatched", mismatched, "carries no SHA-256 that matches its firmware image"},
  };
  for (const Case& c : cases) {
    const std::string path = root_ + "/" + c.name + ".efi";
    WriteFile(path, c.bytes);
    CtlRun run = Ctl({"inspect", path, "--json"});
    if (c.says.size() == 6 || c.says.empty()) {
      uint8_t sum[kSha256Size];
      Sha256(c.bytes.data() + 0x200, 65536, sum);
      EXPECT_EQ(run.out, Json(path, "0.5", "07_24 sha256:" + Hex(sum, 8), c.says, "", "")) << c.name << run.err;
      EXPECT_EQ(run.status, 0) << c.name;
      continue;
    }
    EXPECT_EQ(run.status, 3) << c.name;
    EXPECT_EQ(run.out, "{\"state\":\"error\",\"error\":\"" + path + " " + c.says + "\"}\n") << c.name;
    EXPECT_EQ(run.err.rfind("pelloryctl: " + path + " ", 0), 0u) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
  }
}

}  // namespace
