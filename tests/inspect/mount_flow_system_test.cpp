// kvctl mount/list/unmount over the whole system in a private platform root: kvemu and KVService
// booted by the service manager; each mounted file is read back through the drive.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "common/ioctl.h"
#include "common/mount_request.h"
#include "formats/raw/raw_sector.h"
#include "platform/devio.h"
#include "platform/registry.h"
#include "platform/service_control.h"
#include "platform/wide_text.h"
#include "tests/fixtures/block_image_writer.h"
#include "tests/fixtures/daa_image_writer.h"
#include "tests/fixtures/nrg_writer.h"
#include "tests/fixtures/rar5_writer.h"
#include "tests/fixtures/test_support.h"
#include "tests/host/host_process.h"

namespace kv::test {
namespace {

using namespace kv::platform;
namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr char16_t kService[] = u"Korvendrake Service";

// The medium of the drive behind `letter`, read whole through the drive letter.
bool ReadDrive(char letter, std::vector<uint8_t>* out) {
  Handle h = CreateFile(std::string("\\\\.\\") + letter + ":");
  std::vector<uint8_t> status(kDriveStatusQuerySize);
  uint32_t n = 0;
  if (!h || !DeviceIoControl(h, IOCTL_CDEMU_QUERY_MOUNT, nullptr, 0, status.data(), kDriveStatusQuerySize, &n))
    return false;
  uint64_t size = 0;
  std::memcpy(&size, status.data() + offsetof(DriveStatus, SizeBytes), 8);
  out->assign(size, 0);
  for (uint64_t at = 0; at < size;) {
    const uint32_t now = static_cast<uint32_t>(std::min<uint64_t>(65536, size - at));
    if (!ReadFile(h, at, out->data() + at, now, &n) || n != now) return false;
    at += now;
  }
  return size > 0;
}

std::string ReadFileText(const std::string& path) {
  const auto bytes = ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

class MountFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "the services are recorded in the machine's registry (root)";
    if (!HaveTool("genisoimage") || !HaveTool("7z")) GTEST_SKIP() << "genisoimage or 7z is not installed";
    root_ = (dir_ / "root").string();
    fs::create_directories(dir_ / "tmp");
    setenv("KV_PLATFORM_ROOT", root_.c_str(), 1);
    if (const char* t = std::getenv("TMPDIR")) savedTmp_ = t;
    setenv("TMPDIR", (dir_ / "tmp").c_str(), 1);
    RegKey key;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, u"Software\\Korvendrake Virtual Drive", 0, KEY_ALL_ACCESS, key.put(),
                             nullptr),
              ERROR_SUCCESS);
    const auto data = RegStringData(Utf8ToUtf16(KV_INSTALL_DIR));
    ASSERT_EQ(RegSetValueEx(key, u"Install_Dir", REG_SZ, data.data(), static_cast<DWORD>(data.size())), ERROR_SUCCESS);

    ServiceConfig driver;
    driver.name = u"kvemu";
    driver.type = SERVICE_KERNEL_DRIVER;
    driver.start = SERVICE_BOOT_START;
    driver.imagePath = Utf8ToUtf16(ProgramPath("kvemu"));
    ASSERT_TRUE(CreateService(driver));
    ASSERT_EQ(kv::test::Run(Quote(ProgramPath("KVService")) + " -i").exitCode, 0);
    std::vector<std::string> log;
    ASSERT_EQ(BootSystem(&log), 0);
    booted_ = true;
    ASSERT_TRUE(WaitServiceState(kService, SERVICE_RUNNING, 60000));
  }
  void TearDown() override {
    if (savedTmp_.empty())
      unsetenv("TMPDIR");
    else
      setenv("TMPDIR", savedTmp_.c_str(), 1);
    if (!booted_) return;
    pid_t service = 0, driver = 0;
    SERVICE_STATUS s{};
    QueryServiceStatus(kService, &s, &service);
    QueryServiceStatus(u"kvemu", &s, &driver);
    std::vector<std::string> log;
    EXPECT_EQ(ShutdownSystem(&log), 0);
    EXPECT_TRUE(WaitFor([&] { return !Running(service) && !Running(driver); }, std::chrono::seconds(30)));
  }
  static bool Running(pid_t pid) {
    return pid > 0 && kill(pid, 0) == 0 && fs::exists("/proc/" + std::to_string(pid) + "/exe");
  }
  CommandResult Kvctl(const std::string& args) {
    return kv::test::Run(Quote(ProgramPath("kvctl")) + " " + args + " 2>&1");
  }

  TempDir dir_;
  std::string root_;
  bool booted_ = false;
  std::string savedTmp_;
};

TEST_F(MountFlow, EachFormatMountedByKvctlReadsBackThroughTheDrive) {
  const fs::path src = dir_ / "src";
  fs::create_directories(src / "sub");
  WriteFileBytes(src / "big.bin", PatternBytes(400000, 7));
  WriteFileText(src / "sub" / "note.txt", "flow\n");
  ASSERT_EQ(kv::test::Run("genisoimage -quiet -J -o " + Quote((dir_ / "disc.iso").string()) + " " + Quote(src.string()))
                .exitCode,
            0);
  const std::vector<uint8_t> iso = ReadFileBytes(dir_ / "disc.iso");
  std::vector<uint8_t> raw(iso.size() / 2048 * 2352);
  for (size_t s = 0; s < iso.size() / 2048; ++s)
    BuildMode1Sector(static_cast<int64_t>(s), &iso[s * 2048], &raw[s * 2352]);
  WriteFileBytes(dir_ / "track.bin", raw);
  WriteFileText(dir_ / "track.cue", "FILE \"track.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n");
  WriteFileBytes(dir_ / "disc.nrg", MakeNrg(iso, {}).bytes);
  WriteFileBytes(dir_ / "disc.isz", WriteIsz(iso));
  WriteFileBytes(dir_ / "disc.uif", WriteUif(iso));
  DaaWriterOptions daa;
  daa.password = "pass word";
  daa.volumeSize = iso.size() / 2 + 4096;
  WriteDaaFiles(dir_.path(), WriteDaaImage(iso, daa, "split"));
  WriteFileText(dir_ / "pw", "pass word\n");

  auto r = Kvctl("drives 3");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  r = Kvctl("list");
  EXPECT_EQ(r.output, "0 D: <No media>\n1 E: <No media>\n2 F: <No media>\n");

  // Picked as: an ISO, the cue's data file, NRG, ISZ, UIF, a later volume of an encrypted DAA set.
  for (const char* pickedText :
       {"disc.iso", "track.bin", "disc.nrg", "disc.isz", "disc.uif", "split.part02.daa --password-file "}) {
    const std::string picked = pickedText;
    SCOPED_TRACE(picked);
    r = Kvctl(
        "mount " + Quote((dir_ / picked.substr(0, picked.find(' '))).string()) +
        (picked.find(' ') == std::string::npos ? "" : picked.substr(picked.find(' ')) + Quote((dir_ / "pw").string())));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output, "D:\n");
    std::vector<uint8_t> medium;
    ASSERT_TRUE(ReadDrive('D', &medium));
    ASSERT_GE(medium.size(), iso.size());
    EXPECT_TRUE(std::equal(iso.begin(), iso.end(), medium.begin()));
    r = Kvctl("unmount D:");
    EXPECT_EQ(r.exitCode, 0) << r.output;
  }

  // A zip goes to the service's archive bridge; the first empty drive is taken.
  ASSERT_EQ(kv::test::Run("cd " + Quote(src.string()) + " && 7z a -tzip " + Quote((dir_ / "files.zip").string()) +
                          " . >/dev/null")
                .exitCode,
            0);
  EXPECT_EQ(Kvctl("mount E: " + Quote((dir_ / "disc.iso").string())).output, "E:\n");
  EXPECT_EQ(Kvctl("mount " + Quote((dir_ / "files.zip").string())).output, "D:\n");
  std::vector<uint8_t> medium;
  EXPECT_TRUE(ReadDrive('D', &medium));
  r = Kvctl("list --json");
  const std::string clientDir = [&] {
    std::string p = "C:" + dir_.path().string();
    for (char& c : p)
      if (c == '/') c = '\\';
    std::string json;
    for (char c : p) json += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return json;
  }();
  EXPECT_EQ(r.output, "[{\"drive\":0,\"number\":0,\"letter\":\"D:\",\"image\":\"" + clientDir +
                          "\\\\files.zip\"},{\"drive\":1,\"number\":1,\"letter\":\"E:\",\"image\":\"" + clientDir +
                          "\\\\disc.iso\"},{\"drive\":2,\"number\":2,\"letter\":\"F:\",\"image\":null}]\n");
  EXPECT_EQ(Kvctl("mount F: " + Quote((dir_ / "disc.iso").string())).output, "F:\n");
  r = Kvctl("mount " + Quote((dir_ / "disc.uif").string()));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("no drive is empty"), std::string::npos) << r.output;

  // Refusals in the system's own texts; nothing is mounted.
  WriteFileBytes(dir_ / "noise.iso", PatternBytes(70000, 3));
  EXPECT_EQ(Kvctl("unmount F:").exitCode, 0);
  r = Kvctl("mount " + Quote((dir_ / "noise.iso").string()));
  EXPECT_EQ(r.output, "kvctl mount: The file format is invalid or unsupported.\n");
  r = Kvctl("mount " + Quote((dir_ / "split.part01.daa").string()) + " </dev/null");
  EXPECT_EQ(r.output, "kvctl mount: You must input password to open this file.\n");

  EXPECT_EQ(Kvctl("unmount --all").exitCode, 0);
  EXPECT_EQ(Kvctl("list").output, "0 D: <No media>\n1 E: <No media>\n2 F: <No media>\n");
}

bool Contains(const std::vector<uint8_t>& haystack, const std::vector<uint8_t>& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

TEST_F(MountFlow, MzpContainersAndCommentedArchivesGoToTheService) {
  const fs::path src = dir_ / "src";
  fs::create_directories(src / "sub");
  const std::vector<uint8_t> big = PatternBytes(300000, 11);
  WriteFileBytes(src / "big.bin", big);
  WriteFileText(src / "sub" / "note.txt", "mzp\n");
  // Not ASCII: packing, the manager's check and the service must agree on the key bytes.
  WriteFileText(dir_ / "pw", "mzp k\xC3\xA9y\n");
  const std::string kvimage = Quote(ProgramPath("kvimage"));
  ASSERT_EQ(kv::test::Run(kvimage + " pack " + Quote(src.string()) + " -o " + Quote((dir_ / "plain.mzp").string()) +
                          " >/dev/null 2>&1")
                .exitCode,
            0);
  ASSERT_EQ(kv::test::Run(kvimage + " pack " + Quote(src.string()) + " -o " + Quote((dir_ / "locked.mzp").string()) +
                          " --password-file " + Quote((dir_ / "pw").string()) + " --volume-size 131072 >/dev/null 2>&1")
                .exitCode,
            0);
  ASSERT_TRUE(fs::exists(dir_ / "locked.part02.mzp"));
  const std::vector<uint8_t> sample(big.begin() + 200000, big.begin() + 204096);
  const std::vector<uint8_t> rarData = PatternBytes(50000, 12);
  WriteFileBytes(dir_ / "noted.rar", WriteRar5({{"stored.bin", rarData}}, "first line\nsecond line"));
  ASSERT_EQ(kv::test::Run("cd " + Quote(src.string()) + " && printf 'zip note\\n' | zip -q -r -z " +
                          Quote((dir_ / "noted.zip").string()) + " .")
                .exitCode,
            0);
  ASSERT_EQ(Kvctl("drives 2").exitCode, 0);

  auto r = Kvctl("identify " + Quote((dir_ / "locked.part02.mzp").string()) + " --json --password-file " +
                 Quote((dir_ / "pw").string()));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("\"format\":7,\"formatName\":\"mzp\""), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("\"encrypted\":true,\"passwordGiven\":true"), std::string::npos) << r.output;
  r = Kvctl("mount " + Quote((dir_ / "locked.part01.mzp").string()) + " </dev/null");
  EXPECT_EQ(r.output, "kvctl mount: You must input password to open this file.\n");

  struct Case {
    std::string picked, options, output;
    std::vector<uint8_t> inside;
  };
  const std::vector<Case> cases = {
      {"plain.mzp", "", "D:\n", sample},
      // A later volume picked, the password from a file.
      {"locked.part02.mzp", " --password-file " + Quote((dir_ / "pw").string()), "D:\n", sample},
      // The comment of a RAR archive is shown before the mount; a zip's is not.
      {"noted.rar", "", "Comment:\nfirst line\nsecond line\nD:\n", rarData},
      {"noted.zip", "", "D:\n", sample},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.picked);
    r = Kvctl("mount " + Quote((dir_ / c.picked).string()) + c.options);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output, c.output);
    std::vector<uint8_t> medium;
    ASSERT_TRUE(ReadDrive('D', &medium));
    EXPECT_TRUE(Contains(medium, c.inside));
    r = Kvctl("list");
    EXPECT_NE(r.output.find("0 D: C:"), std::string::npos) << r.output;
    EXPECT_EQ(Kvctl("unmount D:").exitCode, 0);
  }
  EXPECT_EQ(Kvctl("list").output, "0 D: <No media>\n1 E: <No media>\n");
}

TEST_F(MountFlow, IdentifyDrivesLettersAndLanguage) {
  const fs::path src = dir_ / "src";
  fs::create_directories(src);
  WriteFileText(src / "a.txt", "letters\n");
  ASSERT_EQ(
      kv::test::Run("genisoimage -quiet -o " + Quote((dir_ / "d.iso").string()) + " " + Quote(src.string())).exitCode,
      0);
  const int sectors = static_cast<int>(fs::file_size(dir_ / "d.iso") / 2048);
  auto r = Kvctl("identify " + Quote((dir_ / "d.iso").string()) + " --json");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("\"format\":0,\"formatName\":\"iso\",\"sectorSize\":2048,\"dataOffset\":0,"
                          "\"startOffset\":0,\"sectorCount\":" +
                          std::to_string(sectors)),
            std::string::npos)
      << r.output;
  EXPECT_EQ(Kvctl("list").output, "0 D: <No media>\n") << "nothing was mounted";

  EXPECT_EQ(Kvctl("drives 2").exitCode, 0);
  EXPECT_EQ(Kvctl("drives 24").exitCode, 2);
  EXPECT_EQ(Kvctl("mount E: " + Quote((dir_ / "d.iso").string())).output, "E:\n");
  // A new letter keeps the medium: it is mounted again behind the new letter.
  r = Kvctl("letter E: H");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  r = Kvctl("list");
  EXPECT_EQ(r.output.substr(0, 16), "0 D: <No media>\n") << r.output;
  EXPECT_NE(r.output.find("1 H: C:"), std::string::npos) << r.output;
  std::vector<uint8_t> medium;
  EXPECT_TRUE(ReadDrive('H', &medium));

  r = Kvctl("language Klingon");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.output.find("1033"), std::string::npos) << r.output;
  r = Kvctl("language 1033");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Kvctl("unmount --all").exitCode, 0);
  EXPECT_EQ(Kvctl("list").output, "0 D: <No media>\n1 H: <No media>\n");

  // The service's messages reach `kvctl messages`: an item whose CRC fails when it is read.
  WriteFileBytes(src / "item.bin", PatternBytes(200000, 5));
  const fs::path zip = dir_ / "bad.zip";
  ASSERT_EQ(kv::test::Run("cd " + Quote(src.string()) + " && 7z a -tzip -mx=0 " + Quote(zip.string()) + " . >/dev/null")
                .exitCode,
            0);
  auto bytes = ReadFileBytes(zip);
  bytes[100000] ^= 0xFF;
  WriteFileBytes(zip, bytes);
  const std::string out = (dir_ / "messages.out").string();
  const std::string err = (dir_ / "messages.err").string();
  kv::test::Run(Quote(ProgramPath("kvctl")) + " messages --count 1 >" + Quote(out) + " 2>" + Quote(err) + " &");
  ASSERT_TRUE(WaitFor([&] { return fs::exists(err) && fs::file_size(err) > 0; }, std::chrono::seconds(10)));
  EXPECT_EQ(Kvctl("mount " + Quote(zip.string())).output, "D:\n");
  ReadDrive('D', &medium);
  ASSERT_TRUE(WaitFor([&] { return fs::exists(out) && fs::file_size(out) > 0; }, std::chrono::seconds(20)));
  EXPECT_NE(ReadFileText(out).find("item.bin"), std::string::npos) << ReadFileText(out);
  EXPECT_EQ(Kvctl("unmount D:").exitCode, 0);
}

}  // namespace
}  // namespace kv::test
