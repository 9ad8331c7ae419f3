#include "service/sector_server.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/files.h"
#include "service/temp_folder.h"
#include "tests/fixtures/test_support.h"

namespace kv::service {
namespace {

// Item bytes generated from the offset; counts the reads it serves.
class CountingSource : public ItemDataSource {
 public:
  bool ReadItem(uint32_t item, uint64_t offset, void* dst, size_t length) override {
    ++reads;
    auto* p = static_cast<uint8_t*>(dst);
    for (size_t i = 0; i < length; ++i) p[i] = static_cast<uint8_t>((offset + i) * 7 + item);
    return !fail;
  }
  int reads = 0;
  bool fail = false;
};

BuildClock FixedClock() {
  return BuildClock{1700000000, 42};
}

std::unique_ptr<ImageBuilder> BuildImage(CountingSource* source, uint64_t fileSize) {
  auto b = std::make_unique<ImageBuilder>(source, FixedClock);
  b->AddItem(u"data.bin", false, fileSize, std::nullopt, 0);
  EXPECT_EQ(b->Build(), BuildError::kNone);
  return b;
}

// A channel buffer in this process and the driver's half of the protocol.
class Channel {
 public:
  Channel(DriveSlotTable& table, int index, size_t size) : buffer_(size) {
    int err = 0;
    char name[64];
    std::snprintf(name, sizeof name, "\\BaseNamedObjects\\AccessSync%d", index);
    access_ = platform::NamedEvent::Create(name, false, true, &err);
    std::snprintf(name, sizeof name, "\\BaseNamedObjects\\ReadRequestNotify%d", index);
    request_ = platform::NamedEvent::Create(name, false, false, &err);
    std::snprintf(name, sizeof name, "\\BaseNamedObjects\\WriteDoneNotify%d", index);
    done_ = platform::NamedEvent::Create(name, false, false, &err);
    std::memset(buffer_.data(), 0xFF, 16);
    header()->Progress = 0;
    EXPECT_TRUE(table.OpenChannelEvents(index));
    table.slot(index).channel = buffer_.data();
    table.slot(index).channelSize = buffer_.size();
  }
  ReadRequest* header() { return reinterpret_cast<ReadRequest*>(buffer_.data()); }
  const uint8_t* data() const { return buffer_.data() + kChannelDataOffset; }
  bool Ask(int32_t first, int32_t count) {
    header()->RequestSector = first;
    header()->RequestCount = count;
    request_->Set();
    return done_->Wait(5000);
  }

 private:
  std::vector<uint8_t> buffer_;
  std::unique_ptr<platform::NamedEvent> access_, request_, done_;
};

class SectorServer : public ::testing::Test {
 protected:
  void SetUp() override { setenv("KV_PLATFORM_ROOT", root_.path().c_str(), 1); }
  void TearDown() override { unsetenv("KV_PLATFORM_ROOT"); }
  test::TempDir root_;
};

TEST_F(SectorServer, RunPastTheEndIsImageThenZerosAndFailedReadsAreZeros) {
  CountingSource source;
  auto builder = BuildImage(&source, 300 * 2048);
  const uint32_t n = builder->SectorCount();
  ASSERT_GT(n, 10u);
  std::vector<uint8_t> expected(10 * 2048);
  ASSERT_EQ(builder->ReadSectors(n - 10, 10, expected.data()), 10u);
  std::vector<uint8_t> area(16 * 2048, 0xEE);
  ReadRunForDriver(*builder, static_cast<int32_t>(n - 10), 16, area.data(), 16);
  EXPECT_EQ(0, std::memcmp(area.data(), expected.data(), expected.size()));
  for (size_t i = expected.size(); i < area.size(); ++i) ASSERT_EQ(area[i], 0) << i;

  // The last sectors belong to data.bin: a failing source gives a zero answer, not an error.
  source.fail = true;
  std::fill(area.begin(), area.end(), 0xEE);
  ReadRunForDriver(*builder, static_cast<int32_t>(n - 4), 4, area.data(), 16);
  for (size_t i = 0; i < 4 * 2048; ++i) ASSERT_EQ(area[i], 0) << i;

  // Hostile requests never write beyond the data area.
  std::vector<uint8_t> small(8 * 2048, 0xEE);
  ReadRunForDriver(*builder, 0, 1000, small.data(), 8);
  ReadRunForDriver(*builder, -5, 4, small.data(), 8);
  for (uint8_t b : small) ASSERT_EQ(b, 0);
}

TEST_F(SectorServer, ServesRunsSkipsRepeatsAndStopsWhileWaiting) {
  CountingSource source;
  DriveSlotTable table;
  DriveSlot& slot = table.slot(4);
  Channel channel(table, 4, kChannelLargeSize);
  slot.builder = BuildImage(&source, 100 * 2048);
  const uint32_t n = slot.builder->SectorCount();
  ASSERT_TRUE(table.StartServer(4));

  std::vector<uint8_t> expected(16 * 2048);
  ASSERT_EQ(slot.builder->ReadSectors(n - 20, 16, expected.data()), 16u);
  const int readsBefore = source.reads;
  ASSERT_TRUE(channel.Ask(static_cast<int32_t>(n - 20), 16));
  EXPECT_EQ(0, std::memcmp(channel.data(), expected.data(), expected.size()));
  EXPECT_EQ(channel.header()->BufferedSector, static_cast<int32_t>(n - 20));
  EXPECT_EQ(channel.header()->BufferedCount, 16);
  const int readsAfterFirst = source.reads;
  EXPECT_GT(readsAfterFirst, readsBefore);

  ASSERT_TRUE(channel.Ask(static_cast<int32_t>(n - 20), 16));
  EXPECT_EQ(source.reads, readsAfterFirst) << "an identical run is answered from the buffer";
  EXPECT_EQ(slot.activity.load(), 2u);

  // A request beyond the data area is refused with zeros and is not remembered as buffered.
  ASSERT_TRUE(channel.Ask(0, 17));
  EXPECT_EQ(channel.header()->BufferedCount, -1);

  table.StopServer(4);
  EXPECT_FALSE(slot.thread.joinable());
  EXPECT_EQ(slot.state.load(), kServerIdle);
  table.ClearSlot(4);
  EXPECT_EQ(slot.builder, nullptr);
  EXPECT_FALSE(slot.active);
}

TEST_F(SectorServer, HeartbeatCountsAroundMinusOneAndGivesUpAfterTheRepeatLimit) {
  CountingSource source;
  DriveSlotTable table;
  Channel channel(table, 0, kChannelSmallSize);
  table.slot(0).builder = BuildImage(&source, 2048);
  ASSERT_TRUE(table.StartServer(0));

  channel.header()->Progress = 5;
  table.Heartbeat(false);
  EXPECT_EQ(channel.header()->Progress, 6);
  channel.header()->Progress = -2;
  table.Heartbeat(false);
  EXPECT_EQ(channel.header()->Progress, 0) << "counting never produces -1";

  table.Heartbeat(true);  // remembers the text
  table.Heartbeat(true);
  EXPECT_EQ(table.RepeatCount(), 1u);
  table.SetRepeatCountForTest(kRepeatLimit);
  table.Heartbeat(true);
  EXPECT_EQ(channel.header()->Progress, -1);
  table.Heartbeat(true);
  EXPECT_EQ(channel.header()->Progress, 0) << "after giving up once, counting goes on";

  table.NoteStoredBlock(0);  // activity changes, so the next text differs
  table.Heartbeat(true);
  EXPECT_EQ(table.RepeatCount(), 0u);
}

TEST(TempFolder, PreparesReplacesAFileInTheWayAndCleansWithoutFollowingLinks) {
  test::TempDir base, outside;
  test::WriteFileText(outside / "keep.txt", "precious");
  test::WriteFileText(base / kTempFolderName, "a plain file in the way");
  TempFolders folders;
  const std::string folder = folders.Prepare(base.path().string());
  ASSERT_EQ(folder, (base / kTempFolderName).string() + "/");
  ASSERT_TRUE(std::filesystem::is_directory(folder));
  folders.Prepare(base.path().string() + "/");
  EXPECT_EQ(folders.Remembered().size(), 1u) << "the same folder is remembered once";

  std::filesystem::create_directories(folder + "sub/deeper");
  test::WriteFileText(folder + "sub/deeper/x.tmp", "x");
  std::filesystem::create_directory_symlink(outside.path(), folder + "link");
  folders.Clean();
  EXPECT_FALSE(std::filesystem::exists(folder));
  EXPECT_TRUE(std::filesystem::exists(outside / "keep.txt"));
}

TEST(TempFolder, DeleteAtRebootListRemovesOnlyRecordedFiles) {
  test::TempDir root, files;
  setenv("KV_PLATFORM_ROOT", root.path().c_str(), 1);
  test::WriteFileText(files / "a.tmp", "a");
  test::WriteFileText(files / "b.tmp", "b");
  ASSERT_TRUE(platform::RegisterDeleteAtReboot((files / "a.tmp").string()));
  ASSERT_TRUE(platform::RegisterDeleteAtReboot((files / "gone.tmp").string()));
  EXPECT_FALSE(platform::RegisterDeleteAtReboot("bad\nname"));
  EXPECT_EQ(platform::RunPendingDeletes(), 1);
  EXPECT_FALSE(std::filesystem::exists(files / "a.tmp"));
  EXPECT_TRUE(std::filesystem::exists(files / "b.tmp"));
  EXPECT_EQ(platform::RunPendingDeletes(), 0);
  unsetenv("KV_PLATFORM_ROOT");
}

}  // namespace
}  // namespace kv::service
