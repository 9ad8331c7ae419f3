// Every driver test loads the driver, and after unload finds every pool tag at zero and none of
// the driver's names left in the namespace.
#pragma once
#include <gtest/gtest.h>

#include <optional>

#include "driver/drive_state.h"
#include "tests/driver/driver_harness.h"
#include "tests/driver/driver_images.h"

namespace kv::test {

inline bool NamespaceHasDriverNames() {
  for (const std::string& n : kernel::ObListNames()) {
    if (n.find("KVEmu") != std::string::npos) return true;
  }
  return false;
}

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(NamespaceHasDriverNames());
    driver_.emplace();
    ASSERT_EQ(driver_->loadStatus(), STATUS_SUCCESS);
  }
  void TearDown() override {
    kernel::PoolFailAfter(-1);
    driver_.reset();
    EXPECT_EQ(kernel::PoolLiveCount(driver::kTagGeneral), 0);
    EXPECT_EQ(kernel::PoolLiveCount(driver::kTagNames), 0);
    EXPECT_EQ(kernel::PoolLiveCount(driver::kTagChannel), 0);
    EXPECT_FALSE(NamespaceHasDriverNames());
  }
  LoadedDriver& drv() { return *driver_; }

  // Mounts `path` (format 0 unless said otherwise) and expects success.
  void MountOk(int drive, const std::filesystem::path& path, int32_t format = kFormatIso) {
    NTSTATUS status = 0;
    ASSERT_EQ(drv().Mount(drive, MountInput(NtPathOf(path.string()), format), &status), 0u);
    ASSERT_EQ(status, STATUS_SUCCESS);
  }

  TempDir dir_;
  std::optional<LoadedDriver> driver_;
};

}  // namespace kv::test
