// Corrupt, truncated and hostile archives: the open fails cleanly or the items read as zeros
// with a message; the store is always removed and nothing is written outside it.
#include <set>

#include "tests/archive/archive_test_support.h"

namespace kv::test {
namespace {

class ArchiveHostile : public ArchiveTest {
 protected:
  // Reads every item whole; returns the number of items read.
  static size_t ReadAll(archive::MountedArchive& a) {
    size_t n = 0;
    std::vector<uint8_t> buffer;
    for (uint32_t i = 0; i < a.itemCount(); ++i) {
      const uint64_t size = std::min<uint64_t>(a.items()[i].size, 64 << 20);
      buffer.assign(size, 0);
      a.ReadItemBytes(i, buffer.data(), 0, size);
      ++n;
    }
    return n;
  }
  std::set<std::string> Listing(const fs::path& root) {
    std::set<std::string> names;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
      names.insert(it->path().lexically_relative(root).generic_string());
    return names;
  }
};

TEST_F(ArchiveHostile, FilesThatAreNoArchiveFailToOpen) {
  WriteFileText(path("empty.zip"), "");
  WriteFileText(path("notes.txt"), "just some words, nothing to see here\n");
  WriteFileBytes(path("noise.7z"), PatternBytes(70000, 9));
  for (const std::string name : {"empty.zip", "notes.txt", "noise.7z", "missing.zip"}) {
    archive::OpenError error = archive::OpenError::kNone;
    EXPECT_FALSE(OpenArchive(path(name), std::nullopt, &error)) << name;
    EXPECT_EQ(error, name == "missing.zip" ? archive::OpenError::kCannotOpenFile : archive::OpenError::kNoFormat)
        << name;
  }
  archive::OpenError error;
  archive::OpenRequest r;
  r.path = path("notes.txt").string();
  r.installDir = path("nowhere").string();
  r.driveIndex = 22;
  EXPECT_FALSE(archive::MountedArchive::Open(r, &error));
  EXPECT_EQ(error, archive::OpenError::kNoLibrary);
  r.driveIndex = 23;
  EXPECT_FALSE(archive::MountedArchive::Open(r, &error));
  EXPECT_EQ(error, archive::OpenError::kBadArguments);
  EXPECT_TRUE(StoreEmpty());
}

TEST_F(ArchiveHostile, TruncatedCorruptAndBadCrcArchives) {
  const fs::path src = path("src");
  MakeSourceTree(src, false);
  ASSERT_TRUE(SevenZipAdd(src, path("good.7z").string(), "-t7z -ms=off -mx=1", "*"));
  ASSERT_TRUE(SevenZipAdd(src, path("good.zip").string(), "-tzip -mx=1", "*"));
  for (const std::string name : {"good.7z", "good.zip"}) {
    const auto bytes = ReadFileBytes(path(name));
    // Cut in half, and with bytes flipped all over.
    WriteFileBytes(path("cut-" + name), std::vector<uint8_t>(bytes.begin(), bytes.begin() + bytes.size() / 2));
    auto flipped = bytes;
    for (size_t i = 40; i < flipped.size(); i += 997) flipped[i] ^= 0x5A;
    WriteFileBytes(path("flip-" + name), flipped);
    for (const std::string& bad : {"cut-" + name, "flip-" + name}) {
      SCOPED_TRACE(bad);
      auto a = OpenArchive(path(bad));
      if (a) {
        ReadAll(*a);
        a.reset();
      }
      EXPECT_TRUE(StoreEmpty());
    }
  }

  ZipWriter zip;
  zip.Add("fine.txt", {'o', 'k'});
  zip.Add("broken.txt", {'b', 'a', 'd'}, true);
  WriteFileBytes(path("crc.zip"), zip.Finish());
  auto a = OpenArchive(path("crc.zip"));
  ASSERT_TRUE(a);
  std::vector<uint8_t> b(3);
  const size_t before = messages_.All().size();
  a->ReadItemBytes(1, b.data(), 0, 3);
  ASSERT_TRUE(messages_.WaitForCount(before + 1));
  EXPECT_TRUE(a->ItemFailed(1));
  const auto all = messages_.All();
  EXPECT_EQ(all.back().reasonTextId, 680u);
  EXPECT_EQ(Utf8(all.back().text), "Failed reading 'E:broken.txt'.:::CRC failed!");
  a->ReadItemBytes(0, b.data(), 0, 2);
  EXPECT_FALSE(a->ItemFailed(0));
  a.reset();
  EXPECT_TRUE(StoreEmpty());
}

TEST_F(ArchiveHostile, MissingVolume) {
  const fs::path src = path("src");
  MakeSourceTree(src, false);
  ASSERT_TRUE(SevenZipAdd(src, path("v.7z").string(), "-t7z -mx=0 -v300k", "*"));
  ASSERT_TRUE(fs::remove(path("v.7z.002")));
  auto a = OpenArchive(path("v.7z.001"));
  if (a) {
    EXPECT_TRUE(a->volumes().empty()) << "no volume after the gap is used";
    ReadAll(*a);
    a.reset();
  }
  EXPECT_TRUE(StoreEmpty());
}

TEST_F(ArchiveHostile, HostileNamesStayInsideTheImageAndNothingIsWrittenOutsideTheStore) {
  ZipWriter zip;
  const std::vector<std::string> names = {
      "../../escape.txt",  "/abs/evil.txt",        "a/../../b.txt", "./dot/x.txt",      "C:\\win\\evil.txt",
      "odd \x01\x7f name", "  spaces  .txt",       "star*?<>|.txt", "dup/./../dup.txt", "..",
      "trailing/slash/",   std::string(5000, 'L'),
  };
  for (size_t i = 0; i < names.size(); ++i) zip.Add(names[i], {static_cast<uint8_t>('A' + i)});
  WriteFileBytes(path("hostile.zip"), zip.Finish());
  // A path of 5,000 characters made of 2,500 nested folders.
  ZipWriter deepZip;
  std::string deep;
  while (deep.size() < 5000) deep += "d/";
  deepZip.Add(deep + "deep.txt", {'z'});
  WriteFileBytes(path("deep.zip"), deepZip.Finish());
  const auto before = Listing(dir_.path());

  fs::create_directories(path("img"));
  for (const std::string name : {"hostile.zip", "deep.zip"}) {
    SCOPED_TRACE(name);
    auto a = OpenArchive(path(name));
    ASSERT_TRUE(a);
    EXPECT_EQ(ReadAll(*a), a->itemCount());
    std::vector<uint8_t> byte(1);
    for (uint32_t i = 0; i < a->itemCount(); ++i) {
      if (a->items()[i].size == 1) {
        a->ReadItemBytes(i, byte.data(), 0, 1);
        EXPECT_NE(byte[0], 0) << Utf8(a->items()[i].path);
      }
    }
    EXPECT_TRUE(messages_.All().empty());
    const fs::path image = path("img") / (name + ".iso");
    ASSERT_TRUE(WriteImage(*a, image, name));
    a.reset();
    EXPECT_TRUE(StoreEmpty());
  }
  // An independent reader sees a well-formed image (it refuses 2,500 folder levels by design).
  EXPECT_EQ(kv::test::Run("7z t -tudf " + Quote(path("img/hostile.zip.iso").string())).exitCode, 0);
  EXPECT_EQ(kv::test::Run("7z t -tiso " + Quote(path("img/hostile.zip.iso").string())).exitCode, 0);
  // Only the image folder (and the platform's list) is new; the store holds nothing.
  auto after = Listing(dir_.path());
  for (auto it = after.begin(); it != after.end();)
    it = (it->rfind("img", 0) == 0 || it->rfind("platform", 0) == 0) ? after.erase(it) : std::next(it);
  EXPECT_EQ(after, before);
}

TEST_F(ArchiveHostile, HundredThousandEntries) {
  ZipWriter zip;
  for (int i = 0; i < 100000; ++i) zip.Add("f/" + std::to_string(i % 100) + "/" + std::to_string(i), {});
  WriteFileBytes(path("many.zip"), zip.Finish());
  auto a = OpenArchive(path("many.zip"));
  ASSERT_TRUE(a);
  EXPECT_EQ(a->itemCount(), 100000u);
  EXPECT_EQ(Utf8(a->items()[99999].path), "f/99/99999");
  ASSERT_TRUE(WriteImage(*a, path("many.iso"), "many.zip"));
  EXPECT_FALSE(a->WorkerStarted());
}

}  // namespace
}  // namespace kv::test
