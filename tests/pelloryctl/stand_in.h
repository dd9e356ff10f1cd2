// A fake Linux machine for pelloryctl: a folder that stands in for efivarfs
// (libefivar's own EFIVARFS_PATH, read once when the library loads, so
// main() sets it and starts the test binary again) and a root folder
// (PELLORYCTL_ROOT) holding /proc/self/mountinfo, the sysfs files of one
// disk, the disk itself as a file with a protective MBR and a GPT (read by
// libblkid as it reads a disk), and the ESP's folder. The real kernel and
// a real disk are the Linux guest's round trip, not this.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "pelloryctl/efivar_c.h"
#include "tests/pelloryctl/faulty_store.h"

using Bytes = std::vector<uint8_t>;

inline constexpr char kGlobal[] = "8be4df61-93ca-11d2-aa0d-00e098032b8c";
inline constexpr char kPellory[] = "be057045-d74a-4ebf-9efa-596b51b4c99b";
// The ESP's partition: number 1 of sda, 2048 blocks in, 65536 blocks long.
inline constexpr uint64_t kEspStart = 2048, kEspBlocks = 65536;
inline constexpr char kEspGuid[] = "5b3b1a2e-4f0c-4d8a-9e21-7c6d5e4f3a2b";

class StandIn;

// One way a step of a command fails, for the tests that fail each step in
// turn: what arms it, the words the one line must hold, and a temporary
// name the command needs that a folder takes.
struct StepFault {
  const char* name;
  std::function<void(StandIn*, const std::string& entry)> arm;
  const char* says;
  const char* blocked = nullptr;
};
void PrintTo(const StepFault& fault, std::ostream* out);

struct CtlRun {
  int status = -1;
  std::string out, err;
};

// What the machine holds: every variable's file, every ESP file and /var
// with every file under it, by name, with its bytes (a folder is an entry
// with the bytes "<dir>").
using Snapshot = std::map<std::string, Bytes>;

class StandIn : public ::testing::Test {
 public:
  // The firmware's variables as the command reaches them, with faults.
  FaultyStore store_;

 protected:
  void SetUp() override;
  void TearDown() override;

  // The mount table: efivarfs and the ESP, with their options.
  void WriteMounts(bool efivarfs, const std::string& efivarfs_options = "rw",
                   const std::string& esp_options = "rw");
  // The disk's GPT with the ESP as partition 1 of type type_guid, in
  // logical blocks of block bytes (sysfs's start stays in 512-byte units).
  void WriteDisk(const char* type_guid, uint64_t block = 512);

  // A variable as efivarfs shows it: 4 attribute bytes, then data; a
  // non-standard one immutable as the kernel makes it.
  void PutVar(const char* guid, const std::string& name, const Bytes& data, uint32_t attributes = 7);
  bool GetVar(const char* guid, const std::string& name, Bytes* data) const;
  bool HasVar(const char* guid, const std::string& name) const;
  std::string Var(const char* guid, const std::string& name) const;  // data as text
  Snapshot Take() const;

  CtlRun Ctl(std::vector<std::string> args);
  // Runs the command and checks that it is refused (or fails and takes
  // every change back) as says tells, with nothing on the machine changed.
  void ExpectRefused(const std::vector<std::string>& args, const std::string& says);

  std::string root_, esp_, vars_;
};

Bytes Text(const std::string& text);
Bytes ReadFile(const std::string& path);
void WriteFile(const std::string& path, const Bytes& bytes);
// A load option made by libefiboot, for entries of other programs.
Bytes LoadOption(const std::string& description, const std::string& file,
                 const char* partition_guid = kEspGuid);
// The option's description and device path as libefivar formats them.
std::string DescribeOption(const Bytes& option);
// The program the build made, and the other EFI images beside it.
std::string EfiImage(const char* name);
// The names whose bytes differ between two snapshots.
std::vector<std::string> Changed(const Snapshot& before, const Snapshot& after);
// Where a PE image's header starts.
uint32_t PeOffset(const Bytes& image);
// image with one change, written as dir/patched.efi.
std::string Patched(const std::string& dir, const std::string& image, const std::function<void(Bytes*)>& change);
// A copy of image signed by sbsign with a key made for the test, in dir:
// dir/signed.efi, its certificate dir/cert.pem.
std::string Signed(const std::string& dir, const std::string& image);

// The key stores Secure Boot reads: db and dbx under the image security
// database's GUID, the Machine Owner Keys under shim's; and the types of
// their signature lists' entries.
inline constexpr char kSecurity[] = "d719b2cb-3d3a-4596-a3bc-dad00e67656f";
inline constexpr char kShim[] = "605dab50-e046-4300-abb6-3dd810dd8b23";
inline constexpr char kX509[] = "a5c059a1-94e4-4aa7-87b5-ab155c2bf072";
inline constexpr char kSha256[] = "c1c41626-504c-4092-aca9-41f936934328";
// A GUID's 16 bytes as they lie in a variable.
Bytes Guid(const char* text);
// One EFI_SIGNATURE_LIST of one entry: a certificate (DER) or a digest.
Bytes SignatureList(const char* type, const Bytes& value);
// Reads a file as ReadWholeFile does, with its last byte changed.
Outcome ReadCorrupted(const std::string& path, Bytes* bytes, size_t limit);
