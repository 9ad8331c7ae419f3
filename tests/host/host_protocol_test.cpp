// The host's protocol with the test driver: handles, pending reads, vanished clients, bad
// frames, DOS device names, volume locks, the broadcast and the life of the host process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "common/ioctl.h"
#include "platform/devio.h"
#include "platform/devio_protocol.h"
#include "tests/fixtures/test_support.h"
#include "tests/host/host_process.h"
#include "tests/host/test_driver.h"

namespace kv::test {
namespace {

using namespace kv::platform;

class HostProtocol : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = (dir_ / "root").string();
    host_ = std::make_unique<HostProcess>(ProgramPath("kvemu_test_host"), root_,
                                          std::vector<std::string>{"--occupy", "D:"});
    ASSERT_TRUE(host_->WaitReady()) << host_->Log();
  }
  void TearDown() override {
    if (host_) {
      EXPECT_EQ(host_->Stop(SIGTERM), 0) << host_->Log();
      EXPECT_TRUE(FolderEntries(root_).empty());
    }
  }

  // A raw connection for frames the device I/O API would never send.
  static int RawConnect() {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = HostSocketPath();
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
  }
  // True when the host closed the connection (rather than answering or timing out).
  static bool HostHungUp(int fd) {
    char b[64];
    ssize_t n;
    while ((n = recv(fd, b, sizeof b, 0)) > 0) {
    }
    return n == 0;
  }
  static bool ReadReply(int fd, ReplyHeader* r) {
    size_t got = 0;
    while (got < sizeof *r) {
      const ssize_t n = recv(fd, reinterpret_cast<char*>(r) + got, sizeof *r - got, 0);
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    return true;
  }
  // True once TestDev0 holds `count` reads back (within ten seconds).
  static bool WaitHeld(uint32_t count) {
    Handle h = CreateFile("\\\\.\\TestDev0");
    for (int i = 0; h && i < 10000; ++i) {
      uint32_t held = 0;
      uint32_t n = 0;
      if (DeviceIoControl(h, IOCTL_TEST_HELD, nullptr, 0, &held, sizeof held, &n) && n == sizeof held && held == count)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  void ExpectStillServing() {
    Handle h = CreateFile("\\\\.\\TestDev1");
    ASSERT_TRUE(h) << GetLastError();
    std::vector<uint8_t> buf(4096);
    uint32_t n = 0;
    ASSERT_TRUE(ReadFile(h, 8192, buf.data(), 4096, &n));
    EXPECT_EQ(n, 4096u);
    EXPECT_EQ(buf[100], PatternByte(8192 + 100));
  }

  TempDir dir_;
  std::string root_;
  std::unique_ptr<HostProcess> host_;
};

TEST_F(HostProtocol, OpenReadControlAndNames) {
  Handle missing = CreateFile("\\\\.\\KVEmuDev9");
  EXPECT_FALSE(missing);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(CreateFile("TestDev0"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(CreateFile("\\\\.\\C:"));  // present, but no device of ours
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  Handle h = CreateFile("\\\\.\\TestDev0");
  ASSERT_TRUE(h) << GetLastError();
  std::vector<uint8_t> buf(1 << 20);
  uint32_t n = 0;
  ASSERT_TRUE(ReadFile(h, 3 * 2048, buf.data(), static_cast<uint32_t>(buf.size()), &n));
  ASSERT_EQ(n, buf.size());
  for (size_t i = 0; i < buf.size(); i += 4093) ASSERT_EQ(buf[i], PatternByte(3 * 2048 + i)) << i;

  const uint8_t in[5] = {1, 2, 3, 4, 5};
  uint8_t out[3] = {};
  uint32_t returned = 99;
  ASSERT_TRUE(DeviceIoControl(h, IOCTL_TEST_ECHO, in, 5, out, 3, &returned));
  EXPECT_EQ(returned, 3u);
  EXPECT_EQ(out[0], 5);
  EXPECT_EQ(out[2], 3);

  // The requestor is the real peer of the socket.
  uint32_t who[3] = {};
  ASSERT_TRUE(DeviceIoControl(h, IOCTL_TEST_WHO, nullptr, 0, who, sizeof who, &returned));
  EXPECT_EQ(who[0], getuid());
  EXPECT_EQ(who[2], static_cast<uint32_t>(getpid()));
  EXPECT_FALSE(DeviceIoControl(h, IOCTL_TEST_WHO, nullptr, 0, who, 4, &returned));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(GetLastNtStatus(), STATUS_BUFFER_TOO_SMALL);
  EXPECT_FALSE(DeviceIoControl(h, 0x12345678, nullptr, 0, nullptr, 0, &returned));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);

  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(ReadFile(h, 0, buf.data(), 2048, &n));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// The host keeps the buffers of a handle's replies for its next reads: every size, larger or
// smaller than the one before, must come back whole and with its own bytes.
TEST_F(HostProtocol, ReadsOfChangingSizesOnOneHandle) {
  Handle h = CreateFile("\\\\.\\TestDev0");
  ASSERT_TRUE(h) << GetLastError();
  std::vector<uint8_t> buf((1 << 20) + 1);
  uint64_t at = 0;
  for (uint32_t size : {65536u, 2048u, 131072u, 4096u, 65536u, 1u << 20, 2048u, 0u, 65536u, 32768u}) {
    std::fill(buf.begin(), buf.end(), uint8_t{0xA5});
    uint32_t n = 99;
    ASSERT_TRUE(ReadFile(h, at, buf.data(), size, &n)) << size;
    ASSERT_EQ(n, size);
    for (uint32_t i = 0; i < size; ++i) ASSERT_EQ(buf[i], PatternByte(at + i)) << size << " at " << i;
    EXPECT_EQ(buf[size], 0xA5) << "written past the reply";
    at += 7 * 2048;
  }
}

TEST_F(HostProtocol, PendingReadDoesNotBlockOtherRequests) {
  Handle h = CreateFile("\\\\.\\TestDev0");
  ASSERT_TRUE(h);
  std::atomic<bool> done{false};
  std::vector<uint8_t> held(2048);
  std::thread reader([&] {
    uint32_t n = 0;
    EXPECT_TRUE(ReadFile(h, kHeldReadOffset, held.data(), 2048, &n));
    EXPECT_EQ(n, 2048u);
    done = true;
  });
  ASSERT_TRUE(WaitHeld(1));
  // Same handle, same connection: other requests are answered while the read waits.
  for (int i = 0; i < 20; ++i) {
    std::vector<uint8_t> buf(2048);
    uint32_t n = 0;
    ASSERT_TRUE(ReadFile(h, 2048 * i, buf.data(), 2048, &n));
    EXPECT_EQ(buf[7], PatternByte(2048 * i + 7));
  }
  EXPECT_FALSE(done);
  uint32_t n = 0;
  ASSERT_TRUE(DeviceIoControl(h, IOCTL_TEST_RELEASE, nullptr, 0, nullptr, 0, &n));
  reader.join();
  EXPECT_TRUE(done);
  EXPECT_EQ(held[1], PatternByte(kHeldReadOffset + 1));
}

TEST_F(HostProtocol, ClientKilledWhileItsReadIsQueued) {
  const pid_t child = fork();
  if (child == 0) {
    // Reads in the memory it shares with the host, and one through the socket.
    Handle h = CreateFile("\\\\.\\TestDev0");
    std::vector<std::thread> readers;
    for (uint32_t size : {2048u, 1u << 20, kMaxSharedRegion, 4096u})
      readers.emplace_back([&h, size] {
        SharedRead r;
        ReadFileShared(h, kHeldReadOffset, size, &r);  // never returns: killed
      });
    for (auto& t : readers) t.join();
    _exit(0);
  }
  const bool queued = WaitHeld(4);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  ASSERT_TRUE(queued);
  // The orphaned reads are completed once, into memory the host still holds, their replies dropped;
  // the region goes with the last of them (the pool counts are checked at unload).
  Handle h = CreateFile("\\\\.\\TestDev0");
  uint32_t n;
  ASSERT_TRUE(DeviceIoControl(h, IOCTL_TEST_RELEASE, nullptr, 0, nullptr, 0, &n));
  EXPECT_TRUE(WaitHeld(0));
  ExpectStillServing();
}

// Reads land in memory the client shares with the host: leases that take the whole region make
// the next read come through the socket, and every byte is where it belongs either way.
TEST_F(HostProtocol, SharedReadsAndTheirFallback) {
  Handle h = CreateFile("\\\\.\\TestDev0");
  ASSERT_TRUE(h);
  std::vector<SharedRead> leases(kMaxSharedRegion / (1u << 20) + 1);
  for (size_t i = 0; i < leases.size(); ++i) {
    const uint64_t at = i * 3 * 2048;
    ASSERT_TRUE(ReadFileShared(h, at, 1u << 20, &leases[i])) << i;
    ASSERT_EQ(leases[i].size(), 1u << 20);
  }
  // The region is all taken, so the last one is a copy, not a range of the region.
  const uint8_t* regionStart = leases[0].data();
  const uint8_t* last = leases.back().data();
  EXPECT_TRUE(last < regionStart || last >= regionStart + kMaxSharedRegion);
  for (size_t i = 0; i < leases.size(); ++i)
    for (uint32_t j = 0; j < leases[i].size(); j += 4093)
      ASSERT_EQ(leases[i].data()[j], PatternByte(i * 3 * 2048 + j)) << i << " at " << j;
  // Given back, a range serves a new read (and a plain ReadFile) again.
  leases[3].Release();
  SharedRead again;
  ASSERT_TRUE(ReadFileShared(h, 4096, 2048, &again));
  EXPECT_EQ(again.data(), regionStart + 3 * (1u << 20));
  EXPECT_EQ(again.data()[5], PatternByte(4096 + 5));
  std::vector<uint8_t> buf(2048);
  uint32_t n = 0;
  ASSERT_TRUE(ReadFile(h, 6144, buf.data(), 2048, &n));
  EXPECT_EQ(buf[9], PatternByte(6144 + 9));
}

// The region as a raw client sees it: sealed, given once, and only ranges inside it are read into.
TEST_F(HostProtocol, SharedRegionRequestsAreChecked) {
  const int fd = RawConnect();
  uint32_t id = 0;
  auto call = [&](RequestKind kind, uint32_t handle, uint64_t offset, uint32_t length, uint32_t code,
                  const std::string& payload, int* passed) {
    RequestHeader q{};
    q.Magic = kRequestMagic;
    q.Kind = static_cast<uint32_t>(kind);
    q.RequestId = ++id;
    q.Handle = handle;
    q.Offset = offset;
    q.OutputLength = length;
    q.Code = code;
    auto frame = EncodeRequest(q, payload.data(), payload.size());
    EXPECT_EQ(send(fd, frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
    ReplyHeader r{};
    iovec iov{&r, sizeof r};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    EXPECT_EQ(recvmsg(fd, &m, MSG_WAITALL), static_cast<ssize_t>(sizeof r));
    cmsghdr* cm = CMSG_FIRSTHDR(&m);
    if (passed) *passed = -1;
    if (cm && cm->cmsg_type == SCM_RIGHTS && passed) std::memcpy(passed, CMSG_DATA(cm), sizeof(int));
    EXPECT_EQ(r.RequestId, id);
    EXPECT_EQ(r.PayloadLength, 0u);
    return r;
  };
  const uint32_t handle = call(RequestKind::Open, 0, 0, 0, 0, "\\\\.\\TestDev0", nullptr).Value;
  ASSERT_NE(handle, 0u);
  constexpr uint32_t kSize = 1u << 20;
  EXPECT_EQ(call(RequestKind::ReadShared, handle, 0, 2048, 0, {}, nullptr).Status, STATUS_INVALID_PARAMETER)
      << "no region yet";
  EXPECT_EQ(call(RequestKind::ShareMemory, 0, 0, 0, 0, {}, nullptr).Status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(call(RequestKind::ShareMemory, 0, 0, 1000, 0, {}, nullptr).Status, STATUS_INVALID_PARAMETER);
  int memory = -1;
  ASSERT_EQ(call(RequestKind::ShareMemory, 0, 0, kSize, 0, {}, &memory).Status, STATUS_SUCCESS);
  ASSERT_GE(memory, 0);
  EXPECT_NE(ftruncate(memory, 4096), 0) << "the region can be shrunk under the drive";
  EXPECT_NE(ftruncate(memory, 2 * kSize), 0);
  EXPECT_EQ(call(RequestKind::ShareMemory, 0, 0, kSize, 0, {}, nullptr).Status, STATUS_INVALID_DEVICE_REQUEST);
  auto* view = static_cast<uint8_t*>(mmap(nullptr, kSize, PROT_READ, MAP_SHARED, memory, 0));
  ASSERT_NE(view, MAP_FAILED);
  struct Case {
    uint32_t code, length;
    NTSTATUS status;
  };
  for (const Case& c :
       {Case{0, 4096, STATUS_SUCCESS}, Case{kSize - 2048, 2048, STATUS_SUCCESS},
        Case{kSize - 2048, 4096, STATUS_INVALID_PARAMETER}, Case{kSize, 2048, STATUS_INVALID_PARAMETER},
        Case{0xFFFFF800u, 4096, STATUS_INVALID_PARAMETER}, Case{4096, kSize, STATUS_INVALID_PARAMETER}}) {
    const ReplyHeader r = call(RequestKind::ReadShared, handle, 8192, c.length, c.code, {}, nullptr);
    EXPECT_EQ(r.Status, c.status) << c.code << "+" << c.length;
    if (r.Status != STATUS_SUCCESS) continue;
    EXPECT_EQ(r.Information, c.length);
    EXPECT_EQ(view[c.code + 1], PatternByte(8192 + 1));
    EXPECT_EQ(view[c.code + c.length - 1], PatternByte(8192 + c.length - 1));
  }
  EXPECT_EQ(call(RequestKind::ReadShared, handle + 1, 0, 2048, 0, {}, nullptr).Status, STATUS_INVALID_HANDLE);
  munmap(view, kSize);
  close(memory);
  close(fd);
  ExpectStillServing();
}

TEST_F(HostProtocol, BadFramesDropOnlyTheirSender) {
  Handle other = CreateFile("\\\\.\\TestDev1");
  ASSERT_TRUE(other);
  RequestHeader h{};
  h.Magic = kRequestMagic;
  h.Kind = static_cast<uint32_t>(RequestKind::Read);
  h.OutputLength = 2048;
  {
    // Unknown handle and unknown device: error replies, the connection stays.
    int fd = RawConnect();
    h.Handle = 77;
    h.RequestId = 5;
    ASSERT_EQ(send(fd, &h, sizeof h, 0), static_cast<ssize_t>(sizeof h));
    ReplyHeader r;
    ASSERT_TRUE(ReadReply(fd, &r));
    EXPECT_EQ(r.RequestId, 5u);
    EXPECT_EQ(r.Status, STATUS_INVALID_HANDLE);
    RequestHeader c = h;
    c.Kind = static_cast<uint32_t>(RequestKind::Close);
    c.RequestId = 6;
    ASSERT_EQ(send(fd, &c, sizeof c, 0), static_cast<ssize_t>(sizeof c));
    ASSERT_TRUE(ReadReply(fd, &r));
    EXPECT_EQ(r.Status, STATUS_INVALID_HANDLE);
    close(fd);
  }
  auto expectDropped = [&](RequestHeader bad, const char* what) {
    int fd = RawConnect();
    ASSERT_EQ(send(fd, &bad, sizeof bad, 0), static_cast<ssize_t>(sizeof bad));
    EXPECT_TRUE(HostHungUp(fd)) << what;
    close(fd);
  };
  RequestHeader bad = h;
  bad.Magic = 0x11111111;
  expectDropped(bad, "magic");
  bad = h;
  bad.PayloadLength = kMaxRequestPayload + 1;
  expectDropped(bad, "payload over the cap");
  bad = h;
  bad.OutputLength = kMaxTransfer + 1;
  expectDropped(bad, "transfer over the cap");
  bad = h;
  bad.Kind = 999;
  expectDropped(bad, "kind");
  bad = h;
  bad.Reserved = 1;
  expectDropped(bad, "reserved");
  {
    // Half a frame, then gone.
    int fd = RawConnect();
    ASSERT_EQ(send(fd, &h, 17, 0), 17);
    close(fd);
  }
  {
    // A frame announcing a payload that never comes, then gone.
    int fd = RawConnect();
    RequestHeader open = h;
    open.Kind = static_cast<uint32_t>(RequestKind::Open);
    open.PayloadLength = 1000;
    ASSERT_EQ(send(fd, &open, sizeof open, 0), static_cast<ssize_t>(sizeof open));
    ASSERT_EQ(send(fd, "\\\\.\\", 4, 0), 4);
    close(fd);
  }
  // A client that sends requests but never reads replies does not stall the others.
  {
    int fd = RawConnect();
    Handle probe;
    RequestHeader open{};
    open.Magic = kRequestMagic;
    open.Kind = static_cast<uint32_t>(RequestKind::Open);
    open.RequestId = 1;
    const std::string path = "\\\\.\\TestDev0";
    auto frame = EncodeRequest(open, path.data(), path.size());
    ASSERT_EQ(send(fd, frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
    ReplyHeader r;
    ASSERT_TRUE(ReadReply(fd, &r));
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    RequestHeader rd = h;
    rd.Handle = r.Value;
    rd.OutputLength = kMaxTransfer;
    timeval tv{0, 200000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    for (int i = 0; i < 200; ++i)
      if (send(fd, &rd, sizeof rd, MSG_NOSIGNAL) <= 0) break;
    ExpectStillServing();
    close(fd);
  }
  ExpectStillServing();
  std::vector<uint8_t> buf(2048);
  uint32_t n;
  EXPECT_TRUE(ReadFile(other, 0, buf.data(), 2048, &n));
}

TEST_F(HostProtocol, DosDeviceNamesLettersAndBroadcast) {
  // C: is always present; D: was declared occupied on the command line.
  EXPECT_EQ(GetLogicalDrives(), (1u << 2) | (1u << 3));
  std::string target;
  ASSERT_TRUE(QueryDosDevice("C:", &target));
  EXPECT_EQ(target, "\\Device\\HarddiskVolume1");
  ASSERT_TRUE(QueryDosDevice("TestDev1", &target));
  EXPECT_EQ(target, "\\Device\\KVTest\\Disk1");
  std::u16string wide;
  ASSERT_TRUE(QueryDosDevice(u"TestDev1", &wide));
  EXPECT_EQ(wide, u"\\Device\\KVTest\\Disk1");
  EXPECT_TRUE(CreateFile(u"\\\\.\\TestDev1"));
  EXPECT_FALSE(QueryDosDevice("Q:", &target));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  DeviceChangeSubscription events;
  ASSERT_TRUE(events.Open());

  EXPECT_FALSE(DefineDosDevice(DDD_RAW_TARGET_PATH, "D:", "\\Device\\KVTest\\Disk1"));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(DefineDosDevice(0, "F:", "C:\\somewhere"));
  ASSERT_TRUE(DefineDosDevice(DDD_RAW_TARGET_PATH, "f:", "\\Device\\KVTest\\Disk1"));
  DeviceChange change;
  ASSERT_TRUE(events.Next(&change, 5000));
  EXPECT_EQ(change.eventType, DBT_DEVICEARRIVAL);
  EXPECT_EQ(change.unitMask, 1u << 5);
  EXPECT_EQ(GetLogicalDrives(), (1u << 2) | (1u << 3) | (1u << 5));
  {
    Handle f = CreateFile("\\\\.\\F:");
    ASSERT_TRUE(f);
    std::vector<uint8_t> buf(2048);
    uint32_t n;
    ASSERT_TRUE(ReadFile(f, 2048, buf.data(), 2048, &n));
    EXPECT_EQ(buf[9], PatternByte(2048 + 9));
  }
  EXPECT_FALSE(DefineDosDevice(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, "F:", "\\Device\\Other"));
  ASSERT_TRUE(DefineDosDevice(DDD_REMOVE_DEFINITION, "F:", ""));
  ASSERT_TRUE(events.Next(&change, 5000));
  EXPECT_EQ(change.eventType, DBT_DEVICEREMOVECOMPLETE);
  EXPECT_FALSE(CreateFile("\\\\.\\F:"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(DefineDosDevice(DDD_REMOVE_DEFINITION, "C:", ""));

  // The driver's own letter codes are announced too.
  Handle h = CreateFile("\\\\.\\TestDev0");
  const char16_t letter = u'G';
  uint8_t out[4];
  uint32_t n;
  ASSERT_TRUE(DeviceIoControl(h, IOCTL_CDEMU_CREATE_DRIVE_LETTER, &letter, 2, out, 4, &n));
  ASSERT_TRUE(events.Next(&change, 5000));
  EXPECT_EQ(change.eventType, DBT_DEVICEARRIVAL);
  EXPECT_EQ(change.unitMask, 1u << 6);
  ASSERT_TRUE(DeviceIoControl(h, IOCTL_CDEMU_DELETE_DRIVE_LETTER, nullptr, 0, out, 4, &n));
  ASSERT_TRUE(events.Next(&change, 5000));
  EXPECT_EQ(change.eventType, DBT_DEVICEREMOVECOMPLETE);
  EXPECT_EQ(change.unitMask, 1u << 6);

  ASSERT_TRUE(BroadcastDeviceChange(DBT_DEVICEARRIVAL, 1u << 20));
  ASSERT_TRUE(events.Next(&change, 5000));
  EXPECT_EQ(change.unitMask, 1u << 20);

  ASSERT_TRUE(OccupyDriveLetter('K', true));
  EXPECT_TRUE(GetLogicalDrives() & (1u << 10));
  ASSERT_TRUE(OccupyDriveLetter('K', false));
  EXPECT_FALSE(GetLogicalDrives() & (1u << 10));
  EXPECT_FALSE(OccupyDriveLetter('C', false));
}

TEST_F(HostProtocol, VolumeLockKeepsOtherHandlesOut) {
  ASSERT_TRUE(DefineDosDevice(DDD_RAW_TARGET_PATH, "E:", "\\Device\\KVTest\\Disk0"));
  Handle a = CreateFile("\\\\.\\E:");
  Handle b = CreateFile("\\\\.\\E:");
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(LockVolume(a));
  EXPECT_FALSE(LockVolume(b));
  std::vector<uint8_t> buf(2048);
  uint32_t n;
  EXPECT_TRUE(ReadFile(a, 0, buf.data(), 2048, &n));
  EXPECT_FALSE(ReadFile(b, 0, buf.data(), 2048, &n));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(CreateFile("\\\\.\\E:"));
  EXPECT_TRUE(CreateFile("\\\\.\\TestDev0"));  // the control device stays reachable
  EXPECT_FALSE(DismountVolume(b));
  EXPECT_TRUE(DismountVolume(a));
  EXPECT_FALSE(UnlockVolume(b));
  ASSERT_TRUE(UnlockVolume(a));
  EXPECT_TRUE(ReadFile(b, 0, buf.data(), 2048, &n));
  // Closing a handle gives its lock up.
  ASSERT_TRUE(LockVolume(b));
  b.Close();
  EXPECT_TRUE(LockVolume(a));
}

TEST_F(HostProtocol, ManyClientsAtOnce) {
  std::vector<std::thread> clients;
  std::atomic<int> good{0};
  for (int t = 0; t < 8; ++t) {
    clients.emplace_back([t, &good] {
      Handle h = CreateFile("\\\\.\\TestDev" + std::to_string(t % 2));
      std::vector<uint8_t> buf(65536);
      for (int i = 0; i < 50; ++i) {
        uint32_t n = 0;
        const uint64_t at = (uint64_t(t) * 50 + i) * 65536;
        if (!ReadFile(h, at, buf.data(), 65536, &n) || n != 65536 || buf[321] != PatternByte(at + 321)) return;
      }
      ++good;
    });
  }
  for (auto& c : clients) c.join();
  EXPECT_EQ(good, 8);
}

TEST_F(HostProtocol, SecondHostOnTheSameRootIsRefused) {
  HostProcess second(ProgramPath("kvemu_test_host"), root_);
  EXPECT_EQ(second.Wait(), 1);
  EXPECT_NE(second.Log().find("already running"), std::string::npos) << second.Log();
  ExpectStillServing();
}

TEST_F(HostProtocol, ShutdownCompletesQueuedRequestsAndCleansTheRoot) {
  Handle h = CreateFile("\\\\.\\TestDev0");
  ASSERT_TRUE(h);
  std::atomic<bool> returned{false};
  std::thread reader([&] {
    std::vector<uint8_t> buf(2048);
    uint32_t n;
    ReadFile(h, kHeldReadOffset, buf.data(), 2048, &n);
    returned = true;
  });
  ASSERT_TRUE(WaitHeld(1));
  const int status = host_->Stop(SIGTERM);
  reader.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(status, 0) << host_->Log();
  EXPECT_NE(host_->Log().find("'Kkss' 0"), std::string::npos) << host_->Log();
  EXPECT_TRUE(FolderEntries(root_).empty());
  host_.reset();
  // Without a host, the devices are simply not there.
  EXPECT_FALSE(CreateFile("\\\\.\\TestDev0"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetLogicalDrives(), 1u << 2);
}

}  // namespace
}  // namespace kv::test
