// Images written by `kvimage build` from generated folders, judged by independent readers: 7z
// (UDF and ISO views, the only ones that verify tags, CRCs and both-endian fields), isoinfo,
// xorriso, iso-info and udfinfo.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "tests/fixtures/test_support.h"

namespace kv::test {
namespace {

namespace fs = std::filesystem;

// A test body's own Run() would hide the shell helper.
CommandResult Sh(const std::string& command) {
  return kv::test::Run(command);
}

bool HaveJudges() {
  for (const char* t : {"7z", "isoinfo", "xorriso", "iso-info", "udfinfo"})
    if (!HaveTool(t)) return false;
  return true;
}

std::string Kvimage() {
  return ProgramPath("kvimage");
}

CommandResult Build(const fs::path& folder, const fs::path& image) {
  return Sh("TZ=UTC " + Quote(Kvimage()) + " build " + Quote(folder.string()) + " -o " + Quote(image.string()));
}

struct Tree {
  std::set<std::string> paths;  // "/a", "/a/b.txt": every folder and file below the root
  size_t files = 0;
  size_t folders = 0;
};

Tree Describe(const fs::path& root) {
  Tree t;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    t.paths.insert("/" + e.path().lexically_relative(root).generic_string());
    (e.is_directory() ? t.folders : t.files)++;
  }
  return t;
}

void MakeTree(const fs::path& root) {
  fs::create_directories(root / "Ünïcödé" / "日本語");
  WriteFileBytes(root / "Ünïcödé" / "日本語" / "ファイル.txt", PatternBytes(77, 1));
  fs::create_directories(root / "cases");
  WriteFileText(root / "cases" / "Case.txt", "1");
  WriteFileText(root / "cases" / "case.txt", "22");
  WriteFileText(root / "cases" / "CASE.TXT", "333");
  WriteFileText(root / (std::string(104, 'l') + ".txt"), "long name");
  WriteFileText(root / "empty file", "");
  fs::create_directories(root / "empty folder");
  fs::create_directories(root / "a" / "b" / "c");
  fs::create_directories(root / "many");
  for (int i = 0; i < 300; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "file number %04d with a longer name.dat", i);
    WriteFileBytes(root / "many" / name, PatternBytes(i, i));
  }
  WriteFileBytes(root / "chunks.bin", PatternBytes(100000, 7));
  WriteFileBytes(root / "a" / "sector.bin", PatternBytes(2048, 8));
  WriteFileBytes(root / "a" / "b" / "chunk.bin", PatternBytes(32768, 9));
}

// Entries listed by `isoinfo -l` style output (lines of "d..." or "-..." records, without "."
// and "..").
size_t CountIsoinfoEntries(const std::string& out, std::set<std::string>* names) {
  std::istringstream in(out);
  std::string line;
  size_t n = 0;
  while (std::getline(in, line)) {
    if (line.size() < 60 || (line[0] != 'd' && line[0] != '-')) continue;
    // "[ extent flags]  NAME"; isoinfo prints the multi-extent flag without the bracket.
    const size_t open = line.find('[');
    if (open == std::string::npos) continue;
    std::istringstream fields(line.substr(open + 1));
    std::string extent, flags, name;
    fields >> extent >> flags;
    std::getline(fields >> std::ws, name);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    if (name == "." || name == "..") continue;
    ++n;
    if (names != nullptr) names->insert(name);
  }
  return n;
}

size_t CountIsoInfoEntries(const std::string& out) {
  std::istringstream in(out);
  std::string line;
  size_t n = 0;
  while (std::getline(in, line)) {
    const size_t lsn = line.find("[LSN");
    if (lsn == std::string::npos) continue;
    const std::string tail = line.substr(line.rfind(' ') + 1);
    if (tail != "." && tail != "..") ++n;
  }
  return n;
}

std::set<std::string> XorrisoPaths(const std::string& out) {
  std::set<std::string> paths;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line))
    if (line.size() > 2 && line.front() == '\'' && line.back() == '\'' && line != "'/'")
      paths.insert(line.substr(1, line.size() - 2));
  return paths;
}

std::string UdfinfoValue(const std::string& out, const std::string& key) {
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  return "";
}

TEST(BridgeJudges, GeneratedTreeReadsBackIdenticallyInEveryReader) {
  if (!HaveJudges()) GTEST_SKIP() << "7z, isoinfo, xorriso, iso-info or udfinfo missing";
  TempDir dir;
  const fs::path src = dir / "src", image = dir / "tree.iso";
  MakeTree(src);
  const Tree tree = Describe(src);
  const auto built = Build(src, image);
  ASSERT_EQ(built.exitCode, 0) << built.output;

  for (const char* view : {"udf", "iso"}) {
    const auto t = Sh("7z t -t" + std::string(view) + " " + Quote(image.string()));
    EXPECT_EQ(t.exitCode, 0) << t.output;
    const fs::path out = dir / (std::string("x-") + view);
    const auto x = Sh("7z x -y -t" + std::string(view) + " -o" + Quote(out.string()) + " " + Quote(image.string()));
    ASSERT_EQ(x.exitCode, 0) << x.output;
    // Joliet and UDF both keep these names exactly, so both views give back the whole tree.
    const auto diff = Sh("diff -r " + Quote(src.string()) + " " + Quote(out.string()));
    EXPECT_EQ(diff.exitCode, 0) << view << ": " << diff.output;
  }

  const size_t entries = tree.files + tree.folders;
  const auto iso = Sh("isoinfo -l -i " + Quote(image.string()));
  ASSERT_EQ(iso.exitCode, 0) << iso.output;
  std::set<std::string> isoNames;
  EXPECT_EQ(CountIsoinfoEntries(iso.output, &isoNames), entries);
  EXPECT_TRUE(isoNames.count("CASE.TXT") && isoNames.count("CASE~0.TXT") && isoNames.count("CASE~1.TXT"));
  const auto joliet = Sh("isoinfo -J -l -i " + Quote(image.string()));
  std::set<std::string> jolietNames;
  EXPECT_EQ(CountIsoinfoEntries(joliet.output, &jolietNames), entries);
  EXPECT_TRUE(jolietNames.count("Case.txt") && jolietNames.count("case.txt") && jolietNames.count("CASE.TXT"));
  EXPECT_TRUE(jolietNames.count(std::string(104, 'l') + ".txt"));

  const auto xorriso = Sh("LANG=C.UTF-8 xorriso -indev " + Quote(image.string()) + " -find / 2>/dev/null");
  EXPECT_EQ(XorrisoPaths(xorriso.output), tree.paths);
  const auto isoInfo = Sh("iso-info -l -i " + Quote(image.string()) + " 2>/dev/null");
  EXPECT_EQ(CountIsoInfoEntries(isoInfo.output), entries) << isoInfo.output;
  const auto udf = Sh("udfinfo " + Quote(image.string()));
  ASSERT_EQ(udf.exitCode, 0) << udf.output;
  EXPECT_EQ(UdfinfoValue(udf.output, "numfiles"), std::to_string(tree.files));
  EXPECT_EQ(UdfinfoValue(udf.output, "numdirs"), std::to_string(tree.folders + 1));
  EXPECT_EQ(UdfinfoValue(udf.output, "label"), "src");
  EXPECT_EQ(UdfinfoValue(udf.output, "udfrev"), "1.02");
}

TEST(BridgeJudges, CorruptedDescriptorIsNoticed) {
  if (!HaveJudges()) GTEST_SKIP() << "judges missing";
  TempDir dir;
  fs::create_directories(dir / "src");
  WriteFileText(dir / "src" / "a.txt", "hello");
  ASSERT_EQ(Build(dir / "src", dir / "good.iso").exitCode, 0);
  const auto good = ReadFileBytes(dir / "good.iso");
  ASSERT_EQ(Sh("7z t -tudf " + Quote((dir / "good.iso").string())).exitCode, 0);
  ASSERT_EQ(Sh("7z t -tiso " + Quote((dir / "good.iso").string())).exitCode, 0);
  // One byte each: the first anchor's checksum, a byte of the Logical Volume Descriptor under its
  // CRC, a byte of the file's File Entry, the big-endian half of the ISO volume space size.
  struct Case {
    size_t offset;
    const char* view;
  };
  for (const Case c : {Case{256 * 2048 + 4, "udf"}, Case{35 * 2048 + 300, "udf"}, Case{261 * 2048 + 50, "udf"},
                       Case{16 * 2048 + 84 + 3, "iso"}}) {
    auto bad = good;
    bad[c.offset] ^= 0x5A;
    WriteFileBytes(dir / "bad.iso", bad);
    const auto r = Sh("7z t -t" + std::string(c.view) + " " + Quote((dir / "bad.iso").string()));
    EXPECT_NE(r.exitCode, 0) << "offset " << c.offset << " not noticed: " << r.output;
  }
}

TEST(BridgeJudges, SparseFileOverFourGiB) {
  if (!HaveJudges()) GTEST_SKIP() << "judges missing";
  TempDir dir;
  const fs::path src = dir / "src", image = dir / "big.iso";
  fs::create_directories(src);
  const uint64_t size = (uint64_t{4} << 30) + 10;
  {
    std::ofstream f(src / "big.bin", std::ios::binary);
    f.seekp(static_cast<std::streamoff>(size - 4));
    f.write("tail", 4);
  }
  ASSERT_EQ(fs::file_size(src / "big.bin"), size);
  WriteFileText(src / "small.txt", "small");
  const auto built = Build(src, image);
  ASSERT_EQ(built.exitCode, 0) << built.output;

  // 7z reads every byte when testing; once is enough for this size.
  const auto t = Sh("7z t -tudf " + Quote(image.string()));
  EXPECT_EQ(t.exitCode, 0) << t.output;
  // The ISO view lists the file with its whole size (multi-extent records).
  for (const char* view : {"udf", "iso"}) {
    const auto l = Sh("7z l -t" + std::string(view) + " " + Quote(image.string()));
    EXPECT_NE(l.output.find(std::to_string(size)), std::string::npos) << view << ": " << l.output;
  }
  const auto iso = Sh("isoinfo -l -i " + Quote(image.string()));
  std::set<std::string> names;
  EXPECT_EQ(CountIsoinfoEntries(iso.output, &names), 3u);  // two extents of BIG.BIN and SMALL.TXT
  const size_t lsn = iso.output.find("BIG.BIN");
  ASSERT_NE(lsn, std::string::npos);
  const size_t open = iso.output.rfind('[', lsn);
  const uint64_t extent = std::stoull(iso.output.substr(open + 1));
  std::ifstream img(image, std::ios::binary);
  img.seekg(static_cast<std::streamoff>(extent * 2048 + size - 4));
  char tail[4] = {};
  img.read(tail, 4);
  EXPECT_EQ(std::string(tail, 4), "tail");
  const auto xorriso = Sh("xorriso -indev " + Quote(image.string()) + " -find / 2>/dev/null");
  EXPECT_EQ(XorrisoPaths(xorriso.output), (std::set<std::string>{"/big.bin", "/small.txt"}));
  const auto udf = Sh("udfinfo " + Quote(image.string()));
  EXPECT_EQ(UdfinfoValue(udf.output, "numfiles"), "2");
  EXPECT_EQ(fs::file_size(image) % 2048, 0u);
}

// libcdio's iso-info rejects surrogate pairs in Joliet names, so this name is judged by the others.
TEST(BridgeJudges, NamesOutsideTheBasicPlaneSurviveUdfAndJoliet) {
  if (!HaveJudges()) GTEST_SKIP() << "judges missing";
  TempDir dir;
  fs::create_directories(dir / "src");
  WriteFileText(dir / "src" / "emoji \xF0\x9F\x98\x80.txt", "surrogate pair");
  ASSERT_EQ(Build(dir / "src", dir / "e.iso").exitCode, 0);
  for (const char* view : {"udf", "iso"}) {
    const fs::path out = dir / view;
    ASSERT_EQ(Sh("7z x -y -t" + std::string(view) + " -o" + Quote(out.string()) + " " + Quote((dir / "e.iso").string()))
                  .exitCode,
              0);
    EXPECT_EQ(Sh("diff -r " + Quote((dir / "src").string()) + " " + Quote(out.string())).exitCode, 0) << view;
  }
  const auto xorriso = Sh("LANG=C.UTF-8 xorriso -indev " + Quote((dir / "e.iso").string()) + " -find / 2>/dev/null");
  EXPECT_EQ(XorrisoPaths(xorriso.output), std::set<std::string>{"/emoji \xF0\x9F\x98\x80.txt"});
}

TEST(KvimageBuild, CommandLine) {
  TempDir dir;
  EXPECT_EQ(Sh(Quote(Kvimage()) + " build --help").exitCode, 0);
  EXPECT_EQ(Sh(Quote(Kvimage()) + " build").exitCode, 2);
  EXPECT_EQ(Sh(Quote(Kvimage()) + " build " + Quote(dir.path().string())).exitCode, 2);
  const auto missing =
      Sh(Quote(Kvimage()) + " build " + Quote((dir / "nothing").string()) + " -o " + Quote((dir / "o.iso").string()));
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.output.find("nothing"), std::string::npos);
  EXPECT_EQ(Sh(Quote(Kvimage()) + " build " + Quote(dir.path().string()) + " -o /nonexistent/dir/o.iso").exitCode, 1);
  // An empty folder still makes a valid image. (7z's UDF view reports images without any file
  // data as having no end anchor, as the ISO structures lie between the last UDF structure and
  // the closing anchor; udfinfo reads it.)
  fs::create_directories(dir / "empty");
  ASSERT_EQ(Build(dir / "empty", dir / "e.iso").exitCode, 0);
  if (HaveJudges()) {
    EXPECT_EQ(Sh("7z t -tiso " + Quote((dir / "e.iso").string())).exitCode, 0);
    const auto udf = Sh("udfinfo " + Quote((dir / "e.iso").string()));
    EXPECT_EQ(UdfinfoValue(udf.output, "numdirs"), "1");
  }
}

// An output that is not a new file belongs to the user: a pipe takes the image as a stream, and a
// device that fails the write is left in place.
TEST(KvimageBuild, OutputsTheToolDidNotCreate) {
  TempDir dir;
  fs::create_directories(dir / "src");
  WriteFileBytes(dir / "src" / "zeros.bin", std::vector<uint8_t>(1 << 20, 0));
  WriteFileBytes(dir / "src" / "data.bin", PatternBytes(5000, 3));
  ASSERT_EQ(Build(dir / "src", dir / "file.iso").exitCode, 0);
  ASSERT_EQ(Sh("mkfifo " + Quote((dir / "pipe").string())).exitCode, 0);
  const auto piped = Sh("(cat " + Quote((dir / "pipe").string()) + " > " + Quote((dir / "stream.iso").string()) +
                        " & TZ=UTC " + Quote(Kvimage()) + " build " + Quote((dir / "src").string()) + " -o " +
                        Quote((dir / "pipe").string()) + "; rc=$?; wait; exit $rc)");
  EXPECT_EQ(piped.exitCode, 0) << piped.output;
  EXPECT_TRUE(fs::is_fifo(dir / "pipe"));
  // Same image but for the build times.
  EXPECT_EQ(fs::file_size(dir / "stream.iso"), fs::file_size(dir / "file.iso"));
  if (HaveTool("7z")) {
    ASSERT_EQ(Sh("7z x -y -o" + Quote((dir / "x").string()) + " " + Quote((dir / "stream.iso").string())).exitCode, 0);
    EXPECT_EQ(ReadFileBytes(dir / "x" / "data.bin"), PatternBytes(5000, 3));
    EXPECT_EQ(ReadFileBytes(dir / "x" / "zeros.bin"), std::vector<uint8_t>(1 << 20, 0));
  }
  // A full device (/dev/full's numbers) refuses the write: failure, and the node stays.
  if (geteuid() == 0 && Sh("mknod " + Quote((dir / "full").string()) + " c 1 7").exitCode == 0) {
    EXPECT_EQ(Build(dir / "src", dir / "full").exitCode, 1);
    EXPECT_TRUE(fs::is_character_file(dir / "full"));
    EXPECT_EQ(
        Sh(Quote(Kvimage()) + " iso " + Quote((dir / "file.iso").string()) + " -o " + Quote((dir / "full").string()))
            .exitCode,
        1);
    EXPECT_TRUE(fs::is_character_file(dir / "full"));
  }
}

}  // namespace
}  // namespace kv::test
