// DAA and GBI images as a user meets them: kvimage iso of each equals the source ISO, and a drive
// of the real kvemu host mounted with `kvctl dev mount` reads the source back, split or whole,
// with or without a password.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <filesystem>

#include "common/crc.h"
#include "tests/fixtures/daa_image_writer.h"
#include "tests/fixtures/test_support.h"
#include "tests/host/host_process.h"

namespace kv::test {
namespace {

namespace fs = std::filesystem;
using W = DaaWriterOptions;

class DaaDrive : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTool("genisoimage")) GTEST_SKIP() << "genisoimage is not installed";
    const fs::path src = dir_ / "src";
    fs::create_directories(src / "sub");
    WriteFileBytes(src / "big.bin", PatternBytes(600 * 1024, 3));
    std::string text;
    for (int i = 0; i < 4000; ++i) text += "line " + std::to_string(i) + " of a compressible file\n";
    WriteFileText(src / "sub" / "text.txt", text);
    iso_ = (dir_ / "source.iso").string();
    const auto r = kv::test::Run("genisoimage -quiet -J -R -o " + Quote(iso_) + " " + Quote(src.string()));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    isoBytes_ = ReadFileBytes(iso_);
  }

  std::string Write(const W& options, const std::string& folder, const std::string& stem = "img") {
    fs::create_directories(dir_ / folder);
    return WriteDaaFiles(dir_ / folder, WriteDaaImage(isoBytes_, options, stem)).string();
  }

  TempDir dir_;
  std::string iso_;
  std::vector<uint8_t> isoBytes_;
};

TEST_F(DaaDrive, KvimageIsoAndDriveReadBackTheSource) {
  struct Case {
    std::string name;
    W o;
    std::string password;
  };
  std::vector<Case> cases;
  {
    W o;
    o.method = W::Method::kMixed;
    cases.push_back({"mixed", o, ""});
    o = W{};
    o.version = 0x100;
    o.signature = W::Signature::kGbi;
    cases.push_back({"gbi 0x100", o, ""});
    o = W{};
    o.password = "geheim";
    o.volumeSize = 200000;
    o.namingScheme = 0;
    o.method = W::Method::kLzma;
    o.x86Filter = true;
    cases.push_back({"encrypted split part01", o, "geheim"});
    o = W{};
    o.signature = W::Signature::kGbiAlternative;
    o.volumeSize = 250000;
    o.namingScheme = 2;
    o.locator = 5;
    o.variant = 1;
    o.table = W::Table::kCompressed;
    cases.push_back({"alternative gbi split d00 locator 5", o, ""});
    o = W{};
    o.volumeSize = 300000;
    o.namingScheme = 1;
    o.tableAtEnd = true;
    o.table = W::Table::kScrambled;
    cases.push_back({"split part001 table at end", o, ""});
    o = W{};
    o.locator = 6;
    o.leadingBytes = 8192;
    cases.push_back({"locator 6", o, ""});
  }
  HostProcess host(ProgramPath("kvemu"), (dir_ / "root").string());
  ASSERT_TRUE(host.WaitReady()) << host.Log();
  const std::string kvctl = ProgramPath("kvctl") + " dev ";
  ASSERT_EQ(kv::test::Run(kvctl + "letter 0 E").exitCode, 0);
  const size_t sectors = isoBytes_.size() / 2048;
  int n = 0;
  for (const Case& c : cases) {
    const std::string folder = "case" + std::to_string(n++);
    const std::string image = Write(c.o, folder);
    std::string passwordOption;
    if (!c.password.empty()) {
      WriteFileText(dir_ / folder / "pw.txt", c.password + "\n");
      passwordOption = " --password-file " + Quote((dir_ / folder / "pw.txt").string());
    }
    const std::string copy = (dir_ / folder / "copy.iso").string();
    auto r = kv::test::Run(ProgramPath("kvimage") + " iso " + Quote(image) + passwordOption + " -o " + Quote(copy));
    ASSERT_EQ(r.exitCode, 0) << c.name << "\n" << r.output;
    EXPECT_TRUE(ReadFileBytes(copy) == isoBytes_) << c.name;

    r = kv::test::Run(kvctl + "mount 0 " + Quote(image) + passwordOption);
    ASSERT_EQ(r.exitCode, 0) << c.name << "\n" << r.output;
    const std::string read = (dir_ / folder / "read.iso").string();
    r = kv::test::Run(kvctl + "read E: --first 0 --count " + std::to_string(sectors) + " > " + Quote(read));
    EXPECT_EQ(r.exitCode, 0) << c.name << "\n" << r.output;
    EXPECT_TRUE(ReadFileBytes(read) == isoBytes_) << c.name;
    ASSERT_EQ(kv::test::Run(kvctl + "unmount 0").exitCode, 0);
  }
  EXPECT_EQ(host.Stop(SIGTERM), 0) << host.Log();
}

TEST_F(DaaDrive, ToolsExplainRefusals) {
  W split;
  split.volumeSize = 200000;
  split.password = "pw";
  const std::string first = Write(split, "split", "disc");
  const std::string second = (dir_ / "split" / "disc.part02.daa").string();
  const std::string kvimage = ProgramPath("kvimage");

  auto r = kv::test::Run(kvimage + " info " + Quote(second));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("open its first volume " + first), std::string::npos) << r.output;
  r = kv::test::Run(kvimage + " info " + Quote(first));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("give its password"), std::string::npos) << r.output;
  r = kv::test::Run(kvimage + " iso " + Quote(first) + " --password wrong -o " + Quote((dir_ / "x.iso").string()));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("wrong password"), std::string::npos) << r.output;
  r = kv::test::Run(kvimage + " toc " + Quote(first) + " --password pw");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("first track 1, last track 1"), std::string::npos) << r.output;
  r = kv::test::Run(kvimage + " info " + Quote(first) + " --password pw");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("daa:      DAA version 0x110, chunk size 65536"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("volumes, encrypted"), std::string::npos) << r.output;
  r = kv::test::Run(kvimage + " read " + Quote(first) + " --password pw --first 16 --count 1 | head -c 6 | tail -c 5");
  EXPECT_EQ(r.output, "CD001");

  W keyed;
  keyed.method = W::Method::kDeflate;
  auto files = WriteDaaImage(isoBytes_, keyed, "keyed");
  files[0].bytes[36 + 1] |= 0x20;  // flag 0x2000 in the chunk size word
  const uint32_t crc = Crc32(0, files[0].bytes.data(), 72);
  std::memcpy(files[0].bytes.data() + 72, &crc, 4);
  const std::string keyedPath = WriteDaaFiles(dir_.path(), files).string();
  r = kv::test::Run(kvimage + " info " + Quote(keyedPath));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("key word that is not available"), std::string::npos) << r.output;

  HostProcess host(ProgramPath("kvemu"), (dir_ / "root").string());
  ASSERT_TRUE(host.WaitReady()) << host.Log();
  const std::string kvctl = ProgramPath("kvctl") + " dev ";
  r = kv::test::Run(kvctl + "mount 0 " + Quote(second) + " --password pw");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("open its first volume " + first), std::string::npos) << r.output;
  r = kv::test::Run(kvctl + "mount 0 " + Quote(first) + " --password nope");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("wrong password"), std::string::npos) << r.output;
  r = kv::test::Run(kvctl + "mount 0 " + Quote(keyedPath));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("format not recognised or image unreadable: the image size is keyed"), std::string::npos)
      << r.output;
  EXPECT_EQ(host.Stop(SIGTERM), 0) << host.Log();
}

}  // namespace
}  // namespace kv::test
