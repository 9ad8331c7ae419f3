// Archives made by `7z a` become bridge images that `7z x` extracts identically to the source.
#include "tests/archive/archive_test_support.h"

namespace kv::test {
namespace {

class ArchiveImage : public ArchiveTest {
 protected:
  // Opens `archiveFile`, writes its image and checks both file-system views against `expected`.
  void ExpectImageMatches(const fs::path& archiveFile, const fs::path& expected,
                          std::optional<std::u16string> password = std::nullopt) {
    archive::OpenError error;
    auto a = OpenArchive(archiveFile, password, &error);
    ASSERT_TRUE(a) << archiveFile << " error " << static_cast<int>(error);
    const fs::path image = path(archiveFile.filename().string() + ".iso");
    ASSERT_TRUE(WriteImage(*a, image, archiveFile.string()));
    for (const std::string view : {"-tudf", "-tiso"}) {
      const fs::path out = path(archiveFile.filename().string() + view);
      ASSERT_TRUE(SevenZipExtract(image, out, view)) << view;
      EXPECT_EQ(CompareTrees(expected, out), "") << archiveFile << " " << view;
    }
    EXPECT_TRUE(messages_.All().empty());
    EXPECT_FALSE(a->StoreFiles().empty());
    a.reset();
    EXPECT_TRUE(StoreEmpty()) << "store files left after close";
  }
};

TEST_F(ArchiveImage, EveryKindOfArchiveReadsBackIdentically) {
  const fs::path src = path("src");
  MakeSourceTree(src, false);
  struct Kind {
    std::string name;
    std::string switches;
  };
  const std::vector<Kind> kinds = {
      {"t.zip", "-tzip -mx=1"},
      {"t.7z", "-t7z -ms=off -mx=1"},
      {"solid.7z", "-t7z -ms=on -mx=1"},
      {"t.tar", "-ttar"},
      {"t.wim", "-twim"},
      {"enc.7z", "-t7z -mx=1 -pgood -mhe=on"},
      {"enc.zip", "-tzip -pgood"},
  };
  for (const auto& k : kinds) {
    SCOPED_TRACE(k.name);
    ASSERT_TRUE(SevenZipAdd(src, path(k.name).string(), k.switches, "*"));
    const bool encrypted = k.name.rfind("enc", 0) == 0;
    ExpectImageMatches(path(k.name), src, encrypted ? std::optional<std::u16string>(u"good") : std::nullopt);
  }
}

TEST_F(ArchiveImage, NestedAndSplitArchivesOpenTheInnerArchive) {
  const fs::path src = path("src");
  MakeSourceTree(src, false);
  ASSERT_TRUE(SevenZipAdd(src, path("t.tar").string(), "-ttar", "*"));
  ASSERT_TRUE(SevenZipAdd(dir_.path(), path("t.tar.xz").string(), "-txz", "t.tar"));
  ASSERT_TRUE(SevenZipAdd(src, path("vol.7z").string(), "-t7z -mx=0 -v300k", "*"));
  ASSERT_TRUE(fs::exists(path("vol.7z.003")));

  auto xz = OpenArchive(path("t.tar.xz"));
  ASSERT_TRUE(xz);
  EXPECT_EQ(Utf8(xz->formatName()), "xz");
  EXPECT_EQ(Utf8(xz->innerFormatName()), "tar");
  xz.reset();
  ExpectImageMatches(path("t.tar.xz"), src);

  auto split = OpenArchive(path("vol.7z.001"));
  ASSERT_TRUE(split);
  EXPECT_EQ(Utf8(split->formatName()), "Split");
  EXPECT_EQ(Utf8(split->innerFormatName()), "7z");
  EXPECT_GE(split->volumes().size(), 2u);
  split.reset();
  ExpectImageMatches(path("vol.7z.001"), src);
}

TEST_F(ArchiveImage, CompressedTarsMountAsTheirTrees) {
  const fs::path src = path("src");
  MakeSourceTree(src, false);
  ASSERT_EQ(test::Run("cd " + Quote(src.string()) + " && tar cf " + Quote(path("t.tar").string()) + " *").exitCode, 0);
  struct Kind {
    std::string file, command, format;
  };
  for (const Kind& k :
       {Kind{"t.tar.gz", "gzip -1 -c", "gzip"}, Kind{"t.tgz", "gzip -c", "gzip"},
        Kind{"t.tar.bz2", "bzip2 -1 -c", "bzip2"}, Kind{"t.tar.xz", "xz -0 -c", "xz"},
        Kind{"t.tar.zst", "zstd -q -c", "zstd"}, Kind{"t.tar.lzma", "xz --format=lzma -0 -c", "lzma"}}) {
    SCOPED_TRACE(k.file);
    if (!HaveTool(k.command.substr(0, k.command.find(' ')))) continue;
    ASSERT_EQ(
        test::Run(k.command + " " + Quote(path("t.tar").string()) + " > " + Quote(path(k.file).string())).exitCode, 0);
    auto a = OpenArchive(path(k.file));
    ASSERT_TRUE(a);
    EXPECT_EQ(Utf8(a->formatName()), k.format);
    EXPECT_EQ(Utf8(a->innerFormatName()), "tar");
    ASSERT_NE(a->decompressor(), nullptr);
    EXPECT_EQ(a->decompressor()->size(), fs::file_size(path("t.tar")));
    a.reset();
    ExpectImageMatches(path(k.file), src);
  }
}

TEST_F(ArchiveImage, EmptyItemsDirectoryOnlyEntriesAndDuplicatePaths) {
  ZipWriter zip;
  zip.Add("only/", {});
  zip.Add("only/deeper/", {});
  zip.Add("empty.txt", {});
  zip.Add("dup.txt", {'f', 'i', 'r', 's', 't'});
  zip.Add("dup.txt", {'s', 'e', 'c', 'o', 'n', 'd'});
  zip.Add("implied/dirs/file.txt", {'x'});
  WriteFileBytes(path("e.zip"), zip.Finish());

  auto a = OpenArchive(path("e.zip"));
  ASSERT_TRUE(a);
  ASSERT_EQ(a->itemCount(), 6u);
  EXPECT_TRUE(a->items()[0].isDirectory);
  // An empty item is read without extraction: the worker never starts.
  uint8_t byte = 0xAA;
  EXPECT_EQ(a->ReadItemBytes(2, &byte, 0, 1), 0u);
  EXPECT_FALSE(a->WorkerStarted());

  const fs::path image = path("e.iso");
  ASSERT_TRUE(WriteImage(*a, image, "e.zip"));
  const fs::path out = path("out");
  ASSERT_TRUE(SevenZipExtract(image, out, "-tudf"));
  EXPECT_TRUE(fs::is_directory(out / "only" / "deeper"));
  EXPECT_EQ(fs::file_size(out / "empty.txt"), 0u);
  EXPECT_EQ(ReadFileBytes(out / "implied" / "dirs" / "file.txt"), std::vector<uint8_t>{'x'});
  // Both duplicates are there; the later item keeps the plain name.
  EXPECT_EQ(ReadFileBytes(out / "dup.txt"), (std::vector<uint8_t>{'s', 'e', 'c', 'o', 'n', 'd'}));
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(out))
    if (e.is_regular_file()) ++files;
  EXPECT_EQ(files, 3u);
}

TEST_F(ArchiveImage, ImageOfArchiveWithOnlyEmptyItemsNeverStartsTheWorker) {
  ZipWriter zip;
  zip.Add("a/", {});
  zip.Add("a/empty1", {});
  zip.Add("empty2", {});
  WriteFileBytes(path("z.zip"), zip.Finish());
  auto a = OpenArchive(path("z.zip"));
  ASSERT_TRUE(a);
  ASSERT_TRUE(WriteImage(*a, path("z.iso"), "z.zip"));
  EXPECT_FALSE(a->WorkerStarted());
  EXPECT_TRUE(a->ExtractionLog().empty());
  EXPECT_TRUE(StoreEmpty());
}

TEST_F(ArchiveImage, VolumeIdentifierIsTheFileNameWithoutFolderAndExtension) {
  EXPECT_EQ(archive::VolumeIdentifierFor("/x/y/My Disc.zip"), u"My Disc");
  EXPECT_EQ(archive::VolumeIdentifierFor("/x/y/set.7z.001"), u"set.7z");
  EXPECT_EQ(archive::VolumeIdentifierFor("noext"), u"noext");
  EXPECT_EQ(archive::VolumeIdentifierFor("/a/" + std::string(600, 'n') + ".zip").size(), 512u);
}

}  // namespace
}  // namespace kv::test
