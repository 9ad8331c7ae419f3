// kvimage on archives: `build` writes the bridge image, `aread` reads sectors and extracts only
// the items they touch.
#include <sstream>

#include "tests/archive/archive_test_support.h"

namespace kv::test {
namespace {

class KvimageArchive : public ArchiveTest {
 protected:
  std::string Kvimage(const std::string& args, int* exitCode) {
    const auto r = kv::test::Run(Quote(ProgramPath("kvimage")) + " " + args);
    *exitCode = r.exitCode;
    return r.output;
  }
  // The extent of `isoName` (e.g. "ONE.BIN") in the ISO listing of `image`, or -1.
  static long Extent(const fs::path& image, const std::string& isoName) {
    const auto listing = kv::test::Run("isoinfo -l -i " + Quote(image.string())).output;
    std::istringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) {
      // "...  [    283 00]  NAME"
      const size_t open = line.find('[');
      const size_t close = line.find(']', open == std::string::npos ? 0 : open);
      if (open == std::string::npos || close == std::string::npos) continue;
      std::string name = line.substr(close + 1);
      name.erase(0, name.find_first_not_of(' '));
      name.erase(name.find_last_not_of(' ') + 1);
      if (name == isoName) return std::stol(line.substr(open + 1, close - open - 1));
    }
    return -1;
  }
};

TEST_F(KvimageArchive, BuildWritesTheImageAndAreadExtractsOnlyTouchedItems) {
  const fs::path src = path("src");
  MakeSourceTree(src, false);
  ASSERT_TRUE(SevenZipAdd(src, path("t.7z").string(), "-t7z -ms=off -mx=1", "*"));
  int rc = 0;
  const std::string built =
      Kvimage("build " + Quote(path("t.7z").string()) + " -o " + Quote(path("t.iso").string()), &rc);
  ASSERT_EQ(rc, 0) << built;
  ASSERT_TRUE(SevenZipExtract(path("t.iso"), path("out"), "-tudf"));
  EXPECT_EQ(CompareTrees(src, path("out")), "");
  EXPECT_NE(kv::test::Run("isoinfo -d -i " + Quote(path("t.iso").string())).output.find("Volume id: t"),
            std::string::npos);

  // The metadata sectors need no extraction.
  std::string out = Kvimage("aread " + Quote(path("t.7z").string()) + " --first 0 --count 64 --verbose -o " +
                                Quote(path("meta.bin").string()),
                            &rc);
  ASSERT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("extracted: nothing"), std::string::npos) << out;
  EXPECT_EQ(fs::file_size(path("meta.bin")), 64u * 2048u);

  // One sector of one file extracts that file and nothing else.
  const long extent = Extent(path("t.iso"), "ONE.BIN");
  ASSERT_GT(extent, 0);
  out = Kvimage("aread " + Quote(path("t.7z").string()) + " --first " + std::to_string(extent) +
                    " --count 1 --verbose -o " + Quote(path("one.bin").string()),
                &rc);
  ASSERT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("extracted: item"), std::string::npos) << out;
  EXPECT_NE(out.find("'docs/one.bin'"), std::string::npos) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;  // the summary and one extraction
  const auto sector = ReadFileBytes(path("one.bin"));
  const auto expected = PatternBytes(5000, 1);
  ASSERT_EQ(sector.size(), 2048u);
  EXPECT_TRUE(std::equal(sector.begin(), sector.end(), expected.begin()));

  // The whole image through aread holds the same tree; only the build times differ.
  out = Kvimage("aread " + Quote(path("t.7z").string()) + " -o " + Quote(path("whole.iso").string()), &rc);
  ASSERT_EQ(rc, 0) << out;
  EXPECT_EQ(fs::file_size(path("whole.iso")), fs::file_size(path("t.iso")));
  ASSERT_TRUE(SevenZipExtract(path("whole.iso"), path("whole"), "-tiso"));
  EXPECT_EQ(CompareTrees(src, path("whole")), "");
}

TEST_F(KvimageArchive, PasswordsAndFailures) {
  const fs::path src = path("src");
  MakeSourceTree(src, false);
  ASSERT_TRUE(SevenZipAdd(src, path("e.7z").string(), "-t7z -mx=1 -psecret", "*"));
  int rc = 0;
  std::string out = Kvimage(
      "aread " + Quote(path("e.7z").string()) + " --password secret -o " + Quote(path("e.iso").string()) + " --json",
      &rc);
  ASSERT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("{\"extracted\": \"all\""), std::string::npos) << out;
  ASSERT_TRUE(SevenZipExtract(path("e.iso"), path("out"), "-tudf"));
  EXPECT_EQ(CompareTrees(src, path("out")), "");

  // build takes the password as well.
  out =
      Kvimage("build " + Quote(path("e.7z").string()) + " --password secret -o " + Quote(path("b.iso").string()), &rc);
  ASSERT_EQ(rc, 0) << out;
  ASSERT_TRUE(SevenZipExtract(path("b.iso"), path("bout"), "-tudf"));
  EXPECT_EQ(CompareTrees(src, path("bout")), "");

  // From a file (a Windows line end is no part of it) or standard input, out of the process list.
  WriteFileText(path("pw.txt"), "secret\r\nsecond line\n");
  out = Kvimage("build " + Quote(path("e.7z").string()) + " --password-file " + Quote(path("pw.txt").string()) +
                    " -o " + Quote(path("f.iso").string()),
                &rc);
  ASSERT_EQ(rc, 0) << out;
  ASSERT_TRUE(SevenZipExtract(path("f.iso"), path("fout"), "-tudf"));
  EXPECT_EQ(CompareTrees(src, path("fout")), "");
  const auto piped =
      kv::test::Run("printf 'secret\\n' | " + Quote(ProgramPath("kvimage")) + " aread " + Quote(path("e.7z").string()) +
                    " --password-file - -o " + Quote(path("s.iso").string()) + " --json");
  EXPECT_EQ(piped.exitCode, 0) << piped.output;
  EXPECT_NE(piped.output.find("{\"extracted\": \"all\""), std::string::npos) << piped.output;
  EXPECT_EQ(piped.output.find("Failed reading"), std::string::npos) << piped.output;
  out = Kvimage(
      "aread " + Quote(path("e.7z").string()) + " --password secret --password-file " + Quote(path("pw.txt").string()),
      &rc);
  EXPECT_EQ(rc, 2);
  EXPECT_NE(out.find("give either --password or --password-file"), std::string::npos) << out;
  out = Kvimage("build " + Quote(path("e.7z").string()) + " --password-file " + Quote(path("none.txt").string()) +
                    " -o " + Quote(path("n.iso").string()),
                &rc);
  EXPECT_EQ(rc, 2);
  EXPECT_NE(out.find("none.txt: cannot be read"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(path("n.iso")));
  WriteFileText(path("long.txt"), std::string(5000, 'x'));
  out = Kvimage("aread " + Quote(path("e.7z").string()) + " --password-file " + Quote(path("long.txt").string()), &rc);
  EXPECT_EQ(rc, 2);
  EXPECT_NE(out.find("long.txt: the password is longer than 4096 bytes"), std::string::npos) << out;

  out = Kvimage("aread " + Quote(path("e.7z").string()) + " --password wrong -o " + Quote(path("w.iso").string()), &rc);
  EXPECT_EQ(rc, 0);
  // About one salt in 300 lets the wrong password decode to data that only fails its CRC.
  EXPECT_TRUE(out.find("Failed reading '?:readme.txt'.:::Data error or wrong password!") != std::string::npos ||
              out.find("Failed reading '?:readme.txt'.:::CRC failed!") != std::string::npos)
      << out;

  // (Text of base64 letters only would open: the library's Base64 handler takes it.)
  WriteFileText(path("plain.txt"), "plain text, not an archive\n");
  out = Kvimage("aread " + Quote(path("plain.txt").string()), &rc);
  EXPECT_EQ(rc, 1);
  EXPECT_NE(out.find("not an archive"), std::string::npos) << out;
  out = Kvimage("build " + Quote(path("plain.txt").string()) + " -o " + Quote(path("p.iso").string()), &rc);
  EXPECT_EQ(rc, 1);
  out = Kvimage("aread " + Quote(path("e.7z").string()) + " --count -3", &rc);
  EXPECT_EQ(rc, 2);
}

}  // namespace
}  // namespace kv::test
