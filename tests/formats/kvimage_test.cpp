// kvimage info/read/iso as a program, on images made by the real tools.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "tests/fixtures/nrg_writer.h"
#include "tests/fixtures/raw_image_writer.h"
#include "tests/formats/image_test_support.h"

namespace kv {
namespace {

using test::Quote;

std::string Kvimage() {
  return test::ProgramPath("kvimage");
}

// Value of a key in the one-line JSON object `json`.
std::string JsonValue(const std::string& json, const std::string& key) {
  const std::string name = "\"" + key + "\":";
  const size_t at = json.find(name);
  if (at == std::string::npos) return "<missing>";
  const size_t from = at + name.size();
  return json.substr(from, json.find_first_of(",}", from) - from);
}

struct Info {
  int exitCode;
  std::string json;
};

Info InfoJson(const std::filesystem::path& image, const std::string& options = "") {
  const auto r =
      test::Run("(" + Quote(Kvimage()) + " info --json " + options + " " + Quote(image.string()) + " 2>/dev/null)");
  return {r.exitCode, r.output};
}

TEST(Kvimage, InfoJsonIdentifiesImagesAndRefusesOtherFiles) {
  if (!test::HaveTool("genisoimage") || !test::HaveTool("xorriso") || !test::HaveTool("mkudffs"))
    GTEST_SKIP() << "image tools missing";
  test::TempDir dir;
  struct Expect {
    std::filesystem::path image;
    std::string options, iso, joliet, udf;
  };
  const auto iso = test::MakeGenisoimage(dir, "-J", "g.iso");
  test::WriteRawMode1Image(iso, dir / "g.bin");
  const Expect cases[] = {
      {iso, "", "true", "3", "false"},
      {test::MakeGenisoimage(dir, "-J -udf", "gu.iso"), "", "true", "3", "true"},
      {test::MakeXorrisoIso(dir, "x.iso"), "", "true", "3", "false"},
      {test::MakeUdfOnly(dir, "u.img"), "", "false", "0", "true"},
      {dir / "g.bin", "--format 1", "true", "3", "false"},
  };
  for (const Expect& e : cases) {
    const Info info = InfoJson(e.image, e.options);
    EXPECT_EQ(info.exitCode, 0) << info.json;
    EXPECT_EQ(JsonValue(info.json, "error"), "0") << info.json;
    EXPECT_EQ(JsonValue(info.json, "iso"), e.iso) << info.json;
    EXPECT_EQ(JsonValue(info.json, "joliet"), e.joliet) << info.json;
    EXPECT_EQ(JsonValue(info.json, "udf"), e.udf) << info.json;
    EXPECT_EQ(JsonValue(info.json, "xbox"), "false") << info.json;
    EXPECT_EQ(JsonValue(info.json, "format"), e.options.empty() ? "0" : "1") << info.json;
  }
  const Info udf = InfoJson(cases[3].image);
  EXPECT_EQ(JsonValue(udf.json, "sectors"), "2000");

  test::WriteFileBytes(dir / "noise.bin", test::PatternBytes(400000, 5));
  const Info noise = InfoJson(dir / "noise.bin");
  EXPECT_EQ(noise.exitCode, 1);
  EXPECT_EQ(JsonValue(noise.json, "error"), "8") << noise.json;
  EXPECT_EQ(JsonValue(noise.json, "sectors"), "0");
  EXPECT_EQ(JsonValue(noise.json, "udf"), "false");

  const Info missing = InfoJson(dir / "missing.iso");
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(JsonValue(missing.json, "error"), "12") << missing.json;

  // A refused image still reports what the probe saw.
  auto small = test::ReadFileBytes(iso);
  small[16 * 2048 + 128] = 0x00, small[16 * 2048 + 129] = 0x02;
  test::WriteFileBytes(dir / "small.iso", small);
  const Info refused = InfoJson(dir / "small.iso");
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(JsonValue(refused.json, "error"), "8");
  EXPECT_EQ(JsonValue(refused.json, "iso"), "true");
  EXPECT_EQ(JsonValue(refused.json, "blockSize"), "512");

  const auto text = test::Run(Quote(Kvimage()) + " info " + Quote((dir / "noise.bin").string()));
  EXPECT_NE(text.output.find("noise.bin: format not recognised"), std::string::npos) << text.output;
}

TEST(Kvimage, ReadAndIsoGiveTheSourceBytes) {
  if (!test::HaveTool("genisoimage")) GTEST_SKIP() << "genisoimage missing";
  test::TempDir dir;
  const auto iso = test::MakeGenisoimage(dir, "-J -udf", "g.iso");
  const auto isoBytes = test::ReadFileBytes(iso);
  const auto bin = dir / "g.bin";
  test::WriteRawMode1Image(iso, bin);
  const auto binBytes = test::ReadFileBytes(bin);
  const uint64_t sectors = isoBytes.size() / 2048;
  auto run = [&](const std::string& args) {
    return test::Run("(" + Quote(Kvimage()) + " " + args + " > " + Quote((dir / "out").string()) + " 2>" +
                     Quote((dir / "err").string()) + ")")
        .exitCode;
  };
  auto out = [&] { return test::ReadFileBytes(dir / "out"); };

  ASSERT_EQ(run("read " + Quote(iso.string()) + " --first 0 --count " + std::to_string(sectors)), 0);
  EXPECT_EQ(out(), isoBytes);
  ASSERT_EQ(run("read " + Quote(iso.string()) + " --first 17 --count 3"), 0);
  EXPECT_EQ(out(), std::vector<uint8_t>(isoBytes.begin() + 17 * 2048, isoBytes.begin() + 20 * 2048));
  ASSERT_EQ(run("read " + Quote(bin.string()) + " --format 1 --first 100 --count 70"), 0);
  EXPECT_EQ(out(), std::vector<uint8_t>(isoBytes.begin() + 100 * 2048, isoBytes.begin() + 170 * 2048));
  ASSERT_EQ(run("read " + Quote(bin.string()) +
                " --format 1000 --sector-size 2352 --data-offset 16 --raw --first 5 "
                "--count 2"),
            0);
  EXPECT_EQ(out(), std::vector<uint8_t>(binBytes.begin() + 5 * 2352, binBytes.begin() + 7 * 2352));

  // Past the end: failure, nothing half-written, and the file is named.
  EXPECT_EQ(run("read " + Quote(iso.string()) + " --first " + std::to_string(sectors - 1) + " --count 2"), 1);
  EXPECT_NE(test::Run("cat " + Quote((dir / "err").string())).output.find("g.iso"), std::string::npos);

  const auto converted = dir / "converted.iso";
  ASSERT_EQ(run("iso " + Quote(bin.string()) + " --format 1 -o " + Quote(converted.string())), 0);
  EXPECT_EQ(test::ReadFileBytes(converted), isoBytes);
  ASSERT_EQ(run("iso " + Quote(iso.string()) + " -o " + Quote(converted.string())), 0);
  EXPECT_EQ(test::ReadFileBytes(converted), isoBytes);

  // Usage errors.
  EXPECT_EQ(run("read " + Quote(iso.string()) + " --first 0"), 2);
  EXPECT_EQ(run("read " + Quote(iso.string()) + " --first x --count 1"), 2);
  EXPECT_EQ(run("iso " + Quote(iso.string())), 2);
  EXPECT_EQ(run("info " + Quote(iso.string()) + " --sector-size -1"), 2);
  EXPECT_EQ(run("info"), 2);
  // A refused image writes no output file.
  test::WriteFileBytes(dir / "noise", test::PatternBytes(100000, 1));
  EXPECT_EQ(run("iso " + Quote((dir / "noise").string()) + " -o " + Quote((dir / "n.iso").string())), 1);
  EXPECT_FALSE(std::filesystem::exists(dir / "n.iso"));
}

// NRG images of every layout convert back to the ISO they were made from; track layouts given
// with --track answer toc and raw reads.
TEST(Kvimage, NrgToIsoAndTrackLayouts) {
  test::TempDir dir;
  const auto iso = test::MakeGenisoimage(dir, "-J", "n.iso");
  const std::vector<uint8_t> isoBytes = test::ReadFileBytes(iso);
  auto run = [&](const std::string& args) { return test::Run(Quote(Kvimage()) + " " + args); };
  for (int version : {1, 2}) {
    for (bool tao : {false, true}) {
      const auto nrg = dir / "x.nrg";
      test::WriteFileBytes(nrg, test::MakeNrg(isoBytes, {version, tao}).bytes);
      const auto out = dir / "back.iso";
      ASSERT_EQ(run("iso " + Quote(nrg.string()) + " --format 3 -o " + Quote(out.string())).exitCode, 0)
          << version << tao;
      EXPECT_TRUE(test::ReadFileBytes(out) == isoBytes) << version << tao;
    }
  }
  const auto nrg = dir / "x.nrg";
  // *.nrg needs no --format.
  ASSERT_EQ(run("iso " + Quote(nrg.string()) + " -o " + Quote((dir / "y.iso").string())).exitCode, 0);
  EXPECT_TRUE(test::ReadFileBytes(dir / "y.iso") == isoBytes);
  auto r = run("toc --format 3 " + Quote(nrg.string()));
  EXPECT_EQ(r.output, "first track 1, last track 1\ntrack 0: control 4, 00:00:00 (sector -150)\n");

  // A raw data track followed by an audio track whose pregap is stored.
  std::vector<uint8_t> bin = test::WrapAsRawMode1(isoBytes);
  const size_t n = bin.size() / 2352;
  const std::vector<uint8_t> audio = test::PatternBytes(20 * 2352, 4);
  bin.insert(bin.end(), audio.begin(), audio.end());
  const auto binPath = dir / "m.bin";
  test::WriteFileBytes(binPath, bin);
  const std::string tracks = " --track mode1raw:0:" + std::to_string(n) +
                             ":0:2352 --track audio:" + std::to_string(n + 5) +
                             ":15:" + std::to_string((n + 5) * 2352) + ":2352:5:5:0:0 ";
  r = run("toc --json" + tracks + Quote(binPath.string()));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("{\"track\":1,\"adr\":1,\"control\":4,\"msf\":\"00:02:00\",\"lba\":0}"), std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("{\"track\":2,\"adr\":1,\"control\":0,\"msf\":"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("\"track\":170,\"adr\":1,\"control\":4,\"msf\":"), std::string::npos) << r.output;
  const auto rawOut = dir / "m.raw";
  r = run("read --raw --first 0 --count " + std::to_string(n + 20) + tracks + Quote(binPath.string()) + " > " +
          Quote(rawOut.string()) + " 2>/dev/null");
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_TRUE(test::ReadFileBytes(rawOut) == bin);
  // The user data, through the geometry chosen from track 1 (the medium spans the whole file).
  r = run("iso -o " + Quote((dir / "m.iso").string()) + tracks + Quote(binPath.string()));
  EXPECT_EQ(r.exitCode, 0);
  const std::vector<uint8_t> converted = test::ReadFileBytes(dir / "m.iso");
  ASSERT_EQ(converted.size(), (n + 20) * 2048);
  EXPECT_TRUE(std::equal(isoBytes.begin(), isoBytes.end(), converted.begin()));

  // Layouts that do not parse are usage errors; layouts that do not fit are refused with a reason.
  EXPECT_EQ(run("toc --track mode1:0 " + Quote(binPath.string())).exitCode, 2);
  EXPECT_EQ(run("toc --track mode9:0:1:0:2048 " + Quote(binPath.string())).exitCode, 2);
  r = run("toc --track mode1raw:0:10:0:2340 " + Quote(binPath.string()));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("not 2048, 2336 or 2352"), std::string::npos) << r.output;
}

// BIN/CUE made from an ISO in each data mode reproduce the ISO, picked by either file; a mixed
// disc gives cd-info's table of contents and bchunk's track bytes.
TEST(Kvimage, CueSheetsGiveLayoutsTocsAndTheIso) {
  if (!test::HaveTool("bchunk") || !test::HaveTool("cd-info")) GTEST_SKIP() << "bchunk or cd-info missing";
  test::TempDir dir;
  const auto iso = test::MakeGenisoimage(dir, "-J", "c.iso");
  const std::vector<uint8_t> isoBytes = test::ReadFileBytes(iso);
  const size_t n = isoBytes.size() / 2048;
  auto run = [&](const std::string& args) { return test::Run(Quote(Kvimage()) + " " + args); };
  std::vector<uint8_t> mode2(n * 2352, 0);
  for (size_t i = 0; i < n; ++i) std::memcpy(mode2.data() + i * 2352 + 24, isoBytes.data() + i * 2048, 2048);
  const struct {
    const char* mode;
    std::vector<uint8_t> bytes;
  } forms[] = {{"MODE1/2352", test::WrapAsRawMode1(isoBytes)}, {"MODE1/2048", isoBytes}, {"MODE2/2352", mode2}};
  for (const auto& f : forms) {
    test::WriteFileBytes(dir / "d.bin", f.bytes);
    test::WriteFileText(dir / "d.cue",
                        std::string("FILE \"d.bin\" BINARY\n  TRACK 01 ") + f.mode + "\n    INDEX 01 00:00:00\n");
    for (const char* picked : {"d.cue", "d.bin"}) {
      const auto out = dir / "back.iso";
      const auto r = run("iso " + Quote((dir / picked).string()) + " -o " + Quote(out.string()));
      ASSERT_EQ(r.exitCode, 0) << f.mode << " " << picked << r.output;
      EXPECT_TRUE(test::ReadFileBytes(out) == isoBytes) << f.mode << " " << picked;
    }
  }

  // Data, then audio with a stored pregap (INDEX 00) in the same file.
  std::vector<uint8_t> bin = test::WrapAsRawMode1(isoBytes);
  const std::vector<uint8_t> audio = test::PatternBytes(400 * 2352, 5);
  bin.insert(bin.end(), audio.begin(), audio.end());
  test::WriteFileBytes(dir / "m.bin", bin);
  auto msf = [](size_t lba) {
    char t[80];
    std::snprintf(t, sizeof t, "%02zu:%02zu:%02zu", lba / 4500, lba / 75 % 60, lba % 75);
    return std::string(t);
  };
  test::WriteFileText(dir / "m.cue",
                      "FILE \"m.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
                      "  TRACK 02 AUDIO\n    INDEX 00 " +
                          msf(n) + "\n    INDEX 01 " + msf(n + 150) + "\n");
  const std::string cue = Quote((dir / "m.cue").string());
  auto r = run("toc --json " + cue);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  const auto judge = test::Run("cd-info --no-header --no-device-info --no-disc-mode --cue-file " + cue);
  for (const auto& [track, lsn, control] :
       {std::tuple<int, size_t, int>{1, 0, 4}, {2, n + 150, 0}, {170, n + 400, -1}}) {
    char mine[96], theirs[64];
    std::snprintf(mine, sizeof mine, "\"track\":%d,\"adr\":1,\"control\":%d,", track, control < 0 ? 4 : control);
    std::snprintf(theirs, sizeof theirs, ": %s  %06zu %s", msf(lsn + 150).c_str(), lsn,
                  track == 170   ? "leadout"
                  : control == 0 ? "audio"
                                 : "data");
    EXPECT_NE(r.output.find(mine), std::string::npos) << r.output;
    EXPECT_NE(judge.output.find(theirs), std::string::npos) << theirs << "\n" << judge.output;
  }
  // bchunk's tracks: the user data of track 1, the raw sectors of track 2 from its INDEX 01.
  ASSERT_EQ(test::Run("cd " + Quote(dir.path().string()) + " && bchunk m.bin m.cue part").exitCode, 0);
  EXPECT_TRUE(test::ReadFileBytes(dir / "part01.iso") == isoBytes);
  const auto raw = dir / "t2.raw";
  ASSERT_EQ(run("read --raw --first " + std::to_string(n + 150) + " --count 250 " + cue + " > " + Quote(raw.string()))
                .exitCode,
            0);
  EXPECT_TRUE(test::ReadFileBytes(raw) == test::ReadFileBytes(dir / "part02.cdr"));

  // The layout as text and JSON; a sheet over several files is shown and refused.
  r = run("layout --json " + cue);
  EXPECT_NE(r.output.find("\"track\":2,\"mode\":\"AUDIO\",\"start\":" + std::to_string(n + 150) +
                          ",\"pregap\":150,\"pregapInFile\":150,\"length\":250"),
            std::string::npos)
      << r.output;
  test::WriteFileText(dir / "two.cue",
                      "FILE \"c.iso\" BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n"
                      "FILE \"m.bin\" BINARY\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n");
  r = run("layout " + Quote((dir / "two.cue").string()));
  EXPECT_NE(r.output.find("not mountable: tracks lie in more than one file"), std::string::npos) << r.output;
  r = run("iso -o " + Quote((dir / "x.iso").string()) + " " + Quote((dir / "two.cue").string()));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("more than one file"), std::string::npos) << r.output;
  // A .cue of 128 KiB is not mounted as an image of text.
  test::WriteFileText(dir / "big.cue", std::string(131072, ' '));
  r = run("info " + Quote((dir / "big.cue").string()));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("not a cue sheet or media descriptor"), std::string::npos) << r.output;
}

}  // namespace
}  // namespace kv
