// Load, unload, resource accounting and concurrent requests.
#include <algorithm>
#include <random>
#include <thread>

#include "tests/driver/driver_fixture.h"

namespace kv::test {
namespace {

bool HasName(const std::string& name) {
  const auto names = kernel::ObListNames();
  return std::find(names.begin(), names.end(), name) != names.end();
}

TEST_F(DriverTest, LoadCreatesTheDirectoryDrivesAndControlLinks) {
  EXPECT_TRUE(HasName("\\Device\\KVEmu"));
  for (int n = 0; n < kDriveCount; ++n) {
    const std::string device = "\\Device\\KVEmu\\KVEmuCd" + std::to_string(n);
    EXPECT_TRUE(HasName(device)) << device;
    EXPECT_EQ(kernel::ObQuerySymbolicLink("\\DosDevices\\KVEmuDev" + std::to_string(n)), device);
    kernel::DeviceObject* d = LoadedDriver::Device(n);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->deviceType, kernel::FILE_DEVICE_CD_ROM);
    EXPECT_TRUE(d->characteristics & kernel::FILE_READ_ONLY_DEVICE);
    EXPECT_TRUE(d->directIo);
  }
  EXPECT_EQ(LoadedDriver::Device(23), nullptr);
  EXPECT_EQ(kernel::PoolLiveCount(driver::kTagGeneral), 2 * kDriveCount) << "two work areas per drive";
  // Workers raised themselves from the normal priority 8 (a queued request shows one has run).
  EXPECT_EQ(drv().Control(22, IOCTL_CDEMU_UNMOUNT).status, STATUS_SUCCESS);
  EXPECT_EQ(driver::g_driver.previousPriority.load(), 8);
}

TEST_F(DriverTest, UnloadReleasesMountedMediaNamesAndSecurity) {
  const auto iso = MakeIso(dir_);
  MountOk(0, iso);
  MountOk(11, iso);
  MountOk(22, iso);
  EXPECT_GT(kernel::PoolLiveCount(driver::kTagNames), 0);
  EXPECT_EQ(drv().Control(11, IOCTL_CDEMU_CREATE_DRIVE_LETTER, {'Q', 0}, 4).status, STATUS_SUCCESS);
  EXPECT_EQ(drv().Control(11, IOCTL_CDEMU_DELETE_DRIVE_LETTER, {}, 4).status, STATUS_SUCCESS);
  // TearDown unloads and checks every tag and the namespace.
}

TEST_F(DriverTest, RequestsQueuedAtUnloadAreCompleted) {
  const auto iso = MakeIso(dir_);
  MountOk(4, iso);
  std::vector<std::unique_ptr<PendingRequest>> pending;
  for (int i = 0; i < 300; ++i) {
    pending.push_back(std::make_unique<PendingRequest>(
        LoadedDriver::Device(4), ReadIrp(uint64_t(i % 100) * 2048, 8 * 2048, kernel::MajorFunction::Read)));
  }
  drv().Unload();
  int cancelled = 0;
  for (auto& p : pending) {
    Completion c;
    ASSERT_TRUE(p->Wait(&c, std::chrono::seconds(10))) << "a request was left hanging";
    EXPECT_EQ(c.completions, 1);
    EXPECT_TRUE(c.status == STATUS_SUCCESS || c.status == STATUS_CANCELLED) << std::hex << c.status;
    cancelled += c.status == STATUS_CANCELLED;
  }
  RecordProperty("cancelled", cancelled);
}

TEST(DriverLoadTest, DrivesWhoseCreationFailsAreSkipped) {
  ASSERT_FALSE(NamespaceHasDriverNames());
  {
    // Three allocations succeed: drive 0 gets both work areas, drive 1 only one, later drives none.
    kernel::PoolFailAfter(3);
    LoadedDriver d;
    kernel::PoolFailAfter(-1);
    ASSERT_EQ(d.loadStatus(), STATUS_SUCCESS);
    EXPECT_NE(LoadedDriver::Device(0), nullptr);
    for (int n = 1; n < kDriveCount; ++n) {
      EXPECT_EQ(LoadedDriver::Device(n), nullptr) << n;
      EXPECT_FALSE(HasName("\\Device\\KVEmu\\KVEmuCd" + std::to_string(n)));
    }
    EXPECT_EQ(kernel::PoolLiveCount(driver::kTagGeneral), 2);
    EXPECT_EQ(d.Control(0, IOCTL_CDEMU_GET_VERSION, {}, 4).status, STATUS_SUCCESS);
  }
  EXPECT_EQ(kernel::PoolLiveCount(driver::kTagGeneral), 0);
  EXPECT_FALSE(NamespaceHasDriverNames());
  {
    // No drive at all: the load fails and leaves nothing behind.
    kernel::PoolFailAfter(0);
    LoadedDriver d;
    kernel::PoolFailAfter(-1);
    EXPECT_EQ(d.loadStatus(), STATUS_INSUFFICIENT_RESOURCES);
  }
  EXPECT_EQ(kernel::PoolLiveCount(driver::kTagGeneral), 0);
  EXPECT_FALSE(NamespaceHasDriverNames());
  // A second load beside a loaded driver fails with the collision and leaves the first working.
  {
    LoadedDriver first;
    ASSERT_EQ(first.loadStatus(), STATUS_SUCCESS);
    EXPECT_EQ(first.Control(0, IOCTL_CDEMU_SET_USER_VALUE1, {9, 0, 0, 0}, 0).status, STATUS_SUCCESS);
    {
      LoadedDriver second;
      EXPECT_EQ(second.loadStatus(), STATUS_OBJECT_NAME_COLLISION);
    }
    const Completion c = first.Control(22, IOCTL_CDEMU_GET_USER_VALUE1, {}, 4);
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.output[0], 9);
  }
  EXPECT_EQ(kernel::PoolLiveCount(driver::kTagGeneral), 0);
  EXPECT_FALSE(NamespaceHasDriverNames());
  // A directory left by someone else makes the load fail with the collision.
  ASSERT_EQ(kernel::ZwCreateDirectoryObject("\\Device\\KVEmu"), STATUS_SUCCESS);
  {
    LoadedDriver d;
    EXPECT_EQ(d.loadStatus(), STATUS_OBJECT_NAME_COLLISION);
  }
  ASSERT_EQ(kernel::ZwMakeTemporaryObject("\\Device\\KVEmu"), STATUS_SUCCESS);
  ASSERT_EQ(kernel::ZwCloseDirectoryObject("\\Device\\KVEmu"), STATUS_SUCCESS);
}

TEST_F(DriverTest, OutOfPoolDuringMount) {
  const auto iso = MakeIso(dir_);
  kernel::PoolFailAfter(0);
  Completion c = drv().Control(0, IOCTL_CDEMU_MOUNT_IMAGE, MountInput(NtPathOf(iso.string())), 4);
  EXPECT_EQ(c.status, STATUS_INSUFFICIENT_RESOURCES) << "no client security record";
  kernel::PoolFailAfter(1);
  EXPECT_EQ(drv().Mount(0, MountInput(NtPathOf(iso.string()))), 13u) << "no name buffer";
  kernel::PoolFailAfter(-1);
  EXPECT_EQ(drv().Control(0, IOCTL_DISK_GET_LENGTH_INFO, {}, 8).status, STATUS_NO_MEDIA_IN_DEVICE);
  MountOk(0, iso);
}

// Many clients at once on several drives: every request completes exactly once with the right data.
TEST_F(DriverTest, ConcurrentRequestsOnSeveralDrivesCompleteOnce) {
  const auto iso = MakeIso(dir_);
  const std::vector<uint8_t> image = ReadFileBytes(iso);
  const uint32_t sectors = static_cast<uint32_t>(image.size() / 2048);
  const int drives[] = {0, 3, 12, 22};
  for (int d : drives) MountOk(d, iso);
  std::atomic<int> failures{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 8; ++t) {
    clients.emplace_back([&, t] {
      std::mt19937 rng(t);
      std::vector<std::unique_ptr<PendingRequest>> batch;
      std::vector<std::pair<uint32_t, uint32_t>> ranges;
      for (int i = 0; i < 200; ++i) {
        const int d = drives[rng() % 4];
        const uint32_t first = rng() % sectors;
        const uint32_t count = 1 + rng() % std::min<uint32_t>(16, sectors - first);
        if (i % 5 == 0) {
          batch.push_back(std::make_unique<PendingRequest>(
              LoadedDriver::Device(d), ControlIrp(IOCTL_CDEMU_QUERY_MOUNT, {}, kDriveStatusQuerySize)));
          ranges.emplace_back(0, 0);
        } else {
          batch.push_back(std::make_unique<PendingRequest>(
              LoadedDriver::Device(d), ReadIrp(uint64_t{first} * 2048, count * 2048, kernel::MajorFunction::Read)));
          ranges.emplace_back(first, count);
        }
      }
      for (size_t i = 0; i < batch.size(); ++i) {
        Completion c;
        if (!batch[i]->Wait(&c) || c.completions != 1 || c.status != STATUS_SUCCESS) {
          ++failures;
          continue;
        }
        const auto [first, count] = ranges[i];
        if (count > 0 && !std::equal(c.output.begin(), c.output.end(), image.begin() + first * 2048)) ++failures;
      }
    });
  }
  for (auto& c : clients) c.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace kv::test
