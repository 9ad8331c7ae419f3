// The real drives through the kvemu host: user-mode device I/O, kvctl and kvexport against
// ISO images made by genisoimage, each case with its own host in a private platform root.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "common/ioctl.h"
#include "common/mount_request.h"
#include "platform/devio.h"
#include "platform/ntpath.h"
#include "platform/registry.h"
#include "platform/registry_write.h"
#include "tests/fixtures/nrg_writer.h"
#include "tests/fixtures/raw_image_writer.h"
#include "tests/fixtures/test_support.h"
#include "tests/host/host_process.h"

namespace kv::test {
namespace {

using namespace kv::platform;
namespace fs = std::filesystem;

std::vector<uint8_t> MountRequestFor(const std::string& file, int32_t format = kFormatIso) {
  std::u16string name;
  EXPECT_TRUE(LinuxPathToNt(file, &name));
  std::vector<uint8_t> buf(kMountRequestMinSize + name.size() * 2, 0);
  auto* r = reinterpret_cast<MountRequest*>(buf.data());
  r->Flags = 1;
  r->Format = format;
  r->SectorSize = kSectorSize;
  r->NameLength = static_cast<uint16_t>(name.size() * 2);
  std::memcpy(buf.data() + kMountRequestFixedSize, name.data(), name.size() * 2);
  return buf;
}

// MountError of a mount (0 on success), or -1 when the request itself failed.
int64_t Mount(int drive, const std::string& file) {
  Handle h = CreateFile("\\\\.\\KVEmuDev" + std::to_string(drive));
  if (!h) return -1;
  auto req = MountRequestFor(file);
  uint32_t error = 0, n = 0;
  if (!DeviceIoControl(h, IOCTL_CDEMU_MOUNT_IMAGE, req.data(), static_cast<uint32_t>(req.size()), &error, 4, &n))
    return -1;
  return n >= 4 ? error : 0;
}

bool Control(const std::string& device, uint32_t code, const void* in, uint32_t inLength, void* out,
             uint32_t outLength) {
  Handle h = CreateFile(device);
  uint32_t n = 0;
  return h && DeviceIoControl(h, code, in, inLength, out, outLength, &n);
}

bool SetLetter(int drive, char letter) {
  const char16_t c = static_cast<char16_t>(letter);
  uint8_t out[4];
  return Control("\\\\.\\KVEmuDev" + std::to_string(drive), IOCTL_CDEMU_CREATE_DRIVE_LETTER, &c, 2, out, 4);
}

// Reads a whole medium through a device path in 64 KiB requests.
std::vector<uint8_t> ReadWhole(const std::string& device, uint64_t size) {
  std::vector<uint8_t> out(size);
  Handle h = CreateFile(device);
  EXPECT_TRUE(h) << device << " " << GetLastError();
  for (uint64_t at = 0; at < size && h;) {
    const uint32_t now = static_cast<uint32_t>(std::min<uint64_t>(65536, size - at));
    uint32_t n = 0;
    if (!ReadFile(h, at, out.data() + at, now, &n) || n != now) {
      ADD_FAILURE() << "read at " << at << ": " << GetLastError();
      break;
    }
    at += now;
  }
  return out;
}

class HostDrives : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTool("genisoimage")) GTEST_SKIP() << "genisoimage is not installed";
    // Readable for the unprivileged user of the permission test.
    chmod(dir_.path().c_str(), 0755);
    root_ = (dir_ / "root").string();
    host_ = std::make_unique<HostProcess>(ProgramPath("kvemu"), root_);
    ASSERT_TRUE(host_->WaitReady()) << host_->Log();
  }
  void TearDown() override {
    if (host_) {
      EXPECT_EQ(host_->Stop(SIGTERM), 0) << host_->Log();
      EXPECT_TRUE(FolderEntries(root_).empty());
    }
  }

  // An ISO 9660 + Joliet image of a few files with known content.
  std::string MakeIso(const std::string& name, uint32_t seed, size_t bigFile = 3u << 20) {
    const fs::path src = dir_ / (name + ".d");
    fs::create_directories(src / "sub");
    WriteFileBytes(src / "big.bin", PatternBytes(bigFile, seed));
    WriteFileText(src / "sub" / "note.txt", "drive test " + std::to_string(seed) + "\n");
    const std::string iso = (dir_ / name).string();
    const auto r = kv::test::Run("genisoimage -quiet -J -R -o " + Quote(iso) + " " + Quote(src.string()));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return iso;
  }

  TempDir dir_;
  std::string root_;
  std::unique_ptr<HostProcess> host_;
};

TEST_F(HostDrives, MountReadQueryLettersUnmount) {
  const std::string iso = MakeIso("x.iso", 1);
  const auto expected = ReadFileBytes(iso);
  ASSERT_EQ(Mount(0, iso), 0);
  // The second mount on a mounted drive is refused by the driver.
  EXPECT_EQ(Mount(0, iso), -1);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);

  ASSERT_TRUE(SetLetter(0, 'E'));
  EXPECT_TRUE(GetLogicalDrives() & (1u << 4));
  std::string target;
  ASSERT_TRUE(QueryDosDevice("E:", &target));
  EXPECT_EQ(target, "\\Device\\KVEmu\\KVEmuCd0");

  std::vector<uint8_t> status(kDriveStatusQuerySize);
  Handle h = CreateFile("\\\\.\\E:");
  ASSERT_TRUE(h);
  uint32_t n = 0;
  ASSERT_TRUE(DeviceIoControl(h, IOCTL_CDEMU_QUERY_MOUNT, nullptr, 0, status.data(), kDriveStatusQuerySize, &n));
  const auto* s = reinterpret_cast<const DriveStatus*>(status.data());
  EXPECT_EQ(s->SizeBytes, expected.size());
  std::u16string nt;
  LinuxPathToNt(iso, &nt);
  EXPECT_EQ(n, kDriveStatusFixedSize + nt.size() * 2);
  EXPECT_EQ(std::memcmp(status.data() + offsetof(DriveStatus, Name), nt.data(), nt.size() * 2), 0);

  EXPECT_TRUE(ReadWhole("\\\\.\\E:", expected.size()) == expected);

  // Failures that name a length hand it to the caller.
  struct Failing {
    uint32_t code;
    uint32_t inLength, outLength;
    LSTATUS error;
    uint32_t returned;
  };
  for (const Failing& f : {Failing{IOCTL_CDROM_READ_TOC_EX, 4, 100, ERROR_INSUFFICIENT_BUFFER, 804},
                           Failing{IOCTL_CDROM_READ_TOC_EX, 2, 804, ERROR_BAD_LENGTH, 4},
                           Failing{IOCTL_CDROM_GET_LAST_SESSION, 0, 8, ERROR_INSUFFICIENT_BUFFER, 12}}) {
    const uint8_t request[4] = {0, 0, 0, 0x80};
    std::vector<uint8_t> answer(f.outLength);
    n = 99;
    EXPECT_FALSE(DeviceIoControl(h, f.code, request, f.inLength, answer.data(), f.outLength, &n));
    EXPECT_EQ(GetLastError(), f.error) << std::hex << f.code;
    EXPECT_EQ(n, f.returned) << std::hex << f.code;
  }

  ASSERT_TRUE(DeviceIoControl(h, IOCTL_CDEMU_UNMOUNT, nullptr, 0, nullptr, 0, &n));
  std::vector<uint8_t> buf(2048);
  EXPECT_FALSE(ReadFile(h, 0, buf.data(), 2048, &n));
  EXPECT_EQ(GetLastError(), ERROR_NO_MEDIA_IN_DRIVE);
  uint8_t out[4];
  ASSERT_TRUE(DeviceIoControl(h, IOCTL_CDEMU_DELETE_DRIVE_LETTER, nullptr, 0, out, 4, &n));
  EXPECT_EQ(out[0], 'E');
  EXPECT_FALSE(CreateFile("\\\\.\\E:"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(GetLogicalDrives() & (1u << 4));
  EXPECT_FALSE(CreateFile("\\\\.\\KVEmuDev23"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(HostDrives, TwoClientsAtOnceOnDifferentDrives) {
  const std::string a = MakeIso("a.iso", 2, 6u << 20), b = MakeIso("b.iso", 3, 5u << 20);
  std::vector<pid_t> children;
  for (int k = 0; k < 2; ++k) {
    const std::string iso = k == 0 ? a : b;
    const pid_t pid = fork();
    if (pid == 0) {
      const int drive = 5 + k;
      const char letter = static_cast<char>('M' + k);
      if (Mount(drive, iso) != 0 || !SetLetter(drive, letter)) _exit(2);
      const auto expected = ReadFileBytes(iso);
      for (int round = 0; round < 2; ++round)
        if (ReadWhole(std::string("\\\\.\\") + letter + ":", expected.size()) != expected) _exit(3);
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "client exit " << st;
  }
}

TEST_F(HostDrives, MountUsesTheCallersIdentity) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to another user";
  const std::string iso = MakeIso("private.iso", 4);
  chmod(iso.c_str(), 0600);
  const std::string missing = (dir_ / "missing.iso").string();
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
    const int64_t denied = Mount(1, iso);
    const int64_t absent = Mount(2, missing);
    _exit(denied == kMountOpenFailed && absent == kMountFileNotFound ? 0 : 20 + static_cast<int>(denied));
  }
  int st = 0;
  waitpid(pid, &st, 0);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0) << "10: could not switch user; 20+MountError otherwise";
  // The owner may, and the drives the other user tried stayed empty.
  EXPECT_EQ(Mount(1, iso), 0);
  EXPECT_EQ(Mount(2, missing), kMountFileNotFound);
}

// The registry write code reaches the registry of the host's root, for elevated callers only.
TEST_F(HostDrives, RegistryWriteCodeOnlyForElevatedCallers) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to write the machine's settings and to switch users";
  PackedRegistryValue value;
  value.keyPath = u"\\Registry\\Machine\\Software\\Korvendrake Virtual Drive";
  value.valueName = u"Written";
  value.type = REG_SZ;
  const std::u16string text = u"by the driver";
  value.data.resize((text.size() + 1) * 2);
  std::memcpy(value.data.data(), text.c_str(), value.data.size());
  const std::vector<uint8_t> packed = PackRegistryValue(value);
  {
    RegKey key;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, u"Software\\Korvendrake Virtual Drive", 0, KEY_ALL_ACCESS, key.put(),
                             nullptr),
              ERROR_SUCCESS);
  }
  auto send = [&](const std::vector<uint8_t>& input) {
    return Control("\\\\.\\KVEmuDev0", IOCTL_CDEMU_WRITE_REGISTRY_VALUE, input.data(),
                   static_cast<uint32_t>(input.size()), nullptr, 0);
  };
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
    _exit(!send(packed) && GetLastError() == ERROR_ACCESS_DENIED ? 0 : 20);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0) << "10: could not switch user; 20: not refused";
  EXPECT_FALSE(send(std::vector<uint8_t>(packed.begin(), packed.end() - 1)));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(send(packed)) << GetLastError();
  RegKey key;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, u"Software\\Korvendrake Virtual Drive", 0, KEY_READ, key.put()),
            ERROR_SUCCESS);
  std::vector<uint8_t> data(64);
  DWORD type = 0, size = static_cast<DWORD>(data.size());
  ASSERT_EQ(RegQueryValueEx(key, u"Written", &type, data.data(), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  data.resize(size);
  EXPECT_EQ(data, value.data);
  key = RegKey();
  // The registry is what persists in a root; this test's root is to end empty like the others.
  fs::remove_all(fs::path(root_) / "registry");
}

TEST_F(HostDrives, ShutdownWithMountedDrivesStopsEveryDrive) {
  const std::string iso = MakeIso("x.iso", 5);
  for (int d : {0, 7, 22}) ASSERT_EQ(Mount(d, iso), 0);
  ASSERT_TRUE(SetLetter(7, 'H'));
  Handle open = CreateFile("\\\\.\\H:");
  ASSERT_TRUE(open);
  EXPECT_EQ(host_->Stop(SIGTERM), 0) << host_->Log();
  EXPECT_NE(host_->Log().find("'Kkss' 0 'Ddk ' 0 'MapM' 0"), std::string::npos) << host_->Log();
  EXPECT_TRUE(FolderEntries(root_).empty());
  std::vector<uint8_t> buf(2048);
  uint32_t n;
  EXPECT_FALSE(ReadFile(open, 0, buf.data(), 2048, &n));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  host_.reset();
}

TEST_F(HostDrives, KvctlDevVerbs) {
  const std::string iso = MakeIso("x.iso", 6);
  const std::string kvctl = ProgramPath("kvctl") + " dev ";
  const size_t sectors = fs::file_size(iso) / 2048;
  auto run = [&](const std::string& args) { return kv::test::Run(kvctl + args); };
  EXPECT_EQ(run("version").output, "43\n");
  auto r = run("mount 0 " + Quote(iso));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  ASSERT_EQ(run("letter 0 E").exitCode, 0);
  const std::string copy = (dir_ / "y.iso").string();
  r = kv::test::Run(kvctl + "read E: --first 0 --count " + std::to_string(sectors) + " > " + Quote(copy));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(ReadFileBytes(copy) == ReadFileBytes(iso));
  r = kv::test::Run(kvctl + "read 0 --first 16 --count 1 | head -c 6 | tail -c 5");
  EXPECT_EQ(r.output, "CD001");

  r = run("query E: --json");
  EXPECT_NE(r.output.find("\"sizeBytes\":" + std::to_string(sectors * 2048)), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("x.iso"), std::string::npos);
  r = run("drives");
  EXPECT_NE(r.output.find("E:  \\Device\\KVEmu\\KVEmuCd0  (drive 0)"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("C:  \\Device\\HarddiskVolume1"), std::string::npos) << r.output;
  r = run("toc E:");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.output.find("first track 1, last track 1"), std::string::npos) << r.output;

  r = run("mount 1 " + Quote((dir_ / "nothing.iso").string()));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("image file not found"), std::string::npos) << r.output;
  EXPECT_EQ(run("mount 0").exitCode, 2);
  EXPECT_EQ(run("query 23").exitCode, 2);
  EXPECT_EQ(run("mount 0 x --format nine").exitCode, 2);
  r = run("read Q: --count 1");
  EXPECT_EQ(r.exitCode, 1);

  ASSERT_EQ(run("unmount E:").exitCode, 0);
  EXPECT_EQ(run("query 0").output, "empty\n");
  r = run("read E: --first 0 --count 1");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("no medium"), std::string::npos) << r.output;
  ASSERT_EQ(run("noletter 0").exitCode, 0);
  EXPECT_EQ(run("drives").output.find("E:"), std::string::npos);
}

// A data + audio disc mounted with its layout: the drive's table of contents is the one cd-info
// reads from the same layout as a cue sheet, and raw reads return the stored and generated
// sectors; an NRG image mounts and reads back its ISO.
TEST_F(HostDrives, KvctlDevTrackLayoutsAndNrg) {
  const std::string iso = MakeIso("t.iso", 11, 400000);
  const std::vector<uint8_t> data = ReadFileBytes(iso);
  std::vector<uint8_t> bin = WrapAsRawMode1(data);
  const size_t dataSectors = bin.size() / 2352;
  const std::vector<uint8_t> audio = PatternBytes(size_t{250} * 2352, 12);  // 150 pregap + 100 data sectors
  bin.insert(bin.end(), audio.begin(), audio.end());
  const std::string path = (dir_ / "mixed.bin").string();
  WriteFileBytes(path, bin);
  const std::string kvctl = ProgramPath("kvctl") + " dev ";
  auto run = [&](const std::string& args) { return kv::test::Run(kvctl + args); };
  const std::string audioStart = std::to_string(dataSectors + 150);
  auto r = run("mount 0 " + Quote(path) + " --track mode1raw:0:" + std::to_string(dataSectors) +
               ":0:2352:150:0:0:0 --track audio:" + audioStart + ":100:" + std::to_string((dataSectors + 150) * 2352) +
               ":2352:150:150:0:0");
  ASSERT_EQ(r.exitCode, 0) << r.output;

  // cd-info on a cue sheet of the same layout (index 0 of track 2 where its stored pregap begins).
  auto msf = [](size_t lba) {
    char t[80];
    std::snprintf(t, sizeof t, "%02zu:%02zu:%02zu", lba / 4500, lba / 75 % 60, lba % 75);
    return std::string(t);
  };
  WriteFileText(dir_ / "mixed.cue",
                "FILE \"mixed.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
                "  TRACK 02 AUDIO\n    INDEX 00 " +
                    msf(dataSectors) + "\n    INDEX 01 " + msf(dataSectors + 150) + "\n");
  const auto judge = kv::test::Run("cd-info --no-header --no-device-info --no-disc-mode --cue-file " +
                                   Quote((dir_ / "mixed.cue").string()));
  std::vector<std::string> expected;
  for (size_t at = 0; (at = judge.output.find('\n', at)) != std::string::npos;) {
    unsigned track = 0, m = 0, sec = 0, f = 0;
    long lsn = 0;
    char type[16] = {};
    if (std::sscanf(judge.output.c_str() + at + 1, "%u: %u:%u:%u %ld %15s", &track, &m, &sec, &f, &lsn, type) == 6) {
      const unsigned control = std::string(type) == "audio" ? 0 : 4;
      expected.push_back(std::to_string(track) + " " + std::to_string(lsn) +
                         (track == 170 ? "" : " " + std::to_string(control)));
    }
    ++at;
  }
  ASSERT_EQ(expected.size(), 3u) << judge.output;
  r = run("toc 0 --json");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  std::vector<std::string> got;
  for (size_t at = 0; (at = r.output.find("{\"track\":", at)) != std::string::npos; ++at) {
    unsigned track = 0, adr = 0, control = 0;
    long lba = 0;
    std::sscanf(r.output.c_str() + at, "{\"track\":%u,\"adr\":%u,\"control\":%u,\"msf\":\"%*8c\",\"lba\":%ld", &track,
                &adr, &control, &lba);
    got.push_back(std::to_string(track) + " " + std::to_string(lba) +
                  (track == 170 ? "" : " " + std::to_string(control)));
  }
  EXPECT_EQ(got, expected) << r.output << judge.output;

  // Raw sectors from the generated pregap of track 1 to the end of the stored audio.
  const std::string raw = (dir_ / "raw.out").string();
  r = kv::test::Run(kvctl + "read 0 --raw --first -150 --count " + std::to_string(150 + dataSectors + 250) + " > " +
                    Quote(raw));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  const std::vector<uint8_t> out = ReadFileBytes(raw);
  ASSERT_EQ(out.size(), (150 + dataSectors + 250) * 2352);
  EXPECT_TRUE(std::equal(bin.begin(), bin.end(), out.begin() + 150 * 2352));
  const std::vector<uint8_t> zeros(2048, 0);
  EXPECT_EQ(out[12], 0x00);  // sector -150: 00:00:00
  EXPECT_EQ(out[13], 0x00);
  EXPECT_EQ(out[14], 0x00);
  EXPECT_EQ(out[149 * 2352 + 14], 0x74);  // sector -1: 00:01:74
  EXPECT_TRUE(std::equal(zeros.begin(), zeros.end(), out.begin() + 16));
  EXPECT_EQ(run("read 0 --raw --first -151 --count 1").exitCode, 1);
  ASSERT_EQ(run("unmount 0").exitCode, 0);

  // The same disc through its cue sheet, picked as the sheet or as the data file.
  for (const char* picked : {"mixed.cue", "mixed.bin"}) {
    r = run("mount 2 " + Quote((dir_ / picked).string()));
    ASSERT_EQ(r.exitCode, 0) << picked << r.output;
    r = run("toc 2 --json");
    std::vector<std::string> viaCue;
    for (size_t at = 0; (at = r.output.find("{\"track\":", at)) != std::string::npos; ++at) {
      unsigned track = 0, adr = 0, control = 0;
      long lba = 0;
      std::sscanf(r.output.c_str() + at, "{\"track\":%u,\"adr\":%u,\"control\":%u,\"msf\":\"%*8c\",\"lba\":%ld", &track,
                  &adr, &control, &lba);
      viaCue.push_back(std::to_string(track) + " " + std::to_string(lba) +
                       (track == 170 ? "" : " " + std::to_string(control)));
    }
    EXPECT_EQ(viaCue, expected) << picked << r.output;
    ASSERT_EQ(run("unmount 2").exitCode, 0);
  }

  // A layout that does not fit its file is refused with the reason.
  r = run("mount 0 " + Quote(path) + " --format 100 --track audio:0:10:99999999999:2352");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("past the end of the file"), std::string::npos) << r.output;
  EXPECT_EQ(run("mount 0 " + Quote(path) + " --track audio:0:x:0:2352").exitCode, 2);

  // NRG, version 2 disc-at-once.
  const std::string nrg = (dir_ / "t.nrg").string();
  WriteFileBytes(nrg, MakeNrg(data, {}).bytes);
  r = run("mount 1 " + Quote(nrg));  // *.nrg needs no --format
  ASSERT_EQ(r.exitCode, 0) << r.output;
  const std::string copy = (dir_ / "nrg.out").string();
  ASSERT_EQ(kv::test::Run(kvctl + "read 1 > " + Quote(copy)).exitCode, 0);
  std::vector<uint8_t> back = ReadFileBytes(copy);
  back.resize(data.size());
  EXPECT_TRUE(back == data);
  ASSERT_EQ(run("unmount 1").exitCode, 0);
}

TEST_F(HostDrives, KvexportShowsLettersToRealTools) {
  if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "/dev/fuse is not usable here: kvexport cannot mount";
  if (!HaveTool("7z") || !HaveTool("fusermount3")) GTEST_SKIP() << "7z or fusermount3 missing";
  const std::string iso = MakeIso("x.iso", 7);
  const fs::path mnt = dir_ / "mnt";
  fs::create_directories(mnt);
  const pid_t exporter = StartKvexport(mnt.string());
  struct Stopper {
    pid_t pid;
    std::string mnt;
    ~Stopper() {
      if (pid <= 0) return;
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      kv::test::Run("fusermount3 -u -z " + Quote(mnt));
    }
  } stopper{exporter, mnt.string()};
  auto waitFor = [&](const std::function<bool()>& condition) {
    for (int i = 0; i < 500; ++i) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  };
  const fs::path e = mnt / "E";
  std::error_code ec;
  ASSERT_EQ(Mount(3, iso), 0);
  ASSERT_TRUE(SetLetter(3, 'E'));
  EXPECT_TRUE(waitFor([&] { return fs::file_size(e, ec) == fs::file_size(iso); }));

  auto r = kv::test::Run("7z l " + Quote(e.string()));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("big.bin"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("note.txt"), std::string::npos) << r.output;
  EXPECT_EQ(kv::test::Run("cmp " + Quote(e.string()) + " " + Quote(iso)).exitCode, 0);
  if (HaveTool("isoinfo")) {
    r = kv::test::Run("isoinfo -i " + Quote(e.string()) + " -J -x /sub/note.txt");
    EXPECT_EQ(r.output, "drive test 7\n");
  }

  if (HaveTool("xorriso")) {
    r = kv::test::Run("xorriso -indev " + Quote(e.string()) + " -ls / 2>&1");
    EXPECT_NE(r.output.find("big.bin"), std::string::npos) << r.output;
  }

  // An open file belongs to its medium: once the medium is gone its reads fail, never end early.
  const int fd = open(e.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  char block[4096];
  EXPECT_EQ(pread(fd, block, sizeof block, 0), static_cast<ssize_t>(sizeof block));

  // Removal of the medium and of the letter follow the broadcast.
  Control("\\\\.\\E:", IOCTL_CDEMU_UNMOUNT, nullptr, 0, nullptr, 0);
  EXPECT_TRUE(waitFor([&] { return fs::exists(e, ec) && fs::file_size(e, ec) == 0; }));
  EXPECT_EQ(pread(fd, block, sizeof block, 8192), -1);
  EXPECT_TRUE(errno == ENOMEDIUM || errno == EIO) << errno;
  ASSERT_EQ(Mount(3, iso), 0);  // a medium again, but another one
  EXPECT_TRUE(waitFor([&] { return fs::file_size(e, ec) == fs::file_size(iso); }));
  EXPECT_EQ(pread(fd, block, sizeof block, 8192), -1);
  close(fd);
  Control("\\\\.\\E:", IOCTL_CDEMU_UNMOUNT, nullptr, 0, nullptr, 0);
  uint8_t out[4];
  Control("\\\\.\\KVEmuDev3", IOCTL_CDEMU_DELETE_DRIVE_LETTER, nullptr, 0, out, 4);
  EXPECT_TRUE(waitFor([&] { return !fs::exists(e, ec); }));

  kill(exporter, SIGTERM);
  int st = 0;
  waitpid(exporter, &st, 0);
  stopper.pid = -1;
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
  EXPECT_NE(kv::test::Run("mountpoint -q " + Quote(mnt.string())).exitCode, 0);

  // Killed, it leaves a dead mount behind; the next start clears it and serves.
  const auto serving = [&] {
    struct stat s {};
    return kv::test::Run("mountpoint -q " + Quote(mnt.string())).exitCode == 0 && stat(mnt.c_str(), &s) == 0;
  };
  stopper.pid = StartKvexport(mnt.string());
  ASSERT_TRUE(waitFor(serving));
  kill(stopper.pid, SIGKILL);
  waitpid(stopper.pid, nullptr, 0);
  struct stat dead {};
  EXPECT_NE(stat(mnt.c_str(), &dead), 0);
  EXPECT_EQ(errno, ENOTCONN);
  stopper.pid = StartKvexport(mnt.string());
  EXPECT_TRUE(waitFor(serving));
  kill(stopper.pid, SIGTERM);
  waitpid(stopper.pid, &st, 0);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
  stopper.pid = -1;
  EXPECT_NE(kv::test::Run("mountpoint -q " + Quote(mnt.string())).exitCode, 0);
}

// The kernel keeps a medium's pages and attributes while it stays. A medium of the same size put
// in its place, or a host killed and started again, is never answered from them, and a file
// opened on a medium that went fails instead of reading another's bytes.
TEST_F(HostDrives, KvexportCacheFollowsTheMedium) {
  if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "/dev/fuse is not usable here: kvexport cannot mount";
  if (!HaveTool("fusermount3")) GTEST_SKIP() << "fusermount3 missing";
  const std::string a = MakeIso("a.iso", 21, 1u << 20);
  const std::string b = MakeIso("b.iso", 22, 1u << 20);
  ASSERT_EQ(fs::file_size(a), fs::file_size(b));
  const fs::path mnt = dir_ / "mnt";
  fs::create_directories(mnt);
  struct Stopper {
    pid_t pid;
    std::string mnt;
    ~Stopper() {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      kv::test::Run("fusermount3 -u -z " + Quote(mnt));
    }
  } stopper{StartKvexport(mnt.string()), mnt.string()};
  auto waitFor = [&](const std::function<bool()>& condition) {
    for (int i = 0; i < 1000; ++i) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  };
  const fs::path g = mnt / "G";
  // Read 2 KiB at a time, as file system readers do.
  auto holds = [&](const std::string& iso) {
    const int fd = open(g.c_str(), O_RDONLY);
    if (fd < 0) return false;
    const auto expected = ReadFileBytes(iso);
    std::vector<uint8_t> got(expected.size() + 2048);
    size_t at = 0;
    for (ssize_t n; (n = pread(fd, got.data() + at, 2048, static_cast<off_t>(at))) > 0;) at += static_cast<size_t>(n);
    close(fd);
    got.resize(at);
    return got == expected;
  };
  ASSERT_EQ(Mount(2, a), 0);
  ASSERT_TRUE(SetLetter(2, 'G'));
  ASSERT_TRUE(waitFor([&] { return holds(a); }));
  EXPECT_TRUE(holds(a));  // again, from the kernel's cache
  const int first = open(g.c_str(), O_RDONLY);
  ASSERT_GE(first, 0);
  char block[2048];
  EXPECT_EQ(pread(first, block, sizeof block, 0), 2048);
  // Readers going on while the media change: every 2 KiB they get is that of one of the two
  // media at that offset, never bytes of another read or of memory reused under them.
  const auto bytesA = ReadFileBytes(a);
  const auto bytesB = ReadFileBytes(b);
  std::atomic<bool> swapping{true};
  std::atomic<int> foreign{0}, blocks{0};
  std::vector<std::thread> readers;
  struct Joiner {
    std::atomic<bool>& swapping;
    std::vector<std::thread>& readers;
    ~Joiner() {
      swapping = false;
      for (auto& t : readers) t.join();
    }
  } joiner{swapping, readers};
  for (int r = 0; r < 3; ++r)
    readers.emplace_back([&, r] {
      char got[2048];
      for (size_t at = static_cast<size_t>(r) * 65536; swapping; at = (at + 6144) % bytesA.size()) {
        const int fd = open(g.c_str(), O_RDONLY);
        if (fd < 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));  // between media: no letter
          continue;
        }
        for (int i = 0; i < 16 && at + sizeof got <= bytesA.size(); ++i, at += sizeof got) {
          if (pread(fd, got, sizeof got, static_cast<off_t>(at)) != static_cast<ssize_t>(sizeof got)) break;
          ++blocks;
          if (std::memcmp(got, bytesA.data() + at, sizeof got) != 0 &&
              std::memcmp(got, bytesB.data() + at, sizeof got) != 0)
            ++foreign;
        }
        close(fd);
      }
    });
  for (int round = 0; round < 4; ++round) {
    const std::string& next = round % 2 == 0 ? b : a;
    ASSERT_TRUE(Control("\\\\.\\G:", IOCTL_CDEMU_UNMOUNT, nullptr, 0, nullptr, 0));
    ASSERT_EQ(Mount(2, next), 0);  // back to back: the same size, only the events tell
    EXPECT_TRUE(waitFor([&] { return holds(next); })) << round;
    EXPECT_EQ(pread(first, block, sizeof block, 4096), -1) << round;
  }
  swapping = false;
  for (auto& t : readers) t.join();
  readers.clear();
  EXPECT_GT(blocks.load(), 0);
  EXPECT_EQ(foreign.load(), 0) << "of " << blocks.load() << " blocks";
  close(first);

  // The host killed under the mount: reads fail, the letter goes; a new host is found again.
  const int open2 = open(g.c_str(), O_RDONLY);
  ASSERT_GE(open2, 0);
  host_->Stop(SIGKILL);
  EXPECT_TRUE(waitFor([&] {
    std::error_code ec;
    return !fs::exists(g, ec);
  }));
  EXPECT_EQ(pread(open2, block, sizeof block, 0), -1);
  close(open2);
  host_ = std::make_unique<HostProcess>(ProgramPath("kvemu"), root_);
  ASSERT_TRUE(host_->WaitReady()) << host_->Log();
  ASSERT_EQ(Mount(2, b), 0);
  ASSERT_TRUE(SetLetter(2, 'G'));
  EXPECT_TRUE(waitFor([&] { return holds(b); }));
}

}  // namespace
}  // namespace kv::test
