// On-demand extraction: what is extracted when, what failed items read as, and the store.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "tests/archive/archive_test_support.h"

namespace kv::test {
namespace {

std::vector<uint8_t> Slice(const std::vector<uint8_t>& v, size_t offset, size_t n) {
  return std::vector<uint8_t>(v.begin() + static_cast<ptrdiff_t>(offset),
                              v.begin() + static_cast<ptrdiff_t>(offset + n));
}

class ArchiveExtract : public ArchiveTest {
 protected:
  void SetUp() override {
    ArchiveTest::SetUp();
    src_ = path("src");
  }
  void MakeTree(bool withBig) {
    MakeSourceTree(src_, withBig);
    if (withBig) ten_ = ReadFileBytes(src_ / "big" / "ten.bin");
  }
  std::vector<uint8_t> Read(archive::MountedArchive& a, int item, uint64_t offset, uint64_t n) {
    std::vector<uint8_t> out(n, 0xEE);
    EXPECT_EQ(a.ReadItemBytes(static_cast<uint32_t>(item), out.data(), offset, n), n);
    return out;
  }
  fs::path src_;
  std::vector<uint8_t> ten_;
};

TEST_F(ArchiveExtract, AnItemIsExtractedOnceAtItsFirstReadAndThenServedFromTheStore) {
  MakeTree(true);
  ASSERT_TRUE(SevenZipAdd(src_, path("n.7z").string(), "-t7z -ms=off -mx=1", "*"));
  auto a = OpenArchive(path("n.7z"));
  ASSERT_TRUE(a);
  EXPECT_FALSE(a->solid());
  const int ten = ItemIndex(*a, u"big/ten.bin");
  ASSERT_GE(ten, 0);
  ASSERT_EQ(a->items()[static_cast<size_t>(ten)].size, ten_.size());
  EXPECT_FALSE(a->WorkerStarted());
  EXPECT_TRUE(StoreEmpty()) << "nothing is unpacked at open";

  EXPECT_EQ(Read(*a, ten, ten_.size() - 100, 100), Slice(ten_, ten_.size() - 100, 100));
  auto log = a->ExtractionLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_FALSE(log[0].allItems);
  EXPECT_EQ(log[0].itemIndex, static_cast<uint32_t>(ten));
  EXPECT_TRUE(a->ItemComplete(static_cast<uint32_t>(ten)));
  EXPECT_EQ(a->HighWaterMark(static_cast<uint32_t>(ten)), ten_.size());

  // Served from the store: no second extraction, whatever part is read.
  EXPECT_EQ(Read(*a, ten, 0, 4096), Slice(ten_, 0, 4096));
  EXPECT_EQ(Read(*a, ten, 3 * 1048576 - 10, 20), Slice(ten_, 3 * 1048576 - 10, 20));
  EXPECT_EQ(a->ExtractionLog().size(), 1u);

  // Another item is extracted on its own; nothing else was touched.
  const int one = ItemIndex(*a, u"docs/one.bin");
  ASSERT_GE(one, 0);
  EXPECT_EQ(Read(*a, one, 0, 5000), PatternBytes(5000, 1));
  log = a->ExtractionLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].itemIndex, static_cast<uint32_t>(one));
  for (uint32_t i = 0; i < a->itemCount(); ++i) {
    if (static_cast<int>(i) != ten && static_cast<int>(i) != one && a->items()[i].size > 0) {
      EXPECT_FALSE(a->ItemComplete(i)) << Utf8(a->items()[i].path);
    }
  }

  // Ranges are clamped to the item.
  std::vector<uint8_t> tail(300, 0xEE);
  EXPECT_EQ(a->ReadItemBytes(static_cast<uint32_t>(one), tail.data(), 4900, 300), 100u);
  EXPECT_EQ(a->ReadItemBytes(static_cast<uint32_t>(one), tail.data(), 5000, 1), 0u);
  EXPECT_EQ(a->ReadItemBytes(a->itemCount(), tail.data(), 0, 1), 0u);

  const auto files = a->StoreFiles();
  ASSERT_EQ(files.size(), 1u);
  // 16 zero bytes, then the ten chunks of the big item, then the small one.
  EXPECT_EQ(fs::file_size(files[0]), 16u + ten_.size() + 5000u);
  const auto stored = ReadFileBytes(files[0]);
  EXPECT_EQ(Slice(stored, 0, 16), std::vector<uint8_t>(16, 0));
  a.reset();
  EXPECT_TRUE(StoreEmpty());
}

TEST_F(ArchiveExtract, SolidArchiveIsExtractedWholeAtTheFirstRead) {
  MakeTree(true);
  ASSERT_TRUE(SevenZipAdd(src_, path("s.7z").string(), "-t7z -ms=on -mx=1", "*"));
  auto a = OpenArchive(path("s.7z"));
  ASSERT_TRUE(a);
  EXPECT_TRUE(a->solid());
  const int two = ItemIndex(*a, u"docs/deep/two.bin");
  ASSERT_GE(two, 0);
  EXPECT_EQ(Read(*a, two, 0, 2048), PatternBytes(2048, 2));
  auto log = a->ExtractionLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_TRUE(log[0].allItems);
  const int ten = ItemIndex(*a, u"big/ten.bin");
  EXPECT_EQ(Read(*a, ten, 5 << 20, 1 << 20), Slice(ten_, 5 << 20, 1 << 20));
  // Every item comes from the one pass, whichever is read and in whatever order.
  for (uint32_t i = a->itemCount(); i-- > 0;) {
    const uint64_t size = a->items()[i].size;
    if (size == 0) continue;
    Read(*a, static_cast<int>(i), size - 1, 1);
    EXPECT_TRUE(a->ItemComplete(i)) << Utf8(a->items()[i].path);
  }
  EXPECT_EQ(a->ExtractionLog().size(), 1u);
}

TEST_F(ArchiveExtract, ASolidArchiveAnswersEachReadOnceItsOwnBytesAreStored) {
  // a, b and c are extracted in that order; the pass is held once b has bytes in the store.
  fs::create_directories(src_);
  WriteFileBytes(src_ / "a.bin", PatternBytes(5000, 1));
  WriteFileBytes(src_ / "b.bin", PatternBytes(6 << 20, 2));
  WriteFileBytes(src_ / "c.bin", PatternBytes(5000, 3));
  ASSERT_TRUE(SevenZipAdd(src_, path("s.7z").string(), "-t7z -ms=on -mx=1", "*"));
  auto a = OpenArchive(path("s.7z"));
  ASSERT_TRUE(a);
  ASSERT_TRUE(a->solid());
  const int ia = ItemIndex(*a, u"a.bin"), ib = ItemIndex(*a, u"b.bin"), ic = ItemIndex(*a, u"c.bin");
  ASSERT_GE(std::min({ia, ib, ic}), 0);
  std::mutex m;
  std::condition_variable cv;
  bool held = false, release = false;
  a->SetStoredBlockHook([&] {
    if (a->HighWaterMark(static_cast<uint32_t>(ib)) == 0) return;
    std::unique_lock<std::mutex> g(m);
    held = true;
    cv.notify_all();
    cv.wait_for(g, std::chrono::seconds(60), [&] { return release; });
  });
  EXPECT_EQ(Read(*a, ia, 0, 5000), PatternBytes(5000, 1));
  {
    std::unique_lock<std::mutex> g(m);
    ASSERT_TRUE(cv.wait_for(g, std::chrono::seconds(60), [&] { return held; }));
  }
  // The pass is held inside b: a was answered, b's first bytes are readable, c is not there yet.
  EXPECT_EQ(Read(*a, ib, 0, 100), Slice(PatternBytes(6 << 20, 2), 0, 100));
  EXPECT_FALSE(a->ItemComplete(static_cast<uint32_t>(ic)));
  {
    std::lock_guard<std::mutex> g(m);
    release = true;
  }
  cv.notify_all();
  EXPECT_EQ(Read(*a, ic, 0, 5000), PatternBytes(5000, 3));
  EXPECT_EQ(Read(*a, ib, (6 << 20) - 10, 10), Slice(PatternBytes(6 << 20, 2), (6 << 20) - 10, 10));
  ASSERT_EQ(a->ExtractionLog().size(), 1u);
  EXPECT_TRUE(a->ExtractionLog()[0].allItems);
}

TEST_F(ArchiveExtract, AReadOfAnotherItemWaitsUntilTheRunningExtractionHasFinished) {
  MakeTree(true);
  // The first bytes of the big item are answered while its extraction goes on; a read of another
  // item first lets it finish.
  ASSERT_TRUE(SevenZipAdd(src_, path("z.zip").string(), "-tzip -mx=1", "*"));
  auto a = OpenArchive(path("z.zip"));
  ASSERT_TRUE(a);
  const int ten = ItemIndex(*a, u"big/ten.bin");
  const int one = ItemIndex(*a, u"docs/one.bin");
  ASSERT_GE(ten, 0);
  ASSERT_GE(one, 0);
  EXPECT_EQ(Read(*a, ten, 0, 10), Slice(ten_, 0, 10));
  EXPECT_EQ(Read(*a, one, 100, 200), Slice(PatternBytes(5000, 1), 100, 200));
  EXPECT_TRUE(a->ItemComplete(static_cast<uint32_t>(ten)));
  const auto log = a->ExtractionLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].itemIndex, static_cast<uint32_t>(ten));
  EXPECT_EQ(log[1].itemIndex, static_cast<uint32_t>(one));
  // The big item's later bytes are in the store.
  EXPECT_EQ(Read(*a, ten, ten_.size() - 5, 5), Slice(ten_, ten_.size() - 5, 5));
  EXPECT_EQ(a->ExtractionLog().size(), 2u);
}

TEST_F(ArchiveExtract, StoreFilesAreSplitAtTheirSizeLimit) {
  MakeTree(true);
  ASSERT_TRUE(SevenZipAdd(src_, path("n.7z").string(), "-t7z -ms=off -mx=1", "big"));
  auto a = OpenArchive(path("n.7z"));
  ASSERT_TRUE(a);
  a->SetStoreFileShiftForTest(20);  // 1 MiB files: every chunk straddles a file boundary
  const int ten = ItemIndex(*a, u"big/ten.bin");
  ASSERT_GE(ten, 0);
  EXPECT_EQ(Read(*a, ten, 0, ten_.size()), ten_);
  EXPECT_EQ(Read(*a, ten, (4 << 20) - 7, 3000), Slice(ten_, (4 << 20) - 7, 3000));
  const auto files = a->StoreFiles();
  EXPECT_EQ(files.size(), 11u);  // 16 + 10 MiB bytes in 1 MiB files
  for (size_t i = 0; i + 1 < files.size(); ++i) EXPECT_EQ(fs::file_size(files[i]), 1u << 20);
  EXPECT_EQ(fs::file_size(files.back()), 16u);
  a.reset();
  EXPECT_TRUE(StoreEmpty());
}

TEST_F(ArchiveExtract, EncryptedItemsWithRightWrongAndNoPassword) {
  MakeTree(false);
  ASSERT_TRUE(SevenZipAdd(src_, path("e.zip").string(), "-tzip -mx=1 -psecret", "docs"));
  ASSERT_TRUE(SevenZipAdd(src_, path("e.7z").string(), "-t7z -ms=off -mx=1 -psecret", "docs"));
  for (const std::string name : {"e.zip", "e.7z"}) {
    for (const std::optional<std::u16string>& password :
         {std::optional<std::u16string>(u"secret"), std::optional<std::u16string>(u"wrong"),
          std::optional<std::u16string>()}) {
      SCOPED_TRACE(name + " password " + (password ? Utf8(*password) : "none"));
      CapturedMessages& sink = messages_;
      const size_t before = sink.All().size();
      auto a = OpenArchive(path(name), password);
      ASSERT_TRUE(a);
      EXPECT_TRUE(a->encrypted());
      const int one = ItemIndex(*a, u"docs/one.bin");
      ASSERT_GE(one, 0);
      EXPECT_TRUE(a->items()[static_cast<size_t>(one)].encrypted);
      const bool right = password && *password == u"secret";
      const auto bytes = Read(*a, one, 0, 5000);
      if (right) {
        EXPECT_EQ(bytes, PatternBytes(5000, 1));
        EXPECT_EQ(sink.All().size(), before);
        continue;
      }
      ASSERT_TRUE(sink.WaitForCount(before + 1));
      const auto all = sink.All();
      ASSERT_EQ(all.size(), before + 1);
      EXPECT_EQ(all.back().textId, 390u);
      // Now and then a wrong password gets past the format's check (ZipCrypto's single check
      // byte; a 7z stream that happens to decode) and only the CRC catches it.
      if (all.back().reasonTextId == 680u) {
        EXPECT_NE(bytes, PatternBytes(5000, 1));
        EXPECT_EQ(Utf8(all.back().text), "Failed reading 'E:docs\\one.bin'.:::CRC failed!");
      } else {
        EXPECT_EQ(bytes, std::vector<uint8_t>(5000, 0));
        EXPECT_EQ(all.back().reasonTextId, 710u);
        EXPECT_EQ(Utf8(all.back().text), "Failed reading 'E:docs\\one.bin'.:::Data error or wrong password!");
      }
      EXPECT_TRUE(a->ItemFailed(static_cast<uint32_t>(one)));
      // A failed item is never extracted again.
      Read(*a, one, 0, 10);
      EXPECT_EQ(a->ExtractionLog().size(), 1u);
      EXPECT_EQ(sink.All().size(), before + 1);
    }
  }
}

TEST_F(ArchiveExtract, RarItemsTheLibraryCannotDecodeComeFromLibarchiveElseZerosWithAMessage) {
  const fs::path rar = fs::path(KV_SOURCE_DIR) / ".." / "shared" / "testdata" / "rar";
  if (!fs::exists(rar / "test_read_format_rar5_compressed.rar") || !HaveTool("bsdtar")) {
    GTEST_SKIP() << "the RAR test files beside the checkout, or bsdtar, are missing: " << rar;
  }
  // The codec library lists the item; its bytes come from libarchive.
  auto a = OpenArchive(rar / "test_read_format_rar5_compressed.rar");
  ASSERT_TRUE(a);
  ASSERT_EQ(a->itemCount(), 1u);
  const auto bsdtar =
      test::Run("bsdtar -xOf " + Quote((rar / "test_read_format_rar5_compressed.rar").string()) + " test.bin");
  ASSERT_EQ(bsdtar.exitCode, 0);
  const auto decoded = Read(*a, 0, 0, a->items()[0].size);
  EXPECT_EQ(std::string(decoded.begin(), decoded.end()), bsdtar.output);
  EXPECT_TRUE(messages_.All().empty());
  a.reset();

  // Neither library decodes it: the message, and zeros.
  auto bad = OpenArchive(rar / "test_read_format_rar5_bad_tables.rar");
  ASSERT_TRUE(bad);
  ASSERT_GE(bad->itemCount(), 1u);
  const uint64_t size = std::min<uint64_t>(bad->items()[0].size, 1200);
  EXPECT_EQ(Read(*bad, 0, 0, size), std::vector<uint8_t>(size, 0));
  // The extraction worker posts the message after it has answered the read.
  ASSERT_TRUE(messages_.WaitForCount(1));
  auto all = messages_.All();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].reasonTextId, 670u);
  EXPECT_NE(Utf8(all[0].text).find(":::Unsupported method!"), std::string::npos) << Utf8(all[0].text);
  bad.reset();

  // Stored RAR items extract; a volume set is found from its first part.
  auto stored = OpenArchive(rar / "test_read_format_rar5_stored.rar");
  ASSERT_TRUE(stored);
  const auto hello = Read(*stored, 0, 0, stored->items()[0].size);
  EXPECT_NE(std::string(hello.begin(), hello.end()).find("hello"), std::string::npos);
  stored.reset();
  auto multi = OpenArchive(rar / "test_rar_multivolume_uncompressed_files.part01.rar");
  ASSERT_TRUE(multi);
  EXPECT_GE(multi->volumes().size(), 9u);
  const int html = ItemIndex(*multi, u"testdir/testsubdir/LibarchiveAddingTest2.html");
  ASSERT_GE(html, 0);
  const fs::path expected = path("by7z");
  ASSERT_TRUE(SevenZipExtract(rar / "test_rar_multivolume_uncompressed_files.part01.rar", expected, ""));
  EXPECT_EQ(Read(*multi, html, 0, multi->items()[static_cast<size_t>(html)].size),
            ReadFileBytes(expected / "testdir" / "testsubdir" / "LibarchiveAddingTest2.html"));
  EXPECT_EQ(messages_.All().size(), 1u);
}

TEST_F(ArchiveExtract, CloseWhileTheWorkerExtractsAndStoreErrors) {
  MakeTree(true);
  ASSERT_TRUE(SevenZipAdd(src_, path("n.7z").string(), "-t7z -ms=off -mx=1", "big"));
  {
    // Closing right after a first small read stops the extraction that is still running.
    auto a = OpenArchive(path("n.7z"));
    ASSERT_TRUE(a);
    Read(*a, ItemIndex(*a, u"big/ten.bin"), 0, 1);
  }
  EXPECT_TRUE(StoreEmpty());

  // A store folder that does not exist: the message names it and the bytes read as zeros.
  archive::OpenRequest r;
  r.path = path("n.7z").string();
  r.installDir = KV_INSTALL_DIR;
  r.storeFolder = path("missing").string();
  r.messages = &messages_;
  auto a = archive::MountedArchive::Open(r, nullptr);
  ASSERT_TRUE(a);
  EXPECT_EQ(Read(*a, ItemIndex(*a, u"big/ten.bin"), 0, 100), std::vector<uint8_t>(100, 0));
  const auto all = messages_.All();
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all[0].textId, 370u);
  EXPECT_EQ(Utf8(all[0].text), "Error creating temporary files in '" + path("missing").string() + "'.");
}

TEST_F(ArchiveExtract, StoredBlockHookIsCalledForExtractedData) {
  MakeTree(true);
  ASSERT_TRUE(SevenZipAdd(src_, path("n.zip").string(), "-tzip -mx=1", "big"));
  auto a = OpenArchive(path("n.zip"));
  ASSERT_TRUE(a);
  std::atomic<int> blocks{0};
  a->SetStoredBlockHook([&] { ++blocks; });
  Read(*a, ItemIndex(*a, u"big/ten.bin"), 0, ten_.size());
  EXPECT_GE(blocks.load(), 10);
}

}  // namespace
}  // namespace kv::test
