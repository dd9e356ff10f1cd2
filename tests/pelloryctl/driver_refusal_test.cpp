// Every refusal of `pelloryctl driver install` that is the driver's own:
// a file that is not the driver, an unsigned one under Secure Boot, a
// DriverOrder it can not rewrite. One line, exit 3, nothing changed. (The
// machine's checks, shared with schedule, are in refusal_test.cpp.)
#include <algorithm>
#include <cerrno>

#include "tests/pelloryctl/stand_in.h"

namespace {

const std::string kTag = "Pellory identification driver version:";

class DriverRefusal : public StandIn {
 protected:
  void SetUp() override {
    StandIn::SetUp();
    PutVar(kGlobal, "BootOrder", {0, 0});
    PutVar(kGlobal, "Driver0001", LoadOption("convsim", "\\convsim.efi"));
    PutVar(kGlobal, "DriverOrder", {1, 0});
  }
  std::vector<std::string> Install(const std::string& file) { return {"driver", "install", file}; }
  std::string driver_ = EfiImage("pellory-identify.efi");
};

// Where the driver's tag is followed by its version, 0.4, and a line feed.
size_t TagEnd(const Bytes& b) {
  const std::string whole = kTag + "0.4\n";
  return size_t(std::search(b.begin(), b.end(), whole.begin(), whole.end()) - b.begin()) + whole.size();
}

TEST_F(DriverRefusal, AFileThatIsNotTheDriver) {
  const Bytes driver = ReadFile(driver_);
  ASSERT_LT(TagEnd(driver), driver.size()) << "the built driver carries its tag";
  const std::string not_the_driver = std::string(" is not a Pellory identification driver (no \"") + kTag + "\" in it)";
  const struct {
    std::string file;
    std::string says;
  } cases[] = {
      {root_ + "/missing.efi", root_ + "/missing.efi can not be read"},
      {EfiImage("pellory-testimage.efi"), EfiImage("pellory-testimage.efi") + " is not an EFI boot-service driver (subsystem 10)"},
      {Patched(root_ + "/a", driver_, [](Bytes* b) { (*b)[PeOffset(*b) + 24 + 68] = 10; }),
       "patched.efi is not an EFI boot-service driver (subsystem 10)"},
      {EfiImage("convsim.efi"), EfiImage("convsim.efi") + not_the_driver},
      // Its tag without the line feed that ends it, or without a version.
      {Patched(root_ + "/b", driver_, [](Bytes* b) { (*b)[TagEnd(*b) - 1] = ' '; }), "patched.efi" + not_the_driver},
      {Patched(root_ + "/c", driver_, [](Bytes* b) { std::fill_n(b->begin() + long(TagEnd(*b) - 4), 3, ' '); }),
       "patched.efi" + not_the_driver},
      // Its headers whole, its last byte gone; then cut inside its headers.
      {Patched(root_ + "/d", driver_, [](Bytes* b) { b->pop_back(); }), "patched.efi is a truncated PE image (section"},
      {Patched(root_ + "/e", driver_, [](Bytes* b) { b->resize(PeOffset(*b) + 24 + 68); }),
       "patched.efi is a truncated PE image"},
      {Patched(root_ + "/f", driver_, [](Bytes* b) { b->resize(63); }), "patched.efi is not a PE image"},
      {Patched(root_ + "/g", driver_, [](Bytes* b) { (*b)[PeOffset(*b) + 5] = 0xAA; }),
       "patched.efi is not for x86-64 (machine 0xaa64)"},
  };
  for (const auto& c : cases) ExpectRefused(Install(c.file), c.says);
}

// Without FILE, the package's driver; a machine without the package has none.
TEST_F(DriverRefusal, TheDefaultIsThePackagesDriver) {
  ExpectRefused({"driver", "install"}, "/usr/lib/pellory/pellory-identify.efi can not be read");
  WriteFile(root_ + "/usr/lib/pellory/pellory-identify.efi", ReadFile(driver_));
  CtlRun run = Ctl({"driver", "install"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("Copied /usr/lib/pellory/pellory-identify.efi (Pellory identification driver 0.4) to ", 0), 0u)
      << run.out;
  EXPECT_EQ(ReadFile(esp_ + "/EFI/Pellory/pellory-identify.efi"), ReadFile(driver_));
}

// Under Secure Boot the firmware loads the driver itself: only what db
// trusts is installed; an unsigned driver, one cut short, one no key
// trusts and one only the Machine Owner Keys trust (shim loads no driver)
// are refused with the machine unchanged.
TEST_F(DriverRefusal, UnderSecureBootOnlyWhatDbTrusts) {
  const std::string signed_driver = Signed(root_, driver_);
  Bytes cut = ReadFile(signed_driver);
  ASSERT_GT(cut.size(), ReadFile(driver_).size());
  cut.pop_back();  // its certificate table now runs one byte past the file
  WriteFile(root_ + "/cut.efi", cut);
  ASSERT_EQ(system(("openssl x509 -in " + root_ + "/cert.pem -outform DER -out " + root_ + "/cert.der").c_str()), 0);
  const Bytes certificate = SignatureList(kX509, ReadFile(root_ + "/cert.der"));
  PutVar(kGlobal, "SecureBoot", {1}, 6);
  ExpectRefused(Install(driver_), driver_ + " is not signed, and Secure Boot is on: the firmware would refuse to start it");
  ExpectRefused(Install(root_ + "/cut.efi"), "cut.efi is not signed");
  ExpectRefused(Install(signed_driver), "signed.efi is signed by CN=pelloryctl-test, which neither db nor MOK trusts");
  PutVar(kShim, "MokListRT", certificate, 6);
  ExpectRefused(Install(signed_driver), "signed.efi is signed by CN=pelloryctl-test, which only MOK trusts: the "
                                        "firmware loads a driver itself, never through shim, and would refuse it");
  PutVar(kSecurity, "db", certificate, 0x27);
  CtlRun run = Ctl(Install(signed_driver));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFile(esp_ + "/EFI/Pellory/pellory-identify.efi"), ReadFile(signed_driver));
  PutVar(kGlobal, "SecureBoot", {0}, 6);
  EXPECT_EQ(Ctl(Install(driver_)).status, 0);
}

// A DriverOrder that is no list of numbers is neither rewritten nor
// guessed at; one that can not be read neither.
TEST_F(DriverRefusal, ADriverOrderItCanNotRewrite) {
  PutVar(kGlobal, "DriverOrder", {1, 0, 2});
  const std::string odd = "DriverOrder holds 3 bytes, an odd number, so it is no list of Driver#### numbers";
  ExpectRefused(Install(driver_), odd);
  PutVar(kGlobal, "Driver0000", LoadOption("Pellory converter identification", "\\EFI\\Pellory\\pellory-identify.efi"));
  ExpectRefused({"driver", "remove"}, odd);
  PutVar(kGlobal, "DriverOrder", {1, 0});
  store_.FailGet("DriverOrder", EIO);
  ExpectRefused(Install(driver_), "DriverOrder can not be read");
  store_.FailGet("SecureBoot", EIO);
  ExpectRefused(Install(driver_), "SecureBoot can not be read");
}

}  // namespace
