// BIN/CUE and MDS/MDF images through kvimage, made at test time from genisoimage ISOs and judged
// by bchunk and cd-info.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "formats/raw/raw_sector.h"
#include "tests/fixtures/descriptor_writers.h"
#include "tests/fixtures/test_support.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using test::Quote;

std::string Kvimage() {
  return Quote(test::ProgramPath("kvimage"));
}

std::string Msf(size_t lba) {
  char t[32];
  std::snprintf(t, sizeof t, "%02zu:%02zu:%02zu", lba / 4500, lba / 75 % 60, lba % 75);
  return t;
}

std::vector<uint8_t> MakeIso(const test::TempDir& dir, uint32_t seed) {
  const fs::path src = dir / "src";
  fs::create_directories(src / "sub");
  test::WriteFileBytes(src / "big.bin", test::PatternBytes(300000, seed));
  test::WriteFileText(src / "sub" / "note.txt", "cue test\n");
  const auto r =
      test::Run("genisoimage -quiet -J -R -o " + Quote((dir / "src.iso").string()) + " " + Quote(src.string()));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  return test::ReadFileBytes(dir / "src.iso");
}

// Every 2048-byte sector of `iso` in the track mode's sector layout, from address `first`.
std::vector<uint8_t> Encode(const std::vector<uint8_t>& iso, const std::string& mode, int64_t first = 0) {
  if (mode == "MODE1/2048") return iso;
  const size_t sectors = iso.size() / 2048;
  std::vector<uint8_t> out(sectors * 2352);
  for (size_t s = 0; s < sectors; ++s) {
    if (mode == "MODE1/2352")
      BuildMode1Sector(first + static_cast<int64_t>(s), iso.data() + s * 2048, out.data() + s * 2352);
    else
      BuildMode2Form1Sector(first + static_cast<int64_t>(s), iso.data() + s * 2048, out.data() + s * 2352);
  }
  return out;
}

bool SameFile(const fs::path& a, const std::vector<uint8_t>& expected) {
  return fs::exists(a) && test::ReadFileBytes(a) == expected;
}

TEST(CueImages, DataBinCueReproducesItsIsoInEveryMode) {
  if (!test::HaveTool("genisoimage")) GTEST_SKIP() << "genisoimage is not installed";
  test::TempDir dir;
  const std::vector<uint8_t> iso = MakeIso(dir, 3);
  for (const std::string mode : {"MODE1/2352", "MODE1/2048", "MODE2/2352"}) {
    SCOPED_TRACE(mode);
    test::WriteFileBytes(dir / "disc image.bin", Encode(iso, mode));
    test::WriteFileText(dir / "disc image.cue",
                        "FILE \"disc image.bin\" BINARY\r\n  TRACK 01 " + mode + "\r\n    INDEX 01 00:00:00\r\n");
    for (const char* picked : {"disc image.cue", "disc image.bin"}) {
      const fs::path out = dir / "out.iso";
      fs::remove(out);
      const auto r = test::Run(Kvimage() + " iso " + Quote((dir / picked).string()) + " -o " + Quote(out.string()));
      ASSERT_EQ(r.exitCode, 0) << picked << ": " << r.output;
      EXPECT_TRUE(SameFile(out, iso)) << picked;
    }
    if (mode != "MODE1/2048" && test::HaveTool("bchunk")) {
      // bchunk takes the 2048 user bytes of each sector: the ISO again.
      const auto r = test::Run("cd " + Quote(dir.path().string()) + " && bchunk 'disc image.bin' 'disc image.cue' bc");
      ASSERT_EQ(r.exitCode, 0) << r.output;
      EXPECT_TRUE(SameFile(dir / "bc01.iso", iso)) << r.output;
      fs::remove(dir / "bc01.iso");
    }
  }
}

// Data track, then two audio tracks with stored pregaps: bchunk's tracks are our raw reads of
// the tracks, and cd-info reads the table of contents we answer.
TEST(CueImages, MixedDiscMatchesBchunkAndCdInfo) {
  if (!test::HaveTool("genisoimage") || !test::HaveTool("bchunk") || !test::HaveTool("cd-info"))
    GTEST_SKIP() << "genisoimage, bchunk or cd-info missing";
  test::TempDir dir;
  const std::vector<uint8_t> iso = MakeIso(dir, 5);
  std::vector<uint8_t> bin = Encode(iso, "MODE1/2352");
  const size_t dataSectors = bin.size() / 2352;
  const std::vector<uint8_t> audio = test::PatternBytes(size_t{700} * 2352, 6);
  bin.insert(bin.end(), audio.begin(), audio.end());
  test::WriteFileBytes(dir / "mixed.bin", bin);
  const size_t track2 = dataSectors + 150, track3 = dataSectors + 500;
  test::WriteFileText(dir / "mixed.cue",
                      "FILE \"mixed.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
                      "  TRACK 02 AUDIO\n    INDEX 00 " +
                          Msf(dataSectors) + "\n    INDEX 01 " + Msf(track2) + "\n  TRACK 03 AUDIO\n    INDEX 00 " +
                          Msf(track3 - 75) + "\n    INDEX 01 " + Msf(track3) + "\n");
  const std::string cue = Quote((dir / "mixed.cue").string());

  auto r = test::Run("cd " + Quote(dir.path().string()) + " && bchunk mixed.bin mixed.cue bc");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(SameFile(dir / "bc01.iso", iso));
  struct Track {
    const char* file;
    size_t start, end;  // sectors of the bin that bchunk wrote, and that we read raw
  };
  for (const Track& t : {Track{"bc02.cdr", track2, track3 - 75}, Track{"bc03.cdr", track3, dataSectors + 700}}) {
    SCOPED_TRACE(t.file);
    const std::vector<uint8_t> judged = test::ReadFileBytes(dir / t.file);
    ASSERT_FALSE(judged.empty());
    // bchunk cuts a track at the next track's INDEX 01: the next track's stored pregap is part of it.
    const size_t count = judged.size() / 2352;
    ASSERT_GE(count, t.end - t.start);
    const fs::path raw = dir / "raw.out";
    r = test::Run(Kvimage() + " read " + cue + " --raw --first " + std::to_string(t.start) + " --count " +
                  std::to_string(t.end - t.start) + " > " + Quote(raw.string()));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const std::vector<uint8_t> ours = test::ReadFileBytes(raw);
    ASSERT_EQ(ours.size(), (t.end - t.start) * 2352);
    EXPECT_TRUE(std::equal(ours.begin(), ours.end(), judged.begin()));
  }

  // cd-info's reading of the same sheet against the table of contents a drive would answer.
  const auto judge = test::Run("cd-info --no-header --no-device-info --no-disc-mode --cue-file " + cue);
  std::vector<std::string> expected, got;
  for (size_t at = 0; (at = judge.output.find('\n', at)) != std::string::npos; ++at) {
    unsigned track = 0, m = 0, s = 0, f = 0;
    long lsn = 0;
    char type[16] = {};
    if (std::sscanf(judge.output.c_str() + at + 1, "%u: %u:%u:%u %ld %15s", &track, &m, &s, &f, &lsn, type) == 6)
      expected.push_back(std::to_string(track) + " " + std::to_string(lsn) +
                         (track == 170                   ? ""
                          : std::string(type) == "audio" ? " 0"
                                                         : " 4"));
  }
  ASSERT_EQ(expected.size(), 4u) << judge.output;
  r = test::Run(Kvimage() + " toc --json " + cue);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  for (size_t at = 0; (at = r.output.find("{\"track\":", at)) != std::string::npos; ++at) {
    unsigned track = 0, adr = 0, control = 0;
    long lba = 0;
    std::sscanf(r.output.c_str() + at, "{\"track\":%u,\"adr\":%u,\"control\":%u,\"msf\":\"%*8c\",\"lba\":%ld", &track,
                &adr, &control, &lba);
    got.push_back(std::to_string(track) + " " + std::to_string(lba) +
                  (track == 170 ? "" : " " + std::to_string(control)));
  }
  EXPECT_EQ(got, expected) << r.output << judge.output;
}

TEST(CueImages, MdsMdfPairOpensWithItsLayoutFromEitherFile) {
  if (!test::HaveTool("genisoimage")) GTEST_SKIP() << "genisoimage is not installed";
  test::TempDir dir;
  const std::vector<uint8_t> iso = MakeIso(dir, 7);
  std::vector<uint8_t> mdf = Encode(iso, "MODE1/2352");
  const uint32_t dataSectors = static_cast<uint32_t>(mdf.size() / 2352);
  const std::vector<uint8_t> audio = test::PatternBytes(size_t{300} * 2352, 8);
  mdf.insert(mdf.end(), audio.begin(), audio.end());
  test::WriteFileBytes(dir / "pair.mdf", mdf);
  // Track 2's 150-sector pregap is not stored: its INDEX 01 sector follows the data track directly.
  test::WriteFileBytes(dir / "pair.mds",
                       test::BuildMds({{0xAA, 0, 0, 2352, true, 150, dataSectors},
                                       {0xA9, 0, static_cast<int32_t>(dataSectors) + 150, 2352, true, 150, 300}},
                                      "*.mdf"));
  for (const char* picked : {"pair.mds", "pair.mdf"}) {
    SCOPED_TRACE(picked);
    const std::string file = Quote((dir / picked).string());
    const fs::path out = dir / "out.iso";
    auto r = test::Run(Kvimage() + " iso " + file + " -o " + Quote(out.string()));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    // The medium is the whole data file, audio included: the ISO is its start.
    std::vector<uint8_t> head = test::ReadFileBytes(out);
    ASSERT_GE(head.size(), iso.size());
    head.resize(iso.size());
    EXPECT_TRUE(head == iso);
    r = test::Run(Kvimage() + " toc --json " + file);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("{\"track\":2,\"adr\":1,\"control\":0,\"msf\":\"" + Msf(dataSectors + 300) + "\""),
              std::string::npos)
        << r.output;
    EXPECT_NE(
        r.output.find("\"msf\":\"" + Msf(dataSectors + 600) + "\",\"lba\":" + std::to_string(dataSectors + 450) + "}"),
        std::string::npos)
        << r.output;
    const fs::path raw = dir / "raw.out";
    r = test::Run(Kvimage() + " read " + file + " --raw --first " + std::to_string(dataSectors + 150) +
                  " --count 300 > " + Quote(raw.string()));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(SameFile(raw, audio));
  }
}

TEST(CueImages, DescriptorsThatAreNoneAndTracksInOtherFiles) {
  if (!test::HaveTool("genisoimage")) GTEST_SKIP() << "genisoimage is not installed";
  test::TempDir dir;
  std::string big = "FILE x.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n";
  big.resize(131072, ' ');
  test::WriteFileText(dir / "big.cue", big);
  for (const std::string verb : {"info", "toc", "iso"}) {
    const auto r = test::Run(Kvimage() + " " + verb + " " + Quote((dir / "big.cue").string()) +
                             (verb == "iso" ? " -o " + Quote((dir / "o").string()) : "") + " 2>&1");
    EXPECT_EQ(r.exitCode, 1) << verb << r.output;
    EXPECT_NE(r.output.find("not a cue sheet or media descriptor"), std::string::npos) << verb << r.output;
  }
  // Audio in a WAVE file beside the data track: a drive reads one file, so the sheet is refused
  // with the reason rather than served from the wrong file.
  const std::vector<uint8_t> iso = MakeIso(dir, 9);
  test::WriteFileBytes(dir / "data.bin", Encode(iso, "MODE1/2352"));
  test::WriteFileBytes(dir / "song.wav", test::BuildWave(test::PatternBytes(2352 * 20, 10)));
  test::WriteFileText(dir / "two.cue",
                      "FILE data.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"
                      "FILE song.wav WAVE\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n");
  for (const std::string verb : {"toc", "iso"}) {
    const auto r = test::Run(Kvimage() + " " + verb + " " + Quote((dir / "two.cue").string()) +
                             (verb == "iso" ? " -o " + Quote((dir / "o.iso").string()) : "") + " 2>&1");
    EXPECT_EQ(r.exitCode, 1) << verb << r.output;
    EXPECT_NE(r.output.find("more than one file"), std::string::npos) << verb << r.output;
  }
}

}  // namespace
}  // namespace kv
