// The whole system with real processes in a private platform root: kvemu registered as a boot
// driver and KVService as an automatic service, booted by the service manager; clients are kvctl
// and this test, speaking through the command area and the message pipe only.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "common/ioctl.h"
#include "common/mount_request.h"
#include "common/service_command.h"
#include "manager/service_client.h"
#include "platform/devio.h"
#include "platform/event_log.h"
#include "platform/message_pipe.h"
#include "platform/named_objects.h"
#include "platform/registry.h"
#include "platform/service_control.h"
#include "platform/wide_text.h"
#include "tests/fixtures/test_support.h"
#include "tests/host/host_process.h"

namespace kv::test {
namespace {

using namespace kv::platform;
namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char16_t kService[] = u"Korvendrake Service";
constexpr char16_t kMainKey[] = u"Software\\Korvendrake Virtual Drive";

bool SetString(std::u16string_view name, const std::u16string& text) {
  RegKey key;
  if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, kMainKey, 0, KEY_ALL_ACCESS, key.put(), nullptr) != ERROR_SUCCESS)
    return false;
  const auto data = RegStringData(text);
  return RegSetValueEx(key, name, REG_SZ, data.data(), static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
}

std::u16string GetString(std::u16string_view name) {
  RegKey key;
  std::u16string text;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kMainKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS)
    RegReadString(key, name, &text);
  return text;
}

DWORD GetDword(std::u16string_view name) {
  RegKey key;
  DWORD v = 0xFFFFFFFF;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kMainKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS) RegReadDword(key, name, &v);
  return v;
}

// Size of the drive's medium (0 when empty).
uint64_t MediumSize(int drive) {
  Handle h = CreateFile("\\\\.\\KVEmuDev" + std::to_string(drive));
  std::vector<uint8_t> out(kDriveStatusQuerySize);
  uint32_t n = 0;
  if (!h || !DeviceIoControl(h, IOCTL_CDEMU_QUERY_MOUNT, nullptr, 0, out.data(), kDriveStatusQuerySize, &n)) return 0;
  uint16_t length = 0;
  std::memcpy(&length, out.data() + offsetof(DriveStatus, NameLength), 2);
  uint64_t size = 0;
  std::memcpy(&size, out.data() + offsetof(DriveStatus, SizeBytes), 8);
  return length == 0 ? 0 : size;
}

bool ReadWhole(int drive, std::vector<uint8_t>* out) {
  const uint64_t size = MediumSize(drive);
  out->assign(size, 0);
  Handle h = CreateFile("\\\\.\\KVEmuDev" + std::to_string(drive));
  for (uint64_t at = 0; h && at < size;) {
    const uint32_t now = static_cast<uint32_t>(std::min<uint64_t>(65536, size - at));
    uint32_t n = 0;
    if (!ReadFile(h, at, out->data() + at, now, &n) || n != now) return false;
    at += now;
  }
  return h && size > 0;
}

// The letters D..Z that are virtual drives, as "D:E:".
std::string DriveLetters() {
  std::string letters;
  const uint32_t present = GetLogicalDrives();
  for (char l = 'D'; l <= 'Z'; ++l) {
    std::string target;
    if ((present >> (l - 'A') & 1) && QueryDosDevice(std::string(1, l) + ":", &target) &&
        target.rfind("\\Device\\KVEmu\\KVEmuCd", 0) == 0)
      letters += std::string(1, l) + ":";
  }
  return letters;
}

class RunningSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "the services are recorded in the machine's registry (root)";
    if (!HaveTool("7z")) GTEST_SKIP() << "7z is not installed";
    root_ = (dir_ / "root").string();
    fs::create_directories(dir_ / "tmp");
    setenv("KV_PLATFORM_ROOT", root_.c_str(), 1);
    if (const char* t = std::getenv("TMPDIR")) savedTmp_ = t;
    setenv("TMPDIR", (dir_ / "tmp").c_str(), 1);
    ASSERT_TRUE(SetString(u"Install_Dir", Utf8ToUtf16(KV_INSTALL_DIR)));
  }
  void TearDown() override {
    // The next case makes its folder where the suite was told to.
    if (savedTmp_.empty())
      unsetenv("TMPDIR");
    else
      setenv("TMPDIR", savedTmp_.c_str(), 1);
    if (!booted_) return;
    pid_t service = 0;
    pid_t driver = 0;
    SERVICE_STATUS s{};
    QueryServiceStatus(kService, &s, &service);
    QueryServiceStatus(u"kvemu", &s, &driver);
    std::vector<std::string> log;
    EXPECT_EQ(ShutdownSystem(&log), 0);
    // "Stopped" is reported just before the process ends.
    EXPECT_TRUE(WaitFor([&] { return !ProcessRunning(service) && !ProcessRunning(driver); }, seconds(30)));
    EXPECT_TRUE(FolderEntries(root_ + "/pipes").empty());
    EXPECT_TRUE(FolderEntries(root_ + "/objects").empty());
    EXPECT_FALSE(fs::exists(dir_ / "tmp" / "$Korvendrake$")) << "the stop cleans the temporary folder";
  }
  // Running: not ended, and not a zombie (which has no program any more).
  static bool ProcessRunning(pid_t pid) {
    return pid > 0 && kill(pid, 0) == 0 && fs::exists("/proc/" + std::to_string(pid) + "/exe");
  }

  // Registers the driver (with `driverArgs`) and the service, then boots.
  void Boot(const std::string& driverArgs = "") {
    ServiceConfig driver;
    driver.name = u"kvemu";
    driver.type = SERVICE_KERNEL_DRIVER;
    driver.start = SERVICE_BOOT_START;
    driver.imagePath = Utf8ToUtf16(ProgramPath("kvemu") + driverArgs);
    ASSERT_TRUE(CreateService(driver));
    const auto r = kv::test::Run(Quote(ProgramPath("KVService")) + " -i");
    ASSERT_EQ(r.output, "Korvendrake Service installed\n");
    std::vector<std::string> log;
    ASSERT_EQ(BootSystem(&log), 0) << log.size();
    booted_ = true;
    ASSERT_TRUE(WaitServiceState(kService, SERVICE_RUNNING, 60000)) << ServiceLog();
  }
  std::string ServiceLog() {
    std::ifstream f(root_ + "/services/Korvendrake%20Service.log");
    return std::string(std::istreambuf_iterator<char>(f), {});
  }
  CommandResult Kvctl(const std::string& args) { return kv::test::Run(Quote(ProgramPath("kvctl")) + " " + args); }
  pid_t ServicePid() {
    SERVICE_STATUS s{};
    pid_t pid = 0;
    QueryServiceStatus(kService, &s, &pid);
    return pid;
  }
  // A tree of files and a zip of it made by 7z.
  fs::path MakeZip(const std::string& name, uint32_t seed, const std::string& switches = "-tzip") {
    const fs::path src = dir_ / (name + ".src");
    fs::create_directories(src / "docs");
    WriteFileBytes(src / "big.bin", PatternBytes((1u << 20) + 77, seed));
    WriteFileText(src / "docs" / "note.txt", "served " + std::to_string(seed) + "\n");
    const fs::path archive = dir_ / name;
    const auto r =
        kv::test::Run("cd " + Quote(src.string()) + " && 7z a " + switches + " " + Quote(archive.string()) + " .");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return archive;
  }
  void ExpectExtractsTo(const fs::path& image, const std::string& type, const fs::path& src) {
    const fs::path out = dir_ / (image.filename().string() + "." + type + ".out");
    auto r = kv::test::Run("7z x -y -t" + type + " -o" + Quote(out.string()) + " " + Quote(image.string()));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    r = kv::test::Run("diff -r " + Quote(src.string()) + " " + Quote(out.string()));
    EXPECT_EQ(r.exitCode, 0) << r.output;
  }

  TempDir dir_;
  std::string root_;
  bool booted_ = false;
  std::string savedTmp_;
};

TEST_F(RunningSystem, ConsoleTextsAndEventLog) {
  const std::string program = ProgramPath("KVService");
  EXPECT_EQ(kv::test::Run(Quote(program) + " -v").output,
            "Korvendrake Service Version 1.0\nThe service is not installed\n");
  EXPECT_EQ(kv::test::Run(Quote(program) + " -u").output, "Korvendrake Service is not installed\n");
  const auto direct = kv::test::Run(Quote(program));
  EXPECT_EQ(direct.exitCode, 1) << "outside the service manager the dispatcher cannot start";
  Boot();
  EXPECT_EQ(kv::test::Run(Quote(program) + " -V").output,
            "Korvendrake Service Version 1.0\nThe service is currently installed\n");
  EXPECT_EQ(kv::test::Run(Quote(program) + " -I").output, "Korvendrake Service is already installed\n");
  // Only members of the system users' group may use the command area and the pipe.
  for (const char* name : {kCommandAreaName, kAreaFreeEventName, kRequestReadyEventName, kReplyReadyEventName})
    EXPECT_EQ(fs::status(NamedObjectPath(name)).permissions(), fs::perms(0660)) << name;
  EXPECT_EQ(fs::status(root_ + "/pipes/KVServicePipeMsg").permissions(), fs::perms(0660));
  // A control code the service does not know is logged; a user code it accepts is not.
  SERVICE_STATUS s{};
  ASSERT_TRUE(ControlService(kService, 10, &s));
  EXPECT_EQ(s.dwCurrentState, SERVICE_RUNNING);
  ASSERT_TRUE(ControlService(kService, 200, &s));
  ASSERT_TRUE(ControlService(kService, SERVICE_CONTROL_STOP, &s));
  ASSERT_TRUE(WaitServiceState(kService, SERVICE_STOPPED, 60000));
  EXPECT_EQ(kv::test::Run(Quote(program) + " -u").output,
            "Korvendrake Service removed. (You must delete the file (" + program + ") yourself.)\n");
  std::vector<std::pair<uint32_t, uint16_t>> events;
  for (const auto& e : ReadEventLog(kService)) events.push_back({e.eventId, e.type});
  const std::vector<std::pair<uint32_t, uint16_t>> expected = {{100, EVENTLOG_INFORMATION_TYPE},
                                                               {105, EVENTLOG_INFORMATION_TYPE},
                                                               {106, EVENTLOG_ERROR_TYPE},
                                                               {108, EVENTLOG_INFORMATION_TYPE},
                                                               {101, EVENTLOG_INFORMATION_TYPE}};
  EXPECT_EQ(events, expected);
  EXPECT_EQ(ReadEventLog(kService).front().strings, std::vector<std::u16string>{kService});
  // Stopped before the teardown's shutdown: only the driver is left to stop.
}

TEST_F(RunningSystem, ArchiveAndImageMountedReadAndUnmountedThroughTheService) {
  const fs::path zip = MakeZip("photos.zip", 11);
  const fs::path iso = dir_ / "disc.iso";
  ASSERT_EQ(
      kv::test::Run("genisoimage -quiet -J -o " + Quote(iso.string()) + " " + Quote((dir_ / "photos.zip.src").string()))
          .exitCode,
      0);
  Boot();
  EXPECT_EQ(DriveLetters(), "D:") << "DiskCount missing: one drive";
  auto r = Kvctl("svc drive-count 3");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(DriveLetters(), "D:E:F:");
  r = Kvctl("svc mount-archive 0 " + Quote(zip.string()));
  EXPECT_EQ(r.output, "done\narrived: D:\nremoved: -\n");
  r = Kvctl("svc mount-image E: " + Quote(iso.string()));
  EXPECT_EQ(r.output, "done\narrived: E:\nremoved: -\n");
  std::string clientPath = "C:" + zip.string();
  std::replace(clientPath.begin(), clientPath.end(), '/', '\\');
  EXPECT_EQ(GetString(u"ImageName0"), Utf8ToUtf16(clientPath)) << "the client's path";
  r = Kvctl("svc mount-archive 0 " + Quote(iso.string()) + " --json");
  EXPECT_EQ(r.output, "{\"failed\":0,\"arrivedLetters\":0,\"removedLetters\":0}\n") << "a busy drive: nothing";

  if (access("/dev/fuse", R_OK | W_OK) == 0 && HaveTool("fusermount3")) {
    const fs::path mnt = dir_ / "mnt";
    fs::create_directories(mnt);
    const pid_t exporter = StartKvexport(mnt.string());
    std::error_code ec;
    const auto shown = [&](const char* letter) {
      const auto size = fs::file_size(mnt / letter, ec);
      return !ec && size > 0;
    };
    EXPECT_TRUE(WaitFor([&] { return shown("D") && shown("E"); }, seconds(20)));
    ExpectExtractsTo(mnt / "D", "udf", dir_ / "photos.zip.src");
    ExpectExtractsTo(mnt / "E", "iso", dir_ / "photos.zip.src");
    kill(exporter, SIGTERM);
    waitpid(exporter, nullptr, 0);
    kv::test::Run("fusermount3 -u -z " + Quote(mnt.string()) + " 2>/dev/null");
  } else {
    std::vector<uint8_t> image;
    ASSERT_TRUE(ReadWhole(0, &image));
    WriteFileBytes(dir_ / "d.img", image);
    ExpectExtractsTo(dir_ / "d.img", "udf", dir_ / "photos.zip.src");
  }

  r = Kvctl("svc unmount 0");
  EXPECT_EQ(r.output, "done\narrived: -\nremoved: D:\n");
  EXPECT_EQ(MediumSize(0), 0u);
  EXPECT_EQ(GetString(u"ImageName0"), u"");
  r = Kvctl("svc unmount 0");
  EXPECT_EQ(r.output, "done\narrived: -\nremoved: -\n") << "an empty drive: nothing";
  // 3 -> 1: the two highest go, the image with them.
  r = Kvctl("svc drive-count 1");
  EXPECT_EQ(r.output, "done\narrived: -\nremoved: E:\n");
  EXPECT_EQ(DriveLetters(), "D:");
  EXPECT_EQ(MediumSize(1), 0u);
  EXPECT_EQ(GetDword(u"DiskCount"), 1u);
  for (int k = 1; k < 23; ++k) EXPECT_EQ(GetString(u"ImageName" + Utf8ToUtf16(std::to_string(k))), u"") << k;
  r = Kvctl("svc drive-count 30");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(DriveLetters().size(), 23u * 2) << "30 is 23: D..Z";
  EXPECT_EQ(GetDword(u"DiskCount"), 23u);
  r = Kvctl("svc drive-count 0");
  EXPECT_EQ(DriveLetters(), "");
  EXPECT_EQ(GetDword(u"DiskCount"), 0u);
  EXPECT_EQ(Kvctl("svc drive-count -1").exitCode, 2);
  EXPECT_EQ(Kvctl("svc mount-archive 0 " + Quote((dir_ / "missing.zip").string())).exitCode, 1)
      << "no drive 0 any more, and no file";
}

// What the codec library does not open is tried as an MZP container: one made by `kvimage pack`
// mounts, with and without a password, as the bridge image of its folder.
TEST_F(RunningSystem, MzpContainersMountThroughTheService) {
  MakeZip("m.zip", 21);
  const fs::path src = dir_ / "m.zip.src";
  const std::string kvimage = Quote(ProgramPath("kvimage"));
  const fs::path plain = dir_ / "Plain.mzp", locked = dir_ / "Locked.mzp";
  ASSERT_EQ(kv::test::Run(kvimage + " pack " + Quote(src.string()) + " -o " + Quote(plain.string())).exitCode, 0);
  ASSERT_EQ(kv::test::Run(kvimage + " pack " + Quote(src.string()) + " -o " + Quote(locked.string()) +
                          " --password \"open sesame\" --method deflate")
                .exitCode,
            0);
  Boot();
  EXPECT_EQ(Kvctl("svc drive-count 2").exitCode, 0);
  auto r = Kvctl("svc mount-archive 0 " + Quote(plain.string()));
  EXPECT_EQ(r.output, "done\narrived: D:\nremoved: -\n");
  r = Kvctl("svc mount-archive 1 " + Quote(locked.string()));
  EXPECT_EQ(r.exitCode, 1) << "no password: " << r.output;
  r = Kvctl("svc mount-archive 1 " + Quote(locked.string()) + " --password wrong");
  EXPECT_EQ(r.exitCode, 1) << "wrong password: " << r.output;
  r = Kvctl("svc mount-archive 1 " + Quote(locked.string()) + " --password \"open sesame\"");
  EXPECT_EQ(r.output, "done\narrived: E:\nremoved: -\n");
  for (int drive : {0, 1}) {
    std::vector<uint8_t> image;
    ASSERT_TRUE(ReadWhole(drive, &image));
    const fs::path file = dir_ / ("mzp" + std::to_string(drive) + ".img");
    WriteFileBytes(file, image);
    ExpectExtractsTo(file, "udf", src);
    ExpectExtractsTo(file, "iso", src);
  }
  EXPECT_EQ(Kvctl("svc unmount 0").output, "done\narrived: -\nremoved: D:\n");
  EXPECT_EQ(Kvctl("svc unmount 1").output, "done\narrived: -\nremoved: E:\n");
}

TEST_F(RunningSystem, LettersComeFromTheConfigurationOrTheFirstFreeLetter) {
  // Drive 0: C is the system's; drive 1: X; drive 2: X again (taken); drive 3: not a letter.
  ASSERT_TRUE(SetString(u"DriveLetter", u"CXX1"));
  Boot();
  ASSERT_TRUE(OccupyDriveLetter('E', true));
  EXPECT_EQ(Kvctl("svc drive-count 4").exitCode, 0);
  std::string target;
  std::map<int, char> letterOf;
  for (char l = 'D'; l <= 'Z'; ++l)
    if (QueryDosDevice(std::string(1, l) + ":", &target) && target.rfind("\\Device\\KVEmu\\KVEmuCd", 0) == 0)
      letterOf[std::stoi(target.substr(21))] = l;
  EXPECT_EQ(letterOf, (std::map<int, char>{{0, 'D'}, {1, 'X'}, {2, 'F'}, {3, 'G'}}))
      << "E: is occupied, so the first free letter after D is F";
  // A new configured letter is applied; the drive's own letter stays its own.
  ASSERT_TRUE(SetString(u"DriveLetter", u"RXX1"));
  auto r = Kvctl("svc letter 0");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(QueryDosDevice("R:", &target) && target == "\\Device\\KVEmu\\KVEmuCd0") << target;
  EXPECT_FALSE(QueryDosDevice("D:", &target));
  r = Kvctl("svc letter 1");
  EXPECT_TRUE(QueryDosDevice("X:", &target) && target == "\\Device\\KVEmu\\KVEmuCd1") << "X stays X";
  EXPECT_EQ(Kvctl("svc letter 9").exitCode, 1) << "drive 9 does not exist";
  r = Kvctl("svc language 1031");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(GetDword(u"Language"), 1031u);
  OccupyDriveLetter('E', false);
}

TEST_F(RunningSystem, BadCommandsConcurrentClientsAndADeadHolder) {
  Boot();
  manager::ServiceClient client;
  std::string error;
  ASSERT_TRUE(client.Open(&error)) << error;
  ServiceReply reply{};
  for (const auto& record : {manager::SimpleRecord(9, 0), manager::SimpleRecord(kCommandUnmount, 23),
                             manager::SimpleRecord(kCommandSetDriveCount, -5)}) {
    reply = {};
    ASSERT_TRUE(client.Send(record, &reply, &error)) << error;
    EXPECT_EQ(reply.Failed, 1u);
  }
  EXPECT_EQ(DriveLetters(), "D:") << "nothing changed";

  // Two processes send commands at the same time: each gets its own reply.
  std::vector<pid_t> children;
  for (int c = 0; c < 2; ++c) {
    const pid_t pid = fork();
    if (pid == 0) {
      manager::ServiceClient mine;
      std::string e;
      int bad = 0;
      for (int i = 0; i < 25 && mine.Open(&e); ++i) {
        ServiceReply rep{};
        const bool failing = (i + c) % 2 == 0;
        if (!mine.Send(manager::SimpleRecord(kCommandUnmount, failing ? 30 : 0), &rep, &e) ||
            rep.Failed != (failing ? 1u : 0u))
          ++bad;
      }
      _exit(bad);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "wrong replies: " << WEXITSTATUS(st);
  }

  // A client killed while it holds the area: the next client takes it over.
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    int e = 0;
    auto area = NamedMapping::Open(kCommandAreaName, &e);
    auto free = NamedEvent::Open(kAreaFreeEventName, &e);
    if (!area || !free || !free->Wait(10000)) _exit(1);
    const uint32_t self = static_cast<uint32_t>(getpid());
    std::memcpy(area->data() + kAreaHolderOffset, &self, 4);
    (void)!write(pipeFds[1], "x", 1);
    pause();
    _exit(0);
  }
  char byte;
  ASSERT_EQ(read(pipeFds[0], &byte, 1), 1);
  kill(holder, SIGKILL);
  // Dead but not reaped: a dead holder all the same.
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(holder), &info, WEXITED | WNOWAIT), 0);
  reply = {};
  ASSERT_TRUE(client.Send(manager::SimpleRecord(kCommandUnmount, 0), &reply, &error)) << error;
  EXPECT_EQ(reply.Failed, 0u);
  waitpid(holder, nullptr, 0);
  close(pipeFds[0]);
  close(pipeFds[1]);

  // Without the driver a drive count cannot be set, and the configured one stays.
  const DWORD before = GetDword(u"DiskCount");
  SERVICE_STATUS s{};
  ASSERT_TRUE(ControlService(u"kvemu", SERVICE_CONTROL_STOP, &s));
  reply = {};
  ASSERT_TRUE(client.Send(manager::SimpleRecord(kCommandSetDriveCount, 2), &reply, &error)) << error;
  EXPECT_EQ(reply.Failed, 1u);
  EXPECT_EQ(GetDword(u"DiskCount"), before);
}

TEST_F(RunningSystem, KilledServiceRestartsCleanAndStopUnmountsArchives) {
  Boot(" --test-channel-wait-ms 1");
  const fs::path zip = MakeZip("k.zip", 21);
  ASSERT_EQ(Kvctl("svc mount-archive 0 " + Quote(zip.string())).exitCode, 0);
  std::vector<uint8_t> image;
  ASSERT_TRUE(ReadWhole(0, &image)) << "the items are extracted into the store";
  EXPECT_FALSE(FolderEntries((dir_ / "tmp" / "$Korvendrake$").string()).empty());
  const pid_t first = ServicePid();
  ASSERT_GT(first, 0);
  kill(first, SIGKILL);
  ASSERT_TRUE(WaitServiceState(kService, SERVICE_STOPPED, 10000));
  // A client of the dead service gives up after its wait instead of waiting for ever.
  manager::ServiceClient orphan;
  std::string error;
  ASSERT_TRUE(orphan.Open(&error)) << "the killed service's objects are still there";
  orphan.SetWaitForTest(100);
  ServiceReply reply{};
  EXPECT_FALSE(orphan.Send(manager::SimpleRecord(kCommandUnmount, 0), &reply, &error));
  EXPECT_EQ(error, "the service stopped before it answered");
  // The drive's server died with it: the read fails and the drive is empty.
  Handle h = CreateFile("\\\\.\\KVEmuDev0");
  std::vector<uint8_t> buf(4 * kSectorSize);
  uint32_t n = 0;
  EXPECT_FALSE(ReadFile(h, 40 * kSectorSize, buf.data(), static_cast<uint32_t>(buf.size()), &n));
  EXPECT_EQ(MediumSize(0), 0u);
  h.Close();

  ASSERT_TRUE(StartService(kService)) << GetLastError();
  ASSERT_TRUE(WaitServiceState(kService, SERVICE_RUNNING, 60000)) << ServiceLog();
  EXPECT_TRUE(FolderEntries((dir_ / "tmp" / "$Korvendrake$").string()).empty()) << "the start cleaned the store";
  auto r = Kvctl("svc mount-archive 0 " + Quote(zip.string()));
  EXPECT_EQ(r.output, "done\narrived: D:\nremoved: -\n");
  std::vector<uint8_t> again;
  ASSERT_TRUE(ReadWhole(0, &again));
  WriteFileBytes(dir_ / "again.img", again);
  ExpectExtractsTo(dir_ / "again.img", "udf", dir_ / "k.zip.src");

  // A stop with the archive mounted takes it out and forgets it.
  SERVICE_STATUS s{};
  ASSERT_TRUE(ControlService(kService, SERVICE_CONTROL_STOP, &s));
  ASSERT_TRUE(WaitServiceState(kService, SERVICE_STOPPED, 60000));
  EXPECT_EQ(MediumSize(0), 0u);
  EXPECT_EQ(GetString(u"ImageName0"), u"");
  ASSERT_TRUE(StartService(kService));
  ASSERT_TRUE(WaitServiceState(kService, SERVICE_RUNNING, 60000));
  EXPECT_EQ(DriveLetters(), "D:");
}

TEST_F(RunningSystem, ReadErrorsReachThePipeAndAStopOrKillDuringAnExtraction) {
  Boot();
  // A stored item with one byte changed: its CRC fails when it is extracted.
  const fs::path src = dir_ / "bad.src";
  fs::create_directories(src);
  WriteFileBytes(src / "item.bin", PatternBytes(200000, 5));
  const fs::path zip = dir_ / "bad.zip";
  ASSERT_EQ(kv::test::Run("cd " + Quote(src.string()) + " && 7z a -tzip -mx=0 " + Quote(zip.string()) + " .").exitCode,
            0);
  auto bytes = ReadFileBytes(zip);
  bytes[100000] ^= 0xFF;
  WriteFileBytes(zip, bytes);

  const std::string out = (dir_ / "messages.out").string();
  const std::string err = (dir_ / "messages.err").string();
  kv::test::Run(Quote(ProgramPath("kvctl")) + " svc messages --count 1 >" + Quote(out) + " 2>" + Quote(err) + " &");
  ASSERT_TRUE(WaitFor([&] { return fs::exists(err) && fs::file_size(err) > 0; }, seconds(10)));
  ASSERT_EQ(Kvctl("svc mount-archive 0 " + Quote(zip.string())).exitCode, 0);
  std::vector<uint8_t> image;
  ReadWhole(0, &image);
  ASSERT_TRUE(WaitFor([&] { return fs::exists(out) && fs::file_size(out) > 0; }, seconds(20)));
  std::ifstream f(out);
  std::string heading, details;
  std::getline(f, heading);
  std::getline(f, details);
  EXPECT_NE(heading.find("item.bin"), std::string::npos) << heading;
  EXPECT_EQ(details.rfind("  ", 0), 0u) << "the details after ':::' on their own line: " << details;

  // Enough solid data that a read of the tail waits for its extraction.
  const fs::path slow = dir_ / "slow.src";
  fs::create_directories(slow);
  for (int i = 0; i < 3; ++i) WriteFileBytes(slow / ("part" + std::to_string(i)), PatternBytes(4u << 20, 40 + i));
  const fs::path archive = dir_ / "slow.7z";
  ASSERT_EQ(kv::test::Run("cd " + Quote(slow.string()) + " && 7z a -t7z -ms=on -mx=1 " + Quote(archive.string()) + " .")
                .exitCode,
            0);
  ASSERT_EQ(Kvctl("svc unmount 0").exitCode, 0);
  ASSERT_EQ(Kvctl("svc mount-archive 0 " + Quote(archive.string())).exitCode, 0);
  const uint64_t size = MediumSize(0);
  std::atomic<bool> readDone{false};
  std::thread reader([&] {
    Handle h = CreateFile("\\\\.\\KVEmuDev0");
    std::vector<uint8_t> buf(65536);
    uint32_t n = 0;
    ReadFile(h, size - buf.size(), buf.data(), static_cast<uint32_t>(buf.size()), &n);
    readDone = true;
  });
  SERVICE_STATUS s{};
  ASSERT_TRUE(ControlService(kService, SERVICE_CONTROL_STOP, &s));
  EXPECT_TRUE(WaitServiceState(kService, SERVICE_STOPPED, 60000));
  reader.join();
  EXPECT_TRUE(readDone);
  EXPECT_EQ(MediumSize(0), 0u);

  // Killed while a read waits on the extraction: the read ends, the drive is empty, and the
  // service starts again with a clean store.
  ASSERT_TRUE(StartService(kService));
  ASSERT_TRUE(WaitServiceState(kService, SERVICE_RUNNING, 60000)) << ServiceLog();
  ASSERT_EQ(Kvctl("svc mount-archive 0 " + Quote(archive.string())).exitCode, 0);
  readDone = false;
  std::thread second([&] {
    Handle h = CreateFile("\\\\.\\KVEmuDev0");
    std::vector<uint8_t> buf(65536);
    uint32_t n = 0;
    ReadFile(h, size - buf.size(), buf.data(), static_cast<uint32_t>(buf.size()), &n);
    readDone = true;
  });
  kill(ServicePid(), SIGKILL);
  second.join();
  EXPECT_TRUE(readDone);
  EXPECT_TRUE(WaitFor([] { return MediumSize(0) == 0; }, seconds(30)));
  ASSERT_TRUE(WaitServiceState(kService, SERVICE_STOPPED, 10000));
  ASSERT_TRUE(StartService(kService));
  ASSERT_TRUE(WaitServiceState(kService, SERVICE_RUNNING, 60000)) << ServiceLog();
  EXPECT_TRUE(FolderEntries((dir_ / "tmp" / "$Korvendrake$").string()).empty());
  EXPECT_EQ(Kvctl("svc mount-archive 0 " + Quote(archive.string())).exitCode, 0);
}

}  // namespace
}  // namespace kv::test
