// `pelloryctl schedule` and `inspect` under Secure Boot, on programs these
// tests sign themselves (a throw-away CA, a signer it issued, an unrelated
// key and a Machine Owner Key, made by openssl; sbsign signs): db, dbx,
// MokListRT and MokListXRT decide, as the firmware and shim decide, whether
// the program is started directly, through shim, or refused with the
// machine unchanged.
#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "pelloryctl/efivar_c.h"
#include "tests/pelloryctl/stand_in.h"

namespace {

namespace fs = std::filesystem;

const std::string kSigner = "CN=Pellory test signer, O=Pellory Test", kCa = "CN=Pellory test CA, O=Pellory Test",
                  kMok = "CN=Pellory test MOK";

// The keys and signed copies, made once for every test here.
std::string gKeys;

int Shell(const std::string& command) { return system(("cd " + gKeys + " && " + command + " >/dev/null 2>&1").c_str()); }

std::string Hex(const std::string& path) {
  FILE* pipe = popen(("openssl asn1parse -inform DER -in " + path + " | grep -m1 'l=  32 prim: OCTET STRING'"
                      " | sed 's/.*HEX DUMP]://'").c_str(), "r");
  char line[128] = {};
  if (pipe && fgets(line, sizeof line, pipe) == nullptr) line[0] = 0;
  if (pipe) pclose(pipe);
  return std::string(line, strcspn(line, "\n"));
}

Bytes Certificate(const char* name) { return SignatureList(kX509, ReadFile(gKeys + "/" + name + ".der")); }

// The program's Authenticode SHA-256 as sbsign signed it (the first
// 32-byte OCTET STRING of the signature is its SpcIndirectData digest).
Bytes Digest() {
  const std::string hex = Hex(gKeys + "/signed.p7");
  Bytes digest;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) digest.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
  EXPECT_EQ(digest.size(), 32u) << hex;
  return SignatureList(kSha256, digest);
}

// A copy of an image whose .sbat names the component shim, as a
// distribution's shim does; plain, it is a loader that is not shim.
Bytes Loader(bool shim) {
  Bytes b = ReadFile(EfiImage("convsim-boot.efi"));
  const std::string line = "sbat,1,SBAT Version,sbat,1,https://github.com/rhboot/shim/blob/main/SBAT.md\n";
  auto at = std::search(b.begin(), b.end(), line.begin(), line.end());
  EXPECT_NE(at, b.end());
  const std::string text = line + (shim ? "shim,4,UEFI shim,shim,1,https://github.com/rhboot/shim\n"
                                        : "grub,5,Free Software Foundation,grub,2.06,https://www.gnu.org/software/grub/\n");
  std::fill(at, at + 200, 0);
  std::copy(text.begin(), text.end(), at);
  return b;
}

class Trust : public StandIn {
 protected:
  static void SetUpTestSuite() {
    char dir[] = "/tmp/pelloryctl-keys-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    gKeys = dir;
    const std::string req = "openssl req -new -nodes -newkey rsa:2048 ", program = EfiImage("pellory-testimage.efi");
    ASSERT_EQ(Shell(req + "-x509 -days 1 -subj '/O=Pellory Test/CN=Pellory test CA' -keyout ca.key -out ca.pem && " +
                    req + "-subj '/O=Pellory Test/CN=Pellory test signer' -keyout signer.key -out signer.csr && "
                    "openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -set_serial 7 -days 1 -out signer.pem && " +
                    req + "-x509 -days 1 -subj '/CN=Pellory test unrelated' -keyout other.key -out other.pem && " +
                    req + "-x509 -days 1 -subj '/CN=Pellory test MOK' -keyout mok.key -out mok.pem && "
                    "for k in ca signer other mok; do openssl x509 -in $k.pem -outform DER -out $k.der; done && "
                    "sbsign --key signer.key --cert signer.pem --addcert ca.pem --output signed.efi " + program + " && "
                    "sbsign --key mok.key --cert mok.pem --output mok.efi " + program + " && "
                    "sbattach --detach signed.p7 signed.efi"),
              0);
    Bytes tampered = ReadFile(gKeys + "/signed.efi");
    tampered[0x400 + 100] ^= 1;  // a byte of the code, after signing
    WriteFile(gKeys + "/tampered.efi", tampered);
    // One byte of the signer's RSA signature, the SignedData's last field:
    // the digest still matches, the signature no longer does.
    Bytes forged = ReadFile(gKeys + "/signed.efi"), p7 = ReadFile(gKeys + "/signed.p7");
    auto at = std::search(forged.begin(), forged.end(), p7.begin(), p7.end());
    ASSERT_NE(at, forged.end());
    *(at + long(p7.size()) - 10) ^= 1;
    WriteFile(gKeys + "/forged.efi", forged);
    Bytes cut = ReadFile(gKeys + "/signed.efi");
    cut.pop_back();  // the certificate table runs one byte past the file
    WriteFile(gKeys + "/cut.efi", cut);
  }
  static void TearDownTestSuite() { fs::remove_all(gKeys); }

  void SetUp() override {
    StandIn::SetUp();
    PutVar(kGlobal, "BootOrder", {0, 0});
    PutVar(kGlobal, "Boot0000", LoadOption("debian", "\\EFI\\debian\\shimx64.efi"));
    PutVar(kGlobal, "BootCurrent", {0, 0}, 6);
    PutVar(kGlobal, "SecureBoot", {1}, 6);
    WriteFile(esp_ + "/EFI/debian/shimx64.efi", Loader(true));
    WriteFile(esp_ + "/EFI/debian/grubx64.efi", Loader(false));
  }
};

// What the lists hold, which program is scheduled, and the line schedule
// prints: its Entry line's target, or the refusal after the file's name.
struct Case {
  const char* name;
  Bytes db, dbx, mok, mokx;
  const char* program;
  std::string says;
  bool refused = true;
};

std::string ViaShim(const std::string& who) {
  return "-> \\EFI\\debian\\shimx64.efi \\EFI\\Pellory\\pellory.efi (through shim: MOK trusts " + who + ") on /boot/efi";
}
const std::string kDirect = "-> \\EFI\\Pellory\\pellory.efi on /boot/efi";

std::vector<Case> Cases() {
  const std::string untrusted = " is signed by " + kSigner + ", which neither db nor MOK trusts: the firmware would refuse it";
  return {
      {"db_signer", Certificate("signer"), {}, {}, {}, "signed", kDirect, false},
      {"db_issuer", Certificate("ca"), {}, {}, {}, "signed", kDirect, false},
      {"db_unrelated", Certificate("other"), {}, {}, {}, "signed", untrusted},
      {"db_digest", Digest(), {}, {}, {}, "signed", kDirect, false},
      {"dbx_certificate", Certificate("ca"), Certificate("signer"), {}, {}, "signed",
       " is signed by " + kSigner + ", whose certificate dbx forbids (" + kSigner + "): the firmware would refuse it"},
      {"dbx_digest", Certificate("ca"), Digest(), {}, {}, "signed",
       " is signed by " + kSigner + ", whose digest dbx forbids: the firmware would refuse it"},
      {"mok_only", Certificate("other"), {}, Certificate("mok"), {}, "mok", ViaShim(kMok), false},
      {"mok_issuer", {}, {}, Certificate("ca"), {}, "signed", ViaShim(kCa), false},
      {"mokx_certificate", {}, {}, Certificate("ca"), Certificate("signer"), "signed",
       " is signed by " + kSigner + ", whose certificate MokListX forbids (" + kSigner + "): shim would refuse it"},
      {"mok_other_key", {}, {}, Certificate("mok"), {}, "signed", untrusted},
      {"changed_after_signing", Certificate("signer"), {}, {}, {}, "tampered",
       " carries a signature by " + kSigner + " made over other bytes (the file changed after it was signed): "
       "the firmware would refuse it"},
      {"signature_forged", Certificate("signer"), {}, {}, {}, "forged",
       " carries a signature by " + kSigner + " that its certificate does not verify: the firmware would refuse it"},
      {"unsigned", Certificate("signer"), {}, {}, {}, "",
       " is not signed, and Secure Boot is on: the firmware would refuse to start it"},
      {"certificate_table_cut_short", Certificate("signer"), {}, {}, {}, "cut",
       " is not signed, and Secure Boot is on: the firmware would refuse to start it"},
  };
}

std::string ProgramPath(const char* program) {
  return *program ? gKeys + "/" + program + ".efi" : EfiImage("pellory-testimage.efi");
}

Bytes OptionalData(const Bytes& option) {
  Bytes copy = option;
  auto* load = reinterpret_cast<efi_load_option*>(copy.data());
  uint8_t* data = nullptr;
  size_t size = 0;
  if (efi_loadopt_optional_data(load, copy.size(), &data, &size) < 0) return {};
  return Bytes(data, data + size);
}

TEST_F(Trust, ScheduleStartsWhatTheKeysTrustAndRefusesTheRestUnchanged) {
  for (const Case& c : Cases()) {
    TearDown();
    SetUp();
    const std::pair<const char*, const Bytes*> lists[] = {{"db", &c.db}, {"dbx", &c.dbx}};
    for (const auto& [name, bytes] : lists)
      if (!bytes->empty()) PutVar(kSecurity, name, *bytes, 0x27);
    if (!c.mok.empty()) PutVar(kShim, "MokListRT", c.mok, 6);
    if (!c.mokx.empty()) PutVar(kShim, "MokListXRT", c.mokx, 6);
    const std::string program = ProgramPath(c.program);
    const Snapshot before = Take();
    CtlRun run = Ctl({"schedule", program});
    if (c.refused) {
      EXPECT_EQ(run.status, 3) << c.name;
      EXPECT_EQ(run.err, "pelloryctl: " + program + c.says + "\n") << c.name;
      EXPECT_TRUE(before == Take()) << c.name << ": the machine changed";
      continue;
    }
    ASSERT_EQ(run.status, 0) << c.name << ": " << run.err;
    EXPECT_NE(run.out.find("Entry: Boot0001 \"Pellory firmware update\" " + c.says + " (BootNext"), std::string::npos)
        << c.name << ": " << run.out;
    Bytes entry;
    ASSERT_TRUE(GetVar(kGlobal, "Boot0001", &entry)) << c.name;
    const bool shim = c.says != kDirect;
    EXPECT_NE(DescribeOption(entry).find(shim ? "/File(\\EFI\\debian\\shimx64.efi)" : "/File(\\EFI\\Pellory\\pellory.efi)"),
              std::string::npos) << c.name << ": " << DescribeOption(entry);
    Bytes ucs2;
    for (char ch : std::string("\\EFI\\Pellory\\pellory.efi")) ucs2.insert(ucs2.end(), {uint8_t(ch), 0});
    ucs2.insert(ucs2.end(), {0, 0});
    EXPECT_EQ(OptionalData(entry), shim ? ucs2 : Bytes{}) << c.name;
    EXPECT_EQ(ReadFile(esp_ + "/EFI/Pellory/pellory.efi"), ReadFile(program)) << c.name;
  }
}

// shim is the loader the system booted through, when that is a shim on
// this ESP; else the first \EFI\<folder>\shimx64.efi that is one.
TEST_F(Trust, ShimIsTheOneTheSystemBootedThroughOrTheDistributions) {
  PutVar(kShim, "MokListRT", Certificate("mok"), 6);
  WriteFile(esp_ + "/EFI/fedora/shimx64.efi", Loader(true));
  const struct {
    const char* name;
    std::string current;  // BootCurrent's file; "" for no BootCurrent
    const char* guid;     // the partition its entry names
    std::string shim;     // what the entry starts, or "" for a refusal
  } cases[] = {
      {"booted_through_fedora", "\\EFI\\fedora\\shimx64.efi", kEspGuid, "\\EFI\\fedora\\shimx64.efi"},
      {"booted_through_grub", "\\EFI\\debian\\grubx64.efi", kEspGuid, "\\EFI\\debian\\shimx64.efi"},
      {"booted_from_another_disk", "\\EFI\\fedora\\shimx64.efi", "11111111-2222-3333-4444-555555555555",
       "\\EFI\\debian\\shimx64.efi"},
      {"no_boot_current", "", kEspGuid, "\\EFI\\debian\\shimx64.efi"},
      {"no_shim", "\\EFI\\debian\\grubx64.efi", kEspGuid, ""},
  };
  for (const auto& c : cases) {
    TearDown();
    SetUp();
    PutVar(kShim, "MokListRT", Certificate("mok"), 6);
    if (c.shim.empty()) {
      fs::remove(esp_ + "/EFI/debian/shimx64.efi");
    } else {
      WriteFile(esp_ + "/EFI/fedora/shimx64.efi", Loader(true));
    }
    PutVar(kGlobal, "Boot0000", LoadOption("booted", c.current.empty() ? "\\x.efi" : c.current, c.guid));
    if (c.current.empty()) {
      std::string path = vars_ + "BootCurrent-" + kGlobal;
      fs::remove(path);
    }
    const std::string program = ProgramPath("mok");
    const Snapshot before = Take();
    CtlRun run = Ctl({"schedule", program});
    if (c.shim.empty()) {
      EXPECT_EQ(run.err, "pelloryctl: " + program + " is signed by " + kMok +
                             ", which only MOK trusts, and no shim is on /boot/efi to start it through (neither the "
                             "entry this system booted from nor \\EFI\\*\\shimx64.efi): the firmware would refuse it\n")
          << c.name;
      EXPECT_TRUE(before == Take()) << c.name;
      continue;
    }
    EXPECT_NE(run.out.find("-> " + c.shim + " \\EFI\\Pellory\\pellory.efi (through shim"), std::string::npos)
        << c.name << ": " << run.out << run.err;
  }
}

// MOK from the kernel's copy of shim's configuration table, where shim
// put it: /sys/firmware/efi/mok-variables/ holds the lists whole.
TEST_F(Trust, MokFromTheKernelsMokVariables) {
  WriteFile(root_ + "/sys/firmware/efi/mok-variables/MokListRT", Certificate("mok"));
  CtlRun run = Ctl({"schedule", ProgramPath("mok")});
  EXPECT_NE(run.out.find(ViaShim(kMok)), std::string::npos) << run.out << run.err;
  // shim spreads a long list over MokListRT, MokListRT1, ...
  fs::remove_all(root_ + "/sys/firmware/efi/mok-variables");
  PutVar(kShim, "MokListRT", Certificate("other"), 6);
  PutVar(kShim, "MokListRT1", Certificate("mok"), 6);
  run = Ctl({"schedule", ProgramPath("mok")});
  EXPECT_NE(run.out.find(ViaShim(kMok)), std::string::npos) << run.out << run.err;
}

// A list whose sizes run past its variable, by one byte or more, is not
// read as trust or as its absence: schedule stops, the machine unchanged.
TEST_F(Trust, ADamagedSignatureListStopsSchedule) {
  Bytes whole = Certificate("signer");
  const struct {
    const char* name;
    Bytes db;
    bool refused;
  } cases[] = {
      {"whole", whole, false},
      {"one_byte_short", Bytes(whole.begin(), whole.end() - 1), true},
      {"header_only", Bytes(whole.begin(), whole.begin() + 28), true},
      {"header_cut", Bytes(whole.begin(), whole.begin() + 27), true},
  };
  for (const auto& c : cases) {
    TearDown();
    SetUp();
    PutVar(kSecurity, "db", c.db, 0x27);
    const Snapshot before = Take();
    CtlRun run = Ctl({"schedule", ProgramPath("signed")});
    if (!c.refused) {
      EXPECT_EQ(run.status, 0) << c.name << ": " << run.err;
      continue;
    }
    EXPECT_EQ(run.err, "pelloryctl: db holds a signature list that is damaged\n") << c.name;
    EXPECT_TRUE(before == Take()) << c.name;
  }
}

// Secure Boot off: the firmware checks nothing, and neither does schedule.
TEST_F(Trust, SecureBootOffStartsAnyProgramDirectly) {
  PutVar(kGlobal, "SecureBoot", {0}, 6);
  for (const char* program : {"signed", "tampered", ""}) {
    CtlRun run = Ctl({"schedule", ProgramPath(program)});
    EXPECT_NE(run.out.find(kDirect), std::string::npos) << program << ": " << run.out << run.err;
  }
}

// inspect tells who of this machine's keys trusts the program: "" where
// there are no UEFI keys to read.
TEST_F(Trust, InspectTellsWhoTrustsTheProgram) {
  PutVar(kSecurity, "db", Certificate("ca"), 0x27);
  PutVar(kShim, "MokListRT", Certificate("mok"), 6);
  const std::pair<const char*, std::string> cases[] = {{"signed", "db"}, {"mok", "mok"}, {"", "none"}};
  for (const auto& [program, by] : cases) {
    CtlRun run = Ctl({"inspect", ProgramPath(program), "--json"});
    EXPECT_NE(run.out.find("\"trusted_by\":\"" + by + "\""), std::string::npos) << program << ": " << run.out;
    run = Ctl({"inspect", ProgramPath(program)});
    EXPECT_NE(run.out.find("Trusted by: " + by + "\n"), std::string::npos) << run.out;
  }
  PutVar(kSecurity, "dbx", Digest(), 0x27);
  EXPECT_NE(Ctl({"inspect", ProgramPath("signed"), "--json"}).out.find("\"trusted_by\":\"none\""), std::string::npos);
  fs::remove_all(root_ + "/sys/firmware/efi");
  EXPECT_NE(Ctl({"inspect", ProgramPath("signed"), "--json"}).out.find("\"trusted_by\":\"\""), std::string::npos);
  CtlRun run = Ctl({"inspect", ProgramPath("tampered")});
  EXPECT_EQ(run.status, 3);
  EXPECT_NE(run.err.find("made over other bytes"), std::string::npos) << run.err;
}

}  // namespace
