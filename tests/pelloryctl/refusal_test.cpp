// Every refusal of `pelloryctl schedule`, and the machine's checks that
// `driver install` and `driver remove` share with it: one line that names
// the reason, exit 3, and the machine unchanged.
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <utility>

#include "pelloryctl/machine.h"
#include "tests/pelloryctl/stand_in.h"

namespace fs = std::filesystem;

namespace {

// The test-image program with one change, written beside the stand-in.
std::string Patched(const std::string& dir, const std::function<void(Bytes*)>& change) {
  return ::Patched(dir, EfiImage("pellory-testimage.efi"), change);
}

class Refusal : public StandIn {
 protected:
  void SetUp() override {
    StandIn::SetUp();
    PutVar(kGlobal, "BootOrder", {0, 0});
    PutVar(kPellory, "PelloryResult", Text("format=1\n"));
  }
  std::vector<std::string> Schedule(const std::string& program = EfiImage("pellory-testimage.efi")) {
    return {"schedule", program};
  }
  CtlRun AsNobody(const std::vector<std::string>& args);
};

// Each command that changes the machine, on a machine with the driver installed.
TEST_F(Refusal, TheMachine) {
  PutVar(kGlobal, "Driver0000", LoadOption("Pellory converter identification", "\\EFI\\Pellory\\pellory-identify.efi"));
  PutVar(kGlobal, "DriverOrder", {0, 0});
  WriteFile(esp_ + "/EFI/Pellory/pellory-identify.efi", ReadFile(EfiImage("pellory-identify.efi")));
  const std::vector<std::string> commands[] = {
      Schedule(), {"driver", "install", EfiImage("pellory-identify.efi")}, {"driver", "remove"}};
  for (const auto& args : commands) {
    WriteMounts(false);
    ExpectRefused(args, "efivarfs is not mounted at /sys/firmware/efi/efivars");
    WriteMounts(true, "ro");
    ExpectRefused(args, "efivarfs is mounted read-only");
    WriteMounts(true, "rw", "ro");
    ExpectRefused(args, "the EFI System Partition is mounted read-only at /boot/efi");
    WriteFile(root_ + "/proc/self/mountinfo",
              Text("27 22 0:24 / /sys/firmware/efi/efivars rw,relatime shared:8 - efivarfs efivarfs rw\n"));
    ExpectRefused(args, "no EFI System Partition is mounted at /boot/efi or /efi");
    WriteMounts(true);
    fs::rename(root_ + "/sys/firmware/efi", root_ + "/sys/firmware/bios");
    ExpectRefused(args, "this machine was not booted with UEFI");
    fs::rename(root_ + "/sys/firmware/bios", root_ + "/sys/firmware/efi");
  }
}

// A variable the kernel can not read stops schedule before anything changes.
TEST_F(Refusal, AVariableThatCanNotBeRead) {
  const std::pair<const char*, const char*> cases[] = {
      {"SecureBoot", "SecureBoot can not be read"},
      {"BootOrder", "BootOrder can not be read"},
      {"PelloryRequest", "the firmware's variables can not be read"},  // saved, to be put back
  };
  for (const auto& [name, says] : cases) {
    store_.FailGet(name, EIO);
    ExpectRefused(Schedule(), says);
  }
}

// The command as nobody, with the stand-in still in reach.
CtlRun Refusal::AsNobody(const std::vector<std::string>& args) {
  if (geteuid() != 0) return Ctl(args);
  int pipe_fds[2];
  EXPECT_EQ(pipe(pipe_fds), 0);
  pid_t child = fork();
  EXPECT_GE(child, 0);
  if (child == 0) {
    close(pipe_fds[0]);
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(99);
    CtlRun run = Ctl(args);
    const std::string both = run.out + '\0' + run.err;
    ssize_t ignored = write(pipe_fds[1], both.data(), both.size());
    (void)ignored;
    _exit(run.status);
  }
  close(pipe_fds[1]);
  std::string both;
  char chunk[256];
  for (ssize_t got; (got = read(pipe_fds[0], chunk, sizeof chunk)) > 0;) both.append(chunk, size_t(got));
  close(pipe_fds[0]);
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  CtlRun run;
  run.status = WEXITSTATUS(status);
  run.out = both.substr(0, both.find('\0'));
  run.err = both.find('\0') == std::string::npos ? "" : both.substr(both.find('\0') + 1);
  return run;
}

// What changes the machine needs root; what only reads does not.
TEST_F(Refusal, NotRoot) {
  // efivarfs lets anyone read its files, as the stand-in's folder must.
  ASSERT_EQ(chmod(vars_.c_str(), 0755), 0);
  const std::vector<std::string> refused[] = {
      Schedule(), {"driver", "install", EfiImage("pellory-identify.efi")}, {"driver", "remove"}, {"cancel"}, {"clean"}};
  for (const auto& args : refused) {
    const Snapshot before = Take();
    CtlRun run = AsNobody(args);
    EXPECT_EQ(run.status, 3) << args[0];
    EXPECT_EQ(run.err, "pelloryctl: pelloryctl must run as root\n") << args[0];
    EXPECT_TRUE(before == Take()) << args[0];
  }
  CtlRun status = AsNobody({"status"});
  EXPECT_EQ(status.status, 3) << status.err;  // absent: this boot has no reading
  EXPECT_EQ(status.out.rfind("State: absent\n", 0), 0u) << status.out << status.err;
}

TEST_F(Refusal, TheEsp) {
  ExpectRefused({"schedule", EfiImage("pellory-testimage.efi"), "--esp", "/srv/esp"},
                "/srv/esp is not a mount point");
  WriteDisk("0fc63daf-8483-4772-8e79-3d69d8477de4");  // a Linux data partition
  ExpectRefused(Schedule(), "/boot/efi is not an EFI System Partition");
  WriteDisk("c12a7328-f81f-11d2-ba4b-00a0c93ec93b");
  Bytes disk = ReadFile(root_ + "/dev/sda");
  disk[1024 + 32] ^= 1;  // the entry's first block: its CRC no longer holds
  WriteFile(root_ + "/dev/sda", disk);
  ExpectRefused(Schedule(), "/boot/efi is on /dev/sda, whose GPT header or entries are damaged");
  WriteDisk("c12a7328-f81f-11d2-ba4b-00a0c93ec93b");
  WriteFile(root_ + "/sys/devices/virtual/block/sda/removable", Text("1\n"));
  ExpectRefused(Schedule(), "/boot/efi is on /dev/sda, a removable disk");
  WriteFile(root_ + "/sys/devices/virtual/block/sda/removable", Text("0\n"));
  std::string efivarfs = "27 22 0:24 / /sys/firmware/efi/efivars rw,relatime shared:8 - efivarfs efivarfs rw\n";
  WriteFile(root_ + "/proc/self/mountinfo",
            Text(efivarfs + "31 21 8:1 /EFI /boot/efi rw,relatime shared:9 - vfat /dev/sda1 rw\n"));
  ExpectRefused(Schedule(), "/boot/efi shows the folder /EFI of its partition, not the partition's root");
  WriteFile(root_ + "/proc/self/mountinfo", Text(efivarfs));
  ExpectRefused(Schedule(), "no EFI System Partition is mounted at /boot/efi or /efi");
}

TEST_F(Refusal, OurEntryInBootOrder) {
  PutVar(kGlobal, "Boot0004", LoadOption("Pellory firmware update", "\\EFI\\Pellory\\pellory.efi"));
  PutVar(kGlobal, "BootOrder", {0, 0, 4, 0});
  ExpectRefused(Schedule(), "Boot0004 \"Pellory firmware update\" is in BootOrder, so it would run at every boot");
}

TEST_F(Refusal, TheProgram) {
  ExpectRefused(Schedule(root_ + "/missing.efi"), "missing.efi can not be read");
  WriteFile(root_ + "/notes.efi", Text("MZ but nothing else of a PE image, padded out to 64 bytes ....."));
  ExpectRefused(Schedule(root_ + "/notes.efi"), "notes.efi is not a PE image");
  ExpectRefused(Schedule(Patched(root_, [](Bytes* b) { b->resize(PeOffset(*b) + 24 + 68); })),
                "is a truncated PE image");
  // Its headers whole, its last section cut off (a copy that stopped early).
  ExpectRefused(Schedule(Patched(root_, [](Bytes* b) { b->resize(b->size() - 1); })),
                "is a truncated PE image (section 5 runs past the end of the file)");
  ExpectRefused(Schedule(Patched(root_, [](Bytes* b) { (*b)[PeOffset(*b) + 5] = 0xAA; })),
                "is not for x86-64 (machine 0xaa64)");
  ExpectRefused(Schedule(Patched(root_, [](Bytes* b) { (*b)[PeOffset(*b) + 24] = 0x0B; (*b)[PeOffset(*b) + 25] = 1; })),
                "is not PE32+ (optional header magic 0x10b)");
  // A banner without the image's version, an image that is not the one its digest names.
  const std::string banner = "Pellory Version:0.4, firmware version 07_23\n";
  auto at = [&banner](const Bytes& b) { return size_t(std::search(b.begin(), b.end(), banner.begin(), banner.end()) - b.begin()); };
  ExpectRefused(Schedule(Patched(root_, [&at](Bytes* b) { (*b)[at(*b) + 40] = '-'; })),
                "patched.efi names no firmware version in its \"Pellory Version:\" banner");
  ExpectRefused(Schedule(Patched(root_, [&at](Bytes* b) { (*b)[at(*b) - 64 - 100] ^= 1; })),
                "patched.efi carries no SHA-256 that matches its firmware image");
  ExpectRefused(Schedule(EfiImage("convsim.efi")), "convsim.efi is not an EFI application (subsystem 11)");
  ExpectRefused(Schedule(EfiImage("convsim-boot.efi")),
                "convsim-boot.efi is not a Pellory program (no \"Pellory Version:\" in it)");
}

TEST_F(Refusal, AnUnsignedProgramUnderSecureBoot) {
  std::string signed_program = Signed(root_, EfiImage("pellory-testimage.efi"));
  Bytes image = ReadFile(signed_program);
  ASSERT_GT(image.size(), ReadFile(EfiImage("pellory-testimage.efi")).size());
  image.pop_back();  // the certificate table now runs one byte past the file
  WriteFile(root_ + "/cut.efi", image);
  PutVar(kGlobal, "SecureBoot", {1}, 6);
  ExpectRefused(Schedule(), "is not signed, and Secure Boot is on: the firmware would refuse to start it");
  ExpectRefused(Schedule(root_ + "/cut.efi"), "cut.efi is not signed");
  // Signed, but by a key this machine's db does not hold (trust_test.cpp
  // has the keys that it does).
  ExpectRefused(Schedule(signed_program), "signed.efi is signed by CN=pelloryctl-test, which neither db nor MOK trusts");
  // SecureBoot 0: the unsigned program is fine.
  PutVar(kGlobal, "SecureBoot", {0}, 6);
  EXPECT_EQ(Ctl(Schedule()).status, 0);
}

// efivarfs reports the store's room through statfs (bytes free after what
// the kernel keeps back); no figure at all, as in a plain folder, passes.
TEST(Room, IsEnoughUpToTheLastByte) {
  struct statfs store = {};
  store.f_type = 0xde5e81e4;
  store.f_bsize = 1;
  store.f_blocks = 65536;
  store.f_bavail = 400;
  EXPECT_TRUE(RoomEnough(store, 400));
  EXPECT_FALSE(RoomEnough(store, 401));
  store.f_bavail = 0;
  EXPECT_FALSE(RoomEnough(store, 1));
  store.f_blocks = 0;  // a kernel that tells nothing
  EXPECT_TRUE(RoomEnough(store, 401));
  store.f_type = 0xEF53;  // not efivarfs
  store.f_blocks = 65536;
  EXPECT_TRUE(RoomEnough(store, 401));
}

}  // namespace

// The command line itself: the version and the usage on standard output
// with 0 when asked for; anything unknown is the usage on standard error
// with 3, the machine untouched.
TEST_F(Refusal, TheCommandLine) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;  // the start of standard output; standard error when status is 3
  };
  const std::string usage = "usage: pelloryctl schedule PROGRAM.efi [--identify]";
  const std::string driver_usage = "usage: pelloryctl driver install [DRIVER.efi] [--esp DIR]\n"
                                   "       pelloryctl driver remove [--esp DIR]\n";
  const std::vector<Case> cases = {
      {{"--version"}, 0, std::string("pelloryctl ") + PELLORY_VERSION + "\n"},
      {{"--help"}, 0, usage},
      {{"clean", "--help"}, 0, "usage: pelloryctl clean [--esp DIR]\n"},
      {{"result", "--help"}, 0, "usage: pelloryctl result [--json]\n"},
      {{"collect", "--help"}, 0, "usage: pelloryctl collect DIR\n"},
      {{"collect"}, 3, "pelloryctl: unknown command line\n" + usage},
      {{"frob"}, 3, "pelloryctl: unknown command line\n" + usage},
      {{"result", "--frob"}, 3, "pelloryctl: unknown command line\n" + usage},
      {{"--version", "--help"}, 3, "pelloryctl: unknown command line\n" + usage},
      {{"schedule", "x.efi", "--frob"}, 3, "pelloryctl: unknown argument --frob\n" + usage},
      {{"driver", "--help"}, 0, driver_usage},
      {{"driver", "install", "--help"}, 0, driver_usage},
      {{"status", "--help"}, 0, "usage: pelloryctl status [--json]\n"},
      {{"driver"}, 3, "pelloryctl: driver takes install or remove\n" + usage},
      {{"driver", "frob"}, 3, "pelloryctl: driver takes install or remove\n" + usage},
      {{"driver", "install", "a.efi", "b.efi"}, 3, "pelloryctl: unknown argument b.efi\n" + usage},
      {{"driver", "install", "--esp"}, 3, "pelloryctl: --esp takes a folder\n" + usage},
      {{"driver", "remove", "a.efi"}, 3, "pelloryctl: unknown argument a.efi\n" + usage},
      {{"status", "--frob"}, 3, "pelloryctl: unknown command line\n" + usage},
  };
  const Snapshot before = Take();
  for (const Case& c : cases) {
    const CtlRun run = Ctl(c.args);
    EXPECT_EQ(run.status, c.status) << c.args[0];
    const std::string& shown = c.status == 0 ? run.out : run.err;
    EXPECT_EQ(shown.rfind(c.out, 0), 0u) << shown;
    EXPECT_EQ((c.status == 0 ? run.err : run.out), "");
  }
  EXPECT_TRUE(before == Take());
  EXPECT_EQ(Ctl({"clean", "--help"}).out, "usage: pelloryctl clean [--esp DIR]\n") << "that command's usage alone";
}
