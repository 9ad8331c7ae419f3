#include "platform/named_objects.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "tests/fixtures/test_support.h"

using kv::platform::NamedEvent;
using kv::platform::NamedMapping;

namespace {

class NamedObjects : public ::testing::Test {
 protected:
  void SetUp() override { setenv("KV_PLATFORM_ROOT", root_.path().c_str(), 1); }
  void TearDown() override { unsetenv("KV_PLATFORM_ROOT"); }
  kv::test::TempDir root_;
};

TEST_F(NamedObjects, GlobalAndKernelNamesMeetAndCreatorRemovesTheName) {
  int err = 0;
  {
    auto created = NamedEvent::Create("\\BaseNamedObjects\\ReadRequestNotify3", false, false, &err);
    ASSERT_TRUE(created) << err;
    EXPECT_TRUE(created->created());
    auto opened = NamedEvent::Open("Global\\ReadRequestNotify3", &err);
    ASSERT_TRUE(opened);
    EXPECT_FALSE(opened->created());
    opened->Set();
    EXPECT_TRUE(created->Wait(0));
    EXPECT_FALSE(created->Wait(0)) << "auto-reset event stays signalled";
  }
  EXPECT_FALSE(NamedEvent::Open("Global\\ReadRequestNotify3", &err));
  EXPECT_FALSE(NamedEvent::Create("", false, false, &err));
}

TEST_F(NamedObjects, AutoResetReleasesOneWaiterPerSetManualResetReleasesAll) {
  int err = 0;
  auto autoEvent = NamedEvent::Create("Global\\Auto", false, false, &err);
  auto manual = NamedEvent::Create("Global\\Manual", true, false, &err);
  ASSERT_TRUE(autoEvent && manual);
  std::atomic<int> autoWoken{0}, manualWoken{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&] {
      if (autoEvent->Wait(2000)) ++autoWoken;
    });
    threads.emplace_back([&] {
      if (manual->Wait(2000)) ++manualWoken;
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  autoEvent->Set();
  manual->Set();
  for (auto& t : threads) t.join();
  EXPECT_EQ(autoWoken, 1);
  EXPECT_EQ(manualWoken, 3);
  EXPECT_TRUE(manual->Wait(0)) << "manual-reset event stays signalled until reset";
  manual->Reset();
  EXPECT_FALSE(manual->Wait(0));
}

TEST_F(NamedObjects, TimeoutIsHonoured) {
  int err = 0;
  auto e = NamedEvent::Create("Global\\Quiet", false, false, &err);
  ASSERT_TRUE(e);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(e->Wait(150));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(ms, 140);
}

TEST_F(NamedObjects, EventAndMappingWorkAcrossProcesses) {
  int err = 0;
  auto request = NamedEvent::Create("Global\\Req", false, false, &err);
  auto done = NamedEvent::Create("Global\\Done", false, false, &err);
  auto mapping = NamedMapping::Create("Global\\Area", 4096, &err);
  ASSERT_TRUE(request && done && mapping);
  pid_t child = fork();
  if (child == 0) {
    int e = 0;
    auto req = NamedEvent::Open("Global\\Req", &e);
    auto dn = NamedEvent::Open("Global\\Done", &e);
    auto area = NamedMapping::Open("Global\\Area", &e);
    if (!req || !dn || !area || area->size() != 4096) _exit(2);
    if (!req->Wait(5000)) _exit(3);
    area->data()[100] = static_cast<uint8_t>(area->data()[99] + 1);
    dn->Set();
    _exit(0);
  }
  mapping->data()[99] = 41;
  request->Set();
  EXPECT_TRUE(done->Wait(5000));
  EXPECT_EQ(mapping->data()[100], 42);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(NamedObjects, ForeignFilesAreNotTakenForEvents) {
  int err = 0;
  const std::string path = kv::platform::NamedObjectPath("Global\\Bogus");
  kv::test::WriteFileBytes(path, std::vector<uint8_t>(64, 0x5A));
  EXPECT_FALSE(NamedEvent::Open("Global\\Bogus", &err));
  EXPECT_FALSE(NamedEvent::Create("Global\\Bogus", false, false, &err));
  EXPECT_FALSE(NamedMapping::Create("Global\\Big", size_t(1) << 31, &err));
}

}  // namespace
