// RAR archives of the shared corpus: every one that bsdtar (libarchive) extracts reads back with
// the same bytes, though Debian's codec library has no RAR codec.
#include <zlib.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "tests/archive/archive_test_support.h"

namespace kv::test {
namespace {

class RarCorpus : public ArchiveTest {
 protected:
  void SetUp() override {
    ArchiveTest::SetUp();
    if (!fs::is_directory(corpus_) || !HaveTool("bsdtar") || !HaveTool("7z")) GTEST_SKIP() << "corpus or tools missing";
  }
  // What bsdtar extracts of `archive` into `folder`; false when it refuses the archive (or, on
  // two hostile files, writes without end).
  bool Bsdtar(const fs::path& archive, const fs::path& folder) {
    fs::create_directories(folder);
    return test::Run("timeout 5 bsdtar -xf " + Quote(archive.string()) + " -C " + Quote(folder.string())).exitCode ==
               0 &&
           !fs::is_empty(folder);
  }
  // Regular files of bsdtar's tree (links are the codec library's business: it lists a link as
  // a small file of its own), by path.
  static std::map<std::string, fs::path> RegularFiles(const fs::path& folder) {
    std::map<std::string, fs::path> files;
    for (const auto& f : fs::recursive_directory_iterator(folder))
      if (f.is_regular_file() && !f.is_symlink() && fs::hard_link_count(f.path()) == 1)
        files[f.path().lexically_relative(folder).generic_string()] = f.path();
    return files;
  }
  const fs::path corpus_ = fs::path(KV_SOURCE_DIR) / ".." / "shared" / "testdata" / "rar";
};

TEST_F(RarCorpus, EveryItemLibarchiveExtractsReadsBackIdentically) {
  size_t archives = 0, compared = 0;
  for (const auto& e : fs::directory_iterator(corpus_)) {
    const std::string name = e.path().filename().string();
    // Sets of volumes are read from their first part elsewhere; bsdtar reads single files only.
    if (name.find(".part") != std::string::npos || e.path().extension() != ".rar") continue;
    // bsdtar writes these two without end (cut off by the timeout, so never compared): asking
    // it again on every run would only cost the time.
    if (name == "test_read_format_rar5_bad_window_sz_in_mltarc_file.rar" || name == "test_read_format_rar5_dirdata.rar")
      continue;
    const fs::path expected = path(name + ".bsdtar");
    if (!Bsdtar(e.path(), expected)) continue;
    SCOPED_TRACE(name);
    auto a = OpenArchive(e.path());
    ASSERT_TRUE(a);
    ++archives;
    const auto files = RegularFiles(expected);
    for (uint32_t i = 0; i < a->itemCount(); ++i) {
      const auto it = files.find(Utf8(a->items()[i].path));
      if (a->items()[i].isDirectory || it == files.end()) continue;
      const auto want = ReadFileBytes(it->second);
      if (want.size() != a->items()[i].size) {
        ADD_FAILURE() << it->first << ": listed with " << a->items()[i].size << " bytes, bsdtar gives " << want.size();
        continue;
      }
      // An item the codec library fails on for another reason (a password, say) keeps its
      // message and its own bytes.
      std::vector<uint8_t> got(a->items()[i].size);
      got.resize(a->ReadItemBytes(i, got.data(), 0, got.size()));
      // Bytes are answered as they stream; a CRC or data error is known only when the item ends.
      for (int wait = 0; a->ExtractionRunning() && wait < 3000; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      bool failed = false;
      for (const auto& m : messages_.All()) failed |= archive::Utf16ToUtf8(m.text).find(it->first) != std::string::npos;
      if (failed) continue;
      EXPECT_EQ(got, want) << it->first;
      ++compared;
    }
  }
  EXPECT_GE(archives, 25u);
  EXPECT_GE(compared, 50u);
}

TEST_F(RarCorpus, ImagesOfRar4Rar5AndSolidArchivesExtractLikeBsdtar) {
  for (const std::string name : {"test_read_format_rar_compress_normal.rar", "test_read_format_rar5_solid.rar",
                                 "test_read_format_rar_solid.rar", "test_read_format_rar5_win32.rar"}) {
    SCOPED_TRACE(name);
    const fs::path archive = corpus_ / name;
    if (!fs::exists(archive)) continue;
    const fs::path expected = path(name + ".bsdtar"), out = path(name + ".out"), image = path(name + ".iso");
    ASSERT_TRUE(Bsdtar(archive, expected));
    const auto built =
        test::Run(Quote(ProgramPath("kvimage")) + " build " + Quote(archive.string()) + " -o " + Quote(image.string()));
    ASSERT_EQ(built.exitCode, 0) << built.output;
    EXPECT_EQ(built.output.find("Failed reading"), std::string::npos) << built.output;
    ASSERT_EQ(test::Run("7z x -y -o" + Quote(out.string()) + " " + Quote(image.string())).exitCode, 0);
    size_t compared = 0;
    for (const auto& [relative, file] : RegularFiles(expected)) {
      EXPECT_EQ(ReadFileBytes(out / relative), ReadFileBytes(file)) << relative;
      ++compared;
    }
    EXPECT_GT(compared, 0u);
  }
}

// A non-solid archive of compressed items (RAR 5 and RAR 4): reading them one after another, in
// either order, runs one libarchive pass, not one per item.
TEST_F(RarCorpus, OnePassOfLibarchiveServesEveryItemOfANonSolidArchive) {
  for (const std::string name : {"test_read_format_rar5_win32.rar", "test_read_format_rar_compress_normal.rar"}) {
    for (const bool backwards : {false, true}) {
      SCOPED_TRACE(name + (backwards ? " backwards" : ""));
      const fs::path expected = path(name + ".bsdtar");
      if (!fs::exists(expected)) {
        ASSERT_TRUE(Bsdtar(corpus_ / name, expected));
      }
      auto a = OpenArchive(corpus_ / name);
      ASSERT_TRUE(a);
      ASSERT_FALSE(a->solid());
      const auto files = RegularFiles(expected);
      size_t compared = 0;
      for (uint32_t k = 0; k < a->itemCount(); ++k) {
        const uint32_t i = backwards ? a->itemCount() - 1 - k : k;
        const auto it = files.find(Utf8(a->items()[i].path));
        if (a->items()[i].isDirectory || it == files.end()) continue;
        std::vector<uint8_t> got(a->items()[i].size);
        got.resize(a->ReadItemBytes(i, got.data(), 0, got.size()));
        EXPECT_EQ(got, ReadFileBytes(it->second)) << it->first;
        ++compared;
      }
      EXPECT_GE(compared, 3u);
      EXPECT_EQ(a->LibarchivePasses(), 1u);
      EXPECT_TRUE(messages_.All().empty());
    }
  }
}

TEST_F(RarCorpus, VolumeSetsReadBackWithTheChecksumsTheyList) {
  // bsdtar reads no volume sets; the CRC that 7z lists for each item judges the bytes instead.
  size_t checked = 0;
  for (const std::string name :
       {"test_rar_multivolume_multiple_files.part1.rar", "test_rar_multivolume_single_file.part1.rar",
        "test_read_format_rar5_multiarchive.part01.rar", "test_read_format_rar5_multiarchive_solid.part01.rar"}) {
    SCOPED_TRACE(name);
    const fs::path archive = corpus_ / name;
    std::map<std::string, uint32_t> listed;
    std::istringstream lines(test::Run("7z l -slt " + Quote(archive.string())).output);
    std::string line, item;
    while (std::getline(lines, line)) {
      if (line.rfind("Path = ", 0) == 0) item = line.substr(7);
      if (line.rfind("CRC = ", 0) == 0 && line.size() > 6) listed[item] = std::stoul(line.substr(6), nullptr, 16);
    }
    auto a = OpenArchive(archive);
    ASSERT_TRUE(a);
    EXPECT_GE(a->volumes().size(), 1u);
    for (uint32_t i = 0; i < a->itemCount(); ++i) {
      const auto crc = listed.find(Utf8(a->items()[i].path));
      if (a->items()[i].isDirectory || crc == listed.end()) continue;
      std::vector<uint8_t> bytes(a->items()[i].size);
      ASSERT_EQ(a->ReadItemBytes(i, bytes.data(), 0, bytes.size()), bytes.size());
      EXPECT_EQ(crc32(0, bytes.data(), static_cast<uInt>(bytes.size())), crc->second) << crc->first;
      ++checked;
    }
  }
  EXPECT_TRUE(messages_.All().empty());
  EXPECT_GE(checked, 6u);
}

}  // namespace
}  // namespace kv::test
