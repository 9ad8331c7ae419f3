// kvemu and KVService recorded and booted by the platform's service manager in the test's private
// platform root (the ManagerUi fixture's), with the codec library's install folder.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include "common/config_names.h"
#include "platform/service_control.h"
#include "platform/wide_text.h"
#include "tests/ui/ui_fixture.h"

namespace kv::test {

inline constexpr char16_t kServiceName[] = u"Korvendrake Service";

class BootedSystem : public ManagerUi {
 protected:
  void SetUp() override {
    ManagerUi::SetUp();
    if (geteuid() != 0) GTEST_SKIP() << "the services are recorded in the machine's registry (root)";
    if (!HaveTool("genisoimage") || !HaveTool("7z")) GTEST_SKIP() << "genisoimage or 7z missing";
    ASSERT_TRUE(
        SetString(platform::HKEY_LOCAL_MACHINE, kMainKey, config::kInstallDir, platform::Utf8ToUtf16(KV_INSTALL_DIR)));
    platform::ServiceConfig driver;
    driver.name = u"kvemu";
    driver.type = platform::SERVICE_KERNEL_DRIVER;
    driver.start = platform::SERVICE_BOOT_START;
    driver.imagePath = platform::Utf8ToUtf16(ProgramPath("kvemu"));
    ASSERT_TRUE(platform::CreateService(driver));
    ASSERT_EQ(kv::test::Run(Quote(ProgramPath("KVService")) + " -i").exitCode, 0);
  }
  // Boot and logon: the services, then the Run entries.
  void Boot() {
    ASSERT_EQ(platform::BootSystem(nullptr), 0);
    booted_ = true;
    ASSERT_TRUE(platform::WaitServiceState(kServiceName, platform::SERVICE_RUNNING, 60000));
  }
  void TearDown() override {
    if (booted_) platform::ShutdownSystem(nullptr);
    ManagerUi::TearDown();
  }

  bool booted_ = false;
};

}  // namespace kv::test
