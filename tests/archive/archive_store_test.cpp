// The temporary store and the codec library's format table.
#include <gtest/gtest.h>

#include <filesystem>

#include "archive/codec_library.h"
#include "archive/temporary_store.h"
#include "archive/wide_text.h"
#include "tests/fixtures/test_support.h"

namespace kv::archive {
namespace {

namespace fs = std::filesystem;

class Store : public ::testing::Test {
 protected:
  void SetUp() override { setenv("KV_PLATFORM_ROOT", (dir_ / "platform").c_str(), 1); }
  test::TempDir dir_;
};

TEST_F(Store, WritesAndReadsAreSplitAtFileBoundariesAndEverythingGoesAtClose) {
  TemporaryStore store(dir_.path().string(), 12);  // 4 KiB files
  EXPECT_TRUE(store.FilePaths().empty());
  ASSERT_TRUE(store.Initialize());
  ASSERT_EQ(store.FilePaths().size(), 1u);
  EXPECT_EQ(test::ReadFileBytes(store.FilePaths()[0]), std::vector<uint8_t>(16, 0));

  uint64_t offset = 0;
  ASSERT_TRUE(store.Reserve(10000, &offset));
  EXPECT_EQ(offset, 16u);
  const auto data = test::PatternBytes(10000, 7);
  ASSERT_TRUE(store.Write(offset, data.data(), data.size()));
  const auto files = store.FilePaths();
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(fs::file_size(files[0]), 4096u);
  EXPECT_EQ(fs::file_size(files[1]), 4096u);
  EXPECT_EQ(fs::file_size(files[2]), 10016u - 8192u);
  const auto second = test::ReadFileBytes(files[1]);
  EXPECT_TRUE(std::equal(second.begin(), second.end(), data.begin() + (4096 - 16)));
  std::vector<uint8_t> back(5000);
  ASSERT_TRUE(store.Read(offset + 3000, back.data(), back.size()));
  EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin() + 3000));
  // Past what was written: a short read fails.
  EXPECT_FALSE(store.Read(offset + 9000, back.data(), 2000));

  store.Close();
  for (const auto& f : files) EXPECT_FALSE(fs::exists(f));
}

TEST_F(Store, NoSpaceBeyondTheLastFile) {
  TemporaryStore store(dir_.path().string(), 12);
  EXPECT_EQ(store.Capacity(), 1024u * 4096u);
  uint64_t offset = 0;
  ASSERT_TRUE(store.Reserve(store.Capacity() - 16, &offset));
  EXPECT_FALSE(store.Reserve(1, &offset));
  const uint8_t byte = 1;
  EXPECT_FALSE(store.Write(store.Capacity(), &byte, 1));
  TemporaryStore big(dir_.path().string());
  EXPECT_EQ(big.Capacity(), uint64_t{1024} << 31);
  EXPECT_FALSE(big.Reserve(uint64_t{1} << 60, &offset));
}

TEST_F(Store, FolderThatCannotHoldFilesFailsTheFirstWrite) {
  TemporaryStore store((dir_ / "absent").string());
  EXPECT_FALSE(store.Initialize());
  EXPECT_FALSE(store.Initialize());
  EXPECT_TRUE(store.FilePaths().empty());
}

TEST(CodecLibrary, FormatsAndMethodsAreReadFromTheInstalledLibrary) {
  const CodecLibrary* lib = LibraryForDrive(0, KV_INSTALL_DIR);
  ASSERT_NE(lib, nullptr);
  EXPECT_EQ(LibraryForDrive(0, KV_INSTALL_DIR), lib) << "kept per drive";
  EXPECT_NE(LibraryForDrive(1, KV_INSTALL_DIR), lib) << "one instance per drive index";
  EXPECT_EQ(LibraryForDrive(-1, KV_INSTALL_DIR), nullptr);
  EXPECT_EQ(LibraryForDrive(23, KV_INSTALL_DIR), nullptr);
  EXPECT_EQ(LibraryForDrive(5, ""), nullptr);
  EXPECT_FALSE(lib->methods().empty());
  const FormatInfo* sevenZip = nullptr;
  for (const auto& f : lib->formats())
    if (f.name == u"7z") sevenZip = &f;
  ASSERT_NE(sevenZip, nullptr);
  // {23170F69-40C1-278A-1000-000110070000}
  const abi::GUID expected{0x23170F69u, 0x40C1, 0x278A, {0x10, 0x00, 0x00, 0x01, 0x10, 0x07, 0x00, 0x00}};
  EXPECT_TRUE(sevenZip->classId == expected);
  EXPECT_EQ(sevenZip->extensions, std::vector<std::u16string>{u"7z"});
  EXPECT_EQ(sevenZip->signature, (std::vector<uint8_t>{'7', 'z', 0xBC, 0xAF, 0x27, 0x1C}));
  EXPECT_TRUE(sevenZip->updateSupported);
  EXPECT_TRUE(lib->CreateHandler(static_cast<size_t>(sevenZip - lib->formats().data())));
  EXPECT_FALSE(lib->CreateHandler(lib->formats().size()));
}

TEST(CodecLibrary, FilesThatAreNoCodecLibraryAreNotUsed) {
  EXPECT_EQ(CodecLibrary::Load("/nonexistent/7z.so"), nullptr);
  // A real shared library without CreateObject.
  for (const char* other : {"libz.so.1", "libc.so.6"}) EXPECT_EQ(CodecLibrary::Load(other), nullptr) << other;
  EXPECT_EQ(CodecLibrary::FileInFolder("/opt/kv"), "/opt/kv/7z.so");
  EXPECT_EQ(CodecLibrary::FileInFolder("/opt/kv/"), "/opt/kv/7z.so");
}

}  // namespace
}  // namespace kv::archive
