// BIN/CUE and MDS/MDF images on a real drive of the kvemu host, mounted with kvctl dev mount by
// picking either file of the pair.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "formats/raw/raw_sector.h"
#include "tests/fixtures/descriptor_writers.h"
#include "tests/fixtures/test_support.h"
#include "tests/host/host_process.h"

namespace kv::test {
namespace {

namespace fs = std::filesystem;

class CueDrive : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTool("genisoimage")) GTEST_SKIP() << "genisoimage is not installed";
    host_ = std::make_unique<HostProcess>(ProgramPath("kvemu"), (dir_ / "root").string());
    ASSERT_TRUE(host_->WaitReady()) << host_->Log();
    fs::create_directories(dir_ / "src");
    WriteFileBytes(dir_ / "src" / "big.bin", PatternBytes(250000, 21));
    const auto r = test::Run("genisoimage -quiet -J -o " + Quote((dir_ / "src.iso").string()) + " " +
                             Quote((dir_ / "src").string()));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    iso_ = ReadFileBytes(dir_ / "src.iso");
  }
  void TearDown() override {
    if (host_) {
      EXPECT_EQ(host_->Stop(SIGTERM), 0) << host_->Log();
    }
  }
  CommandResult Kvctl(const std::string& args) {
    return test::Run(Quote(ProgramPath("kvctl")) + " dev " + args + " 2>&1");
  }
  // The medium of `drive` read through the drive, cut to the ISO's length.
  std::vector<uint8_t> ReadBack(int drive) {
    const fs::path out = dir_ / "back.out";
    const auto r =
        test::Run(Quote(ProgramPath("kvctl")) + " dev read " + std::to_string(drive) + " > " + Quote(out.string()));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    std::vector<uint8_t> back = ReadFileBytes(out);
    EXPECT_GE(back.size(), iso_.size());
    back.resize(iso_.size());
    return back;
  }
  std::vector<uint8_t> Raw(bool mode2) const {
    std::vector<uint8_t> out(iso_.size() / 2048 * 2352);
    for (size_t s = 0; s < iso_.size() / 2048; ++s)
      (mode2 ? BuildMode2Form1Sector : BuildMode1Sector)(static_cast<int64_t>(s), iso_.data() + s * 2048,
                                                         out.data() + s * 2352);
    return out;
  }

  TempDir dir_;
  std::unique_ptr<HostProcess> host_;
  std::vector<uint8_t> iso_;
};

TEST_F(CueDrive, DataBinCueReadsBackItsIsoFromEitherFile) {
  for (const std::string mode : {"MODE1/2352", "MODE1/2048", "MODE2/2352"}) {
    SCOPED_TRACE(mode);
    WriteFileBytes(dir_ / "d.bin", mode == "MODE1/2048" ? iso_ : Raw(mode == "MODE2/2352"));
    WriteFileText(dir_ / "d.cue", "FILE \"d.bin\" BINARY\n  TRACK 01 " + mode + "\n    INDEX 01 00:00:00\n");
    for (const char* picked : {"d.cue", "d.bin"}) {
      auto r = Kvctl("mount 0 " + Quote((dir_ / picked).string()));
      ASSERT_EQ(r.exitCode, 0) << picked << r.output;
      EXPECT_TRUE(ReadBack(0) == iso_) << picked;
      r = Kvctl("toc 0 --json");
      EXPECT_NE(r.output.find("{\"track\":1,\"adr\":1,\"control\":4,\"msf\":\"00:02:00\",\"lba\":0}"),
                std::string::npos)
          << r.output;
      ASSERT_EQ(Kvctl("unmount 0").exitCode, 0);
    }
  }
}

TEST_F(CueDrive, MdsMdfPairMountsWithItsTracks) {
  std::vector<uint8_t> mdf = Raw(false);
  const uint32_t dataSectors = static_cast<uint32_t>(mdf.size() / 2352);
  const std::vector<uint8_t> audio = PatternBytes(size_t{200} * 2352, 22);
  mdf.insert(mdf.end(), audio.begin(), audio.end());
  WriteFileBytes(dir_ / "p.mdf", mdf);
  WriteFileBytes(dir_ / "p.mds", BuildMds({{0xAA, 0, 0, 2352, true, 150, dataSectors},
                                           {0xA9, 0, static_cast<int32_t>(dataSectors) + 150, 2352, true, 150, 200}},
                                          "*.mdf"));
  for (const char* picked : {"p.mds", "p.mdf"}) {
    SCOPED_TRACE(picked);
    auto r = Kvctl("mount 1 " + Quote((dir_ / picked).string()));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(ReadBack(1) == iso_);
    r = Kvctl("toc 1 --json");
    EXPECT_NE(r.output.find("{\"track\":2,\"adr\":1,\"control\":0,"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("\"lba\":" + std::to_string(dataSectors + 150) + "}"), std::string::npos) << r.output;
    const fs::path raw = dir_ / "raw.out";
    r = test::Run(Quote(ProgramPath("kvctl")) + " dev read 1 --raw --first " + std::to_string(dataSectors + 150) +
                  " --count 200 > " + Quote(raw.string()));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(ReadFileBytes(raw) == audio);
    ASSERT_EQ(Kvctl("unmount 1").exitCode, 0);
  }
  // A sheet that is no sheet is refused, never mounted as an image of text.
  std::string big = "FILE p.mdf BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n";
  big.resize(131072, ' ');
  WriteFileText(dir_ / "big.cue", big);
  const auto r = Kvctl("mount 2 " + Quote((dir_ / "big.cue").string()));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("not a cue sheet or media descriptor"), std::string::npos) << r.output;
}

}  // namespace
}  // namespace kv::test
