// Served media: the driver asks a service in this process for sectors through the channel
// buffer and the three named events, with the wait unit shortened.
#include "common/media_channel.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <atomic>
#include <functional>
#include <thread>

#include "platform/named_objects.h"
#include "platform/registry.h"
#include "platform/registry_write.h"
#include "tests/driver/driver_fixture.h"

namespace kv::test {
namespace {

constexpr int64_t kUnitMs = 5;
constexpr uint64_t kRoom = 0x10000000;

uint8_t PatternByte(uint64_t sector, size_t i) {
  return static_cast<uint8_t>(sector * 131 + i * 7 + 1);
}

// The channel buffer as a process sees it after CREATE_SHARED_MEMORY: the view the reply handed
// over, mapped here.
struct ChannelView {
  NTSTATUS status = STATUS_PENDING;
  uint64_t information = 0;
  uint32_t address = 0;
  uint32_t viewAddress = 0;  // what the reply asked the requestor to map or unmap
  bool gotDescriptor = false;
  uint8_t* data = nullptr;
  size_t size = 0;
  ChannelView() = default;
  ChannelView(const ChannelView&) = delete;
  ~ChannelView() {
    if (data) munmap(data, size);
  }
  int32_t& Word(size_t offset) { return *reinterpret_cast<int32_t*>(data + offset); }
  int32_t Load(size_t offset) { return std::atomic_ref<int32_t>(Word(offset)).load(); }
  void Store(size_t offset, int32_t v) { std::atomic_ref<int32_t>(Word(offset)).store(v); }
};

// Sends a control code that completes in the dispatch routine and keeps what its reply carries.
void SendChannelCode(uint32_t code, int drive, uint64_t room, size_t outputLength, ChannelView* view,
                     pid_t pid = getpid()) {
  auto irp = ControlIrp(code, {}, outputLength);
  irp->requestorViewRoom = room;
  irp->requestor.pid = pid;
  irp->onComplete = [view](kernel::Irp& done) {
    view->status = done.status;
    view->information = done.information;
    view->viewAddress = done.viewAddress;
    if (done.output.size() >= 4) std::memcpy(&view->address, done.output.data(), 4);
    if (done.viewFd.get() >= 0) {
      view->gotDescriptor = true;
      struct stat st {};
      fstat(done.viewFd.get(), &st);
      view->size = static_cast<size_t>(st.st_size);
      void* p = mmap(nullptr, view->size, PROT_READ | PROT_WRITE, MAP_SHARED, done.viewFd.get(), 0);
      if (p != MAP_FAILED) view->data = static_cast<uint8_t*>(p);
    }
  };
  kernel::IoCallDriver(LoadedDriver::Device(drive), std::move(irp));
}

std::vector<uint8_t> SharedMountInput(const std::u16string& name, uint64_t sizeBytes) {
  std::vector<uint8_t> bytes(kMountRequestMinSize + name.size() * 2, 0);
  MountRequest r;
  std::memset(&r, 0, sizeof r);
  r.SizeBytes = sizeBytes;
  r.Flags = 1;
  r.TrackCount = 1;
  r.NameLength = static_cast<uint16_t>(name.size() * 2);
  std::memcpy(bytes.data(), &r, kMountRequestFixedSize);
  std::memcpy(bytes.data() + kMountRequestFixedSize, name.data(), name.size() * 2);
  return bytes;
}

std::string EventName(const char* format, int drive) {
  char name[64];
  std::snprintf(name, sizeof name, format, drive);
  return name;
}

// A service of the test: answers each request with pattern sectors (unless told to stay silent)
// and records the runs it was asked for.
class TestService {
 public:
  TestService(int drive, ChannelView& view, bool answer = true) : view_(view), answer_(answer) {
    int error = 0;
    readRequest_ = platform::NamedEvent::Open(EventName(kReadRequestEventFormat, drive), &error);
    writeDone_ = platform::NamedEvent::Open(EventName(kWriteDoneEventFormat, drive), &error);
    thread_ = std::thread([this] { Run(); });
  }
  ~TestService() {
    stop_ = true;
    thread_.join();
  }
  bool ready() const { return readRequest_ && writeDone_; }
  std::vector<std::pair<int32_t, int32_t>> Runs() {
    std::lock_guard<std::mutex> g(m_);
    return runs_;
  }
  void Answer(bool on) { answer_ = on; }

 private:
  void Run() {
    if (!ready()) return;
    while (!stop_) {
      if (!readRequest_->Wait(kUnitMs)) continue;
      const int32_t s = view_.Load(offsetof(ReadRequest, RequestSector));
      const int32_t n = view_.Load(offsetof(ReadRequest, RequestCount));
      {
        std::lock_guard<std::mutex> g(m_);
        runs_.emplace_back(s, n);
      }
      if (!answer_) continue;
      for (int32_t k = 0; k < n && uint32_t(k) < ChannelCapacity(view_.size); ++k)
        for (size_t i = 0; i < kSectorSize; ++i)
          view_.data[kChannelDataOffset + size_t(k) * kSectorSize + i] = PatternByte(uint64_t(s + k), i);
      view_.Store(offsetof(ReadRequest, BufferedSector), s);
      view_.Store(offsetof(ReadRequest, BufferedCount), n);
      writeDone_->Set();
    }
  }

  ChannelView& view_;
  std::atomic<bool> answer_;
  std::atomic<bool> stop_{false};
  std::unique_ptr<platform::NamedEvent> readRequest_;
  std::unique_ptr<platform::NamedEvent> writeDone_;
  std::mutex m_;
  std::vector<std::pair<int32_t, int32_t>> runs_;
  std::thread thread_;
};

// A service's heartbeat: changes Progress every `period` until it is destroyed.
class ProgressBeat {
 public:
  ProgressBeat(ChannelView& view, std::chrono::microseconds period)
      : thread_([this, &view, period] {
          while (beating_) {
            view.Store(offsetof(ReadRequest, Progress), view.Load(offsetof(ReadRequest, Progress)) + 1);
            std::this_thread::sleep_for(period);
          }
        }) {}
  ~ProgressBeat() { Stop(); }
  void Stop() {
    beating_ = false;
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::atomic<bool> beating_{true};
  std::thread thread_;
};

bool IsPattern(const std::vector<uint8_t>& data, uint64_t firstSector) {
  for (size_t i = 0; i < data.size(); ++i)
    if (data[i] != PatternByte(firstSector + i / kSectorSize, i % kSectorSize)) return false;
  return true;
}

// Polls `condition` for at most ten seconds.
bool WaitUntil(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class MediaChannelTest : public DriverTest {
 protected:
  void SetUp() override {
    setenv("KV_PLATFORM_ROOT", root_.path().c_str(), 1);
    driver::SetChannelWaitUnit(kUnitMs);
    DriverTest::SetUp();
  }
  void TearDown() override {
    DriverTest::TearDown();
    driver::SetChannelWaitUnit(1000);
    EXPECT_TRUE(FolderIsEmpty(root_.path() / "objects")) << "the channel events go with the driver";
    unsetenv("KV_PLATFORM_ROOT");
  }
  static bool FolderIsEmpty(const std::filesystem::path& p) {
    std::error_code ec;
    return !std::filesystem::exists(p, ec) || std::filesystem::is_empty(p, ec);
  }

  // Buffer, served mount of `sectors` sectors, and a service answering on it.
  void MountServed(int drive, ChannelView& view, uint64_t sectors) {
    SendChannelCode(IOCTL_CDEMU_CREATE_SHARED_MEMORY, drive, kRoom, 4, &view);
    ASSERT_EQ(view.status, STATUS_SUCCESS);
    ASSERT_NE(view.data, nullptr);
    const Completion c =
        drv().Control(drive, IOCTL_CDEMU_MOUNT_SHARED_MEDIA, SharedMountInput(u"\\??\\C:\\a.zip", sectors * 2048), 4);
    ASSERT_EQ(c.status, STATUS_SUCCESS);
    ASSERT_EQ(c.information, 0u);
  }

  TempDir root_;
};

TEST_F(MediaChannelTest, BufferIsCreatedOncePerProcessAndReleased) {
  ChannelView small;
  SendChannelCode(IOCTL_CDEMU_CREATE_SHARED_MEMORY, 2, kRoom, 3, &small);
  EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
  ChannelView noRoom;
  SendChannelCode(IOCTL_CDEMU_CREATE_SHARED_MEMORY, 2, 0, 4, &noRoom);
  EXPECT_EQ(noRoom.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(noRoom.information, 0u);
  EXPECT_EQ(kernel::PoolLiveCount(driver::kTagChannel), 0) << "nothing is left allocated after a failure";

  ChannelView view;
  SendChannelCode(IOCTL_CDEMU_CREATE_SHARED_MEMORY, 2, kRoom, 4, &view);
  ASSERT_EQ(view.status, STATUS_SUCCESS);
  EXPECT_EQ(view.information, 4u);
  EXPECT_EQ(view.address, kRoom);
  ASSERT_TRUE(view.gotDescriptor);
  EXPECT_EQ(view.size, kChannelLargeSize);
  for (size_t i = 0; i < 16; ++i) EXPECT_EQ(view.data[i], 0xFF) << i;
  EXPECT_EQ(view.Load(offsetof(ReadRequest, Progress)), 0);
  EXPECT_EQ(kernel::PoolLiveCount(driver::kTagChannel), 1);

  ChannelView again;
  SendChannelCode(IOCTL_CDEMU_CREATE_SHARED_MEMORY, 2, kRoom + 0x20000, 4, &again);
  EXPECT_EQ(again.status, STATUS_SUCCESS);
  EXPECT_EQ(again.address, kRoom) << "the same process gets the same address";
  EXPECT_FALSE(again.gotDescriptor);

  // Another process gets its own view of the same memory.
  ChannelView other;
  SendChannelCode(IOCTL_CDEMU_CREATE_SHARED_MEMORY, 2, kRoom + 0x40000, 4, &other, getpid() + 1);
  ASSERT_EQ(other.status, STATUS_SUCCESS);
  EXPECT_EQ(other.address, kRoom + 0x40000);
  ASSERT_NE(other.data, nullptr);
  view.Store(100, 0x12345678);
  EXPECT_EQ(other.Load(100), 0x12345678);
  EXPECT_EQ(kernel::PoolLiveCount(driver::kTagChannel), 1);

  ChannelView released;
  SendChannelCode(IOCTL_CDEMU_RELEASE_SHARED_MEMORY, 2, 0, 0, &released, getpid() + 1);
  EXPECT_EQ(released.status, STATUS_SUCCESS);
  EXPECT_EQ(released.viewAddress, kRoom + 0x40000) << "the caller is told to unmap its view";
  EXPECT_EQ(kernel::PoolLiveCount(driver::kTagChannel), 0);
  ChannelView releasedAgain;
  SendChannelCode(IOCTL_CDEMU_RELEASE_SHARED_MEMORY, 2, 0, 0, &releasedAgain);
  EXPECT_EQ(releasedAgain.status, STATUS_SUCCESS);
  EXPECT_EQ(releasedAgain.viewAddress, 0u);
}

TEST_F(MediaChannelTest, ReadsGoInRunsOfTheDataAreaAndRepeatedRunsComeFromTheBuffer) {
  ChannelView view;
  ASSERT_NO_FATAL_FAILURE(MountServed(5, view, 100));
  EXPECT_TRUE(std::filesystem::exists(root_.path() / "objects"));
  TestService service(5, view);
  ASSERT_TRUE(service.ready());

  Completion c = drv().Read(5, 0, 40 * kSectorSize);
  ASSERT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(c.information, 40 * kSectorSize);
  EXPECT_TRUE(IsPattern(c.output, 0));
  using Runs = std::vector<std::pair<int32_t, int32_t>>;
  EXPECT_EQ(service.Runs(), (Runs{{0, 16}, {16, 16}, {32, 8}}));

  // The last run again: answered from the buffer without waking the service.
  c = drv().Read(5, 32 * kSectorSize, 8 * kSectorSize);
  ASSERT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_TRUE(IsPattern(c.output, 32));
  EXPECT_EQ(service.Runs().size(), 3u);

  // The same first sector with another count is a new request.
  c = drv().Read(5, 32 * kSectorSize, 4 * kSectorSize);
  ASSERT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(service.Runs().back(), (std::pair<int32_t, int32_t>{32, 4}));

  // Query shows the served medium with its size.
  c = drv().Control(5, IOCTL_CDEMU_QUERY_MOUNT, {}, kDriveStatusQuerySize);
  uint64_t size = 0;
  std::memcpy(&size, c.output.data() + offsetof(DriveStatus, SizeBytes), 8);
  EXPECT_EQ(size, 100u * kSectorSize);
}

TEST_F(MediaChannelTest, ReadsBeyondTheChannelsSectorRangeFailAndKeepTheMedium) {
  ChannelView view;
  ASSERT_NO_FATAL_FAILURE(MountServed(4, view, 64));
  TestService service(4, view);
  for (const uint64_t first : {uint64_t{1} << 31, (uint64_t{1} << 31) - 1, uint64_t{1} << 40}) {
    const Completion c = drv().Read(4, first * kSectorSize, 2 * kSectorSize);
    EXPECT_EQ(c.status, STATUS_DATA_ERROR) << first;
    EXPECT_EQ(c.information, 0u);
  }
  EXPECT_TRUE(service.Runs().empty()) << "the service is never asked for a sector it cannot be named";
  const Completion c = drv().Read(4, 0, kSectorSize);
  EXPECT_EQ(c.status, STATUS_SUCCESS) << "the medium stays";
  EXPECT_TRUE(IsPattern(c.output, 0));
}

TEST_F(MediaChannelTest, AbandonedReadFailsAndLeavesTheDriveEmpty) {
  ChannelView view;
  ASSERT_NO_FATAL_FAILURE(MountServed(1, view, 64));
  TestService service(1, view, /*answer=*/false);
  std::thread giveUp([&] {
    while (service.Runs().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    view.Store(offsetof(ReadRequest, Progress), kProgressAbandon);
  });
  const auto start = std::chrono::steady_clock::now();
  Completion c = drv().Read(1, 0, 4 * kSectorSize);
  giveUp.join();
  EXPECT_EQ(c.status, STATUS_DATA_ERROR);
  EXPECT_EQ(c.information, 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  c = drv().Control(1, IOCTL_CDEMU_QUERY_MOUNT, {}, kDriveStatusQuerySize);
  EXPECT_EQ(c.information, kDriveStatusFixedSize) << "the medium is gone";
  EXPECT_EQ(kernel::PoolLiveCount(driver::kTagChannel), 0) << "the buffer is forgotten";
  EXPECT_EQ(drv().Read(1, 0, kSectorSize).status, STATUS_NO_MEDIA_IN_DEVICE);
}

TEST_F(MediaChannelTest, TheChannelProcessGoingFailsTheWaitingReadAndEmptiesTheDrive) {
  Completion c;
  {
    ChannelView view;
    ASSERT_NO_FATAL_FAILURE(MountServed(2, view, 64));
    TestService silent(2, view, /*answer=*/false);
    PendingRequest read(LoadedDriver::Device(2), ReadIrp(0, 2 * kSectorSize, kernel::MajorFunction::Read));
    ASSERT_TRUE(WaitUntil([&] { return !silent.Runs().empty(); }));
    kernel::PsNotifyProcessExit(getpid() + 1);  // another process: nothing changes
    EXPECT_FALSE(read.Wait(&c, std::chrono::milliseconds(50)));
    kernel::PsNotifyProcessExit(getpid());
    // Far sooner than the 6000 silent units (30 s here) of a live but silent service.
    ASSERT_TRUE(read.Wait(&c, std::chrono::seconds(10)));
    EXPECT_EQ(c.status, STATUS_DATA_ERROR);
    EXPECT_EQ(drv().Read(2, 0, kSectorSize).status, STATUS_NO_MEDIA_IN_DEVICE);
    EXPECT_EQ(kernel::PoolLiveCount(driver::kTagChannel), 0) << "the buffer is forgotten";
  }

  // Without a read: the drive is emptied all the same, and a new channel serves a new medium.
  ChannelView next;
  ASSERT_NO_FATAL_FAILURE(MountServed(2, next, 64));
  kernel::PsNotifyProcessExit(getpid());
  ASSERT_TRUE(WaitUntil([&] { return kernel::PoolLiveCount(driver::kTagChannel) == 0; }));
  c = drv().Control(2, IOCTL_CDEMU_QUERY_MOUNT, {}, kDriveStatusQuerySize);
  EXPECT_EQ(c.information, kDriveStatusFixedSize) << "the medium is gone";
  ChannelView third;
  ASSERT_NO_FATAL_FAILURE(MountServed(2, third, 64));
  TestService answering(2, third);
  c = drv().Read(2, 0, kSectorSize);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_TRUE(IsPattern(c.output, 0)) << "no stale wake-up answers the new medium";
}

TEST_F(MediaChannelTest, ProgressKeepsAReadWaitingAndSilenceEndsIt) {
  constexpr int64_t unitMs = 1;  // the rule counts 6000 units
  driver::SetChannelWaitUnit(unitMs);
  ChannelView view;
  ASSERT_NO_FATAL_FAILURE(MountServed(3, view, 64));
  TestService service(3, view, /*answer=*/false);
  // A heartbeat that keeps Progress moving for longer than the idle limit (6000 units).
  ProgressBeat heartbeat(view, std::chrono::microseconds(unitMs * 1000 / 2));
  PendingRequest read(LoadedDriver::Device(3), ReadIrp(0, 2 * kSectorSize, kernel::MajorFunction::Read));
  Completion c;
  EXPECT_FALSE(read.Wait(&c, std::chrono::milliseconds(unitMs * 6500))) << "progress keeps the read waiting";
  heartbeat.Stop();
  // Now silent: the read fails after the idle limit.
  const auto silentSince = std::chrono::steady_clock::now();
  ASSERT_TRUE(read.Wait(&c, std::chrono::milliseconds(unitMs * 6000 * 4)));
  EXPECT_GE(std::chrono::steady_clock::now() - silentSince, std::chrono::milliseconds(unitMs * 6000));
  EXPECT_EQ(c.status, STATUS_DATA_ERROR);
  EXPECT_EQ(service.Runs().size(), 1u);
}

TEST_F(MediaChannelTest, RemountNeverAnswersFromThePreviousMediumsBuffer) {
  ChannelView view;
  ASSERT_NO_FATAL_FAILURE(MountServed(6, view, 64));
  {
    TestService service(6, view);
    ASSERT_EQ(drv().Read(6, 0, 16 * kSectorSize).status, STATUS_SUCCESS);
    EXPECT_EQ(service.Runs().size(), 1u);
  }
  ASSERT_EQ(drv().Control(6, IOCTL_CDEMU_UNMOUNT).status, STATUS_SUCCESS);
  EXPECT_EQ(view.Load(offsetof(ReadRequest, BufferedSector)), 0) << "the buffer survives the unmount";
  ASSERT_EQ(drv().Control(6, IOCTL_CDEMU_MOUNT_SHARED_MEDIA, SharedMountInput(u"\\??\\C:\\b.zip", 64 * 2048), 4).status,
            STATUS_SUCCESS);
  EXPECT_EQ(view.Load(offsetof(ReadRequest, BufferedSector)), -1);
  EXPECT_EQ(view.Load(offsetof(ReadRequest, BufferedCount)), -1);
  TestService service(6, view);
  ASSERT_EQ(drv().Read(6, 0, 16 * kSectorSize).status, STATUS_SUCCESS);
  EXPECT_EQ(service.Runs().size(), 1u) << "the new medium's service was asked";
}

TEST_F(MediaChannelTest, ServedMediumWithoutBufferOrAfterReleaseFailsReadsCleanly) {
  // Mounted before any buffer exists: reads fail and empty the drive.
  ASSERT_EQ(drv().Control(8, IOCTL_CDEMU_MOUNT_SHARED_MEDIA, SharedMountInput(u"\\??\\C:\\a.zip", 8192), 4).status,
            STATUS_SUCCESS);
  EXPECT_EQ(drv().Read(8, 0, kSectorSize).status, STATUS_DATA_ERROR);
  EXPECT_EQ(drv().Read(8, 0, kSectorSize).status, STATUS_NO_MEDIA_IN_DEVICE);

  // Released while mounted.
  ChannelView view;
  ASSERT_NO_FATAL_FAILURE(MountServed(8, view, 4));
  ChannelView released;
  SendChannelCode(IOCTL_CDEMU_RELEASE_SHARED_MEMORY, 8, 0, 0, &released);
  EXPECT_EQ(drv().Read(8, 0, kSectorSize).status, STATUS_DATA_ERROR);

  // A second served mount while mounted is refused; a too short request as well.
  ASSERT_NO_FATAL_FAILURE(MountServed(9, view, 4));
  EXPECT_EQ(drv().Control(9, IOCTL_CDEMU_MOUNT_SHARED_MEDIA, SharedMountInput(u"\\??\\C:\\a.zip", 8192), 4).status,
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(drv().Control(10, IOCTL_CDEMU_MOUNT_SHARED_MEDIA, std::vector<uint8_t>(kMountRequestMinSize - 1), 4).status,
            STATUS_INVALID_PARAMETER);
  // Raw reads of a served medium have no sectors of 2352 bytes.
  EXPECT_NE(drv().Control(9, IOCTL_CDROM_RAW_READ, std::vector<uint8_t>(16), 2352).status, STATUS_SUCCESS);
}

TEST_F(MediaChannelTest, UnloadEndsAReadThatWaitsForAService) {
  ChannelView view;
  ASSERT_NO_FATAL_FAILURE(MountServed(7, view, 16));
  TestService service(7, view, /*answer=*/false);
  // The service keeps showing progress, so only the unload can end the read.
  ProgressBeat heartbeat(view, std::chrono::milliseconds(1));
  PendingRequest read(LoadedDriver::Device(7), ReadIrp(0, kSectorSize, kernel::MajorFunction::Read));
  while (service.Runs().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  drv().Unload();
  Completion c;
  EXPECT_TRUE(read.Wait(&c, std::chrono::seconds(5)));
  EXPECT_EQ(c.status, STATUS_DATA_ERROR);
  heartbeat.Stop();
}

TEST_F(MediaChannelTest, UnloadWithMountedServedMediaAndBuffersLeavesNothing) {
  ChannelView a, b;
  ASSERT_NO_FATAL_FAILURE(MountServed(0, a, 16));
  ASSERT_NO_FATAL_FAILURE(MountServed(22, b, 16));
  EXPECT_EQ(kernel::PoolLiveCount(driver::kTagChannel), 2);
  // TearDown unloads and checks the pool tags and the event files.
}

TEST_F(DriverTest, RegistryWriteNeedsAnElevatedCallerAndAWholeValue) {
  TempDir root;
  setenv("KV_PLATFORM_ROOT", root.path().c_str(), 1);
  platform::PackedRegistryValue value;
  value.keyPath = u"\\Registry\\Machine\\Software\\Korvendrake Test";
  value.valueName = u"Answer";
  value.type = platform::REG_DWORD;
  value.data = {42, 0, 0, 0};
  const std::vector<uint8_t> packed = platform::PackRegistryValue(value);
  std::vector<std::string> lines;
  kernel::DbgSetCaptureHook([&](const std::string& s) { lines.push_back(s); });

  auto irp = ControlIrp(IOCTL_CDEMU_WRITE_REGISTRY_VALUE, packed, 0);
  irp->requestor.uid = 1000;
  EXPECT_EQ(drv().Send(0, std::move(irp)).status, STATUS_ACCESS_DENIED);
  EXPECT_TRUE(lines.empty());

  std::vector<uint8_t> cut(packed.begin(), packed.end() - 1);
  if (geteuid() == 0) {
    platform::RegKey created;
    ASSERT_EQ(platform::RegCreateKeyEx(platform::HKEY_LOCAL_MACHINE, u"Software\\Korvendrake Test", 0,
                                       platform::KEY_ALL_ACCESS, created.put(), nullptr),
              platform::ERROR_SUCCESS);
    EXPECT_EQ(drv().Control(0, IOCTL_CDEMU_WRITE_REGISTRY_VALUE, cut).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(drv().Control(0, IOCTL_CDEMU_WRITE_REGISTRY_VALUE, packed).status, STATUS_SUCCESS);
    platform::RegKey key;
    ASSERT_EQ(platform::RegOpenKeyEx(platform::HKEY_LOCAL_MACHINE, u"Software\\Korvendrake Test", 0, platform::KEY_READ,
                                     key.put()),
              platform::ERROR_SUCCESS);
    platform::DWORD type = 0, size = 4;
    std::vector<uint8_t> data(4);
    ASSERT_EQ(platform::RegQueryValueEx(key, u"Answer", &type, data.data(), &size), platform::ERROR_SUCCESS);
    EXPECT_EQ(type, platform::REG_DWORD);
    EXPECT_EQ(data, value.data);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("SCDEmuWriteRegTable: 0, \\Registry\\Machine\\Software\\Korvendrake Test, Answer"),
              std::string::npos)
        << lines[0];
  }
  kernel::DbgSetCaptureHook({});
  unsetenv("KV_PLATFORM_ROOT");
}

}  // namespace
}  // namespace kv::test
