// Cue sheets, media descriptors and CD-TEXT files through the parsers: good sheets give the
// layout the rules say, bad ones fail without a crash and without a file left open.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "manager/inspect/disc_layout.h"
#include "tests/fixtures/descriptor_writers.h"
#include "tests/fixtures/test_support.h"

namespace kv {
namespace {

constexpr int kTextTitle = 0, kTextPerformer = 1, kTextSongwriter = 2, kTextComposer = 3, kTextCode = 14;

const TrackInfo* Info(const DiscLayout& layout, int slot) {
  return layout.info[slot].get();
}

}  // namespace
}  // namespace kv

namespace kv {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kDataSectors = 20000;

size_t OpenDescriptorCount() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

std::string Wide(const fs::path& p) {
  return p.string();
}

// A folder with the files the sheets below name.
class Sheets : public ::testing::Test {
 protected:
  void SetUp() override {
    Sparse("data.bin", kDataSectors * 2352);
    Sparse("data2.bin", 1000 * 2048);
    Sparse("sub dir/a b.bin", 1000 * 2352);
    Sparse("small.bin", 2047);
    fs::create_directories(dir_ / "folder.bin");
    test::WriteFileBytes(dir_ / "audio.wav", test::BuildWave(std::vector<uint8_t>(2352 * 10 + 100, 7)));
    test::WriteFileBytes(dir_ / "list.wav", test::BuildWave(std::vector<uint8_t>(2352 * 10, 7), true));
    test::WriteFileBytes(dir_ / "riff.aud", test::BuildWave(std::vector<uint8_t>(2352 * 4, 7)));
  }
  void Sparse(const std::string& name, int64_t size) {
    fs::create_directories((dir_ / name).parent_path());
    test::WriteFileBytes(dir_ / name, {});
    fs::resize_file(dir_ / name, static_cast<uintmax_t>(size));
  }
  std::unique_ptr<DiscLayout> Parse(const std::string& text, const std::string& name = "t.cue") {
    test::WriteFileText(dir_ / name, text);
    return ParseCueSheet(Wide(dir_ / name));
  }
  test::TempDir dir_;
};

TEST_F(Sheets, MalformedSheetsAndBadInputFailWithoutLeavingFilesOpen) {
  const std::string head = "FILE data.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n";
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"index at the file's sector count", head + "TRACK 02 MODE1/2352\nINDEX 01 04:26:50\n"},
      {"missing file type", "FILE data.bin\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"},
      {"word after file type", "FILE data.bin BINARY x\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"},
      {"binary file as WAVE", "FILE data.bin WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"},
      {"index 3 after 1", head + "INDEX 03 00:01:00\n"},
      {"time with letters", "FILE data.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 0x:00:00\n"},
      {"flags after index", head + "FLAGS DCP\n"},
      {"ISRC with a further word", "FILE data.bin BINARY\nTRACK 01 AUDIO\nISRC USAB12345678 x\nINDEX 01 00:00:00\n"},
      {"file before the track's index 01", "FILE data.bin BINARY\nTRACK 01 MODE1/2352\nFILE data.bin BINARY\n"},
      {"CD-TEXT file not packs", "CDTEXTFILE data2.bin\n" + head},
      {"INDEX 00 after INDEX 01", head + "TRACK 02 AUDIO\nINDEX 01 00:10:00\nINDEX 00 00:12:00\n"},
      {"only blanks", " \r\n\t\n"},
  };
  const size_t before = OpenDescriptorCount();
  for (const auto& [name, text] : cases) {
    EXPECT_EQ(Parse(text), nullptr) << name;
    EXPECT_EQ(OpenDescriptorCount(), before) << name;
  }
  // A descriptor of exactly 128 KiB is no descriptor; one byte less still is.
  std::string padded = head;
  padded.resize(131072, ' ');
  EXPECT_EQ(Parse(padded), nullptr);
  padded.resize(131071);
  EXPECT_NE(Parse(padded), nullptr);
  EXPECT_EQ(OpenDescriptorCount(), before);
}

struct GoodSheet {
  const char* name;
  std::string text;
  std::function<void(const DiscLayout&)> check;
};

TEST_F(Sheets, WellFormedSheetsGiveTheirLayout) {
  const std::string data = (dir_ / "data.bin").string();
  const std::vector<GoodSheet> cases = {
      {"index 00 pregap in one file",
       "FILE data.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\nTRACK 02 MODE1/2352\n"
       "INDEX 00 03:00:00\nINDEX 01 03:02:00\n",
       [](const DiscLayout& L) {
         EXPECT_EQ(L.trackCount, 2);
         EXPECT_EQ(L.length[0], 13500);
         EXPECT_EQ(L.pregap[1], 150);
         EXPECT_EQ(L.pregapInFile[1], 150);
         EXPECT_EQ(L.start[1], 13650);
         EXPECT_EQ(Info(L, 2)->indexPosition[0], -150);
         EXPECT_EQ(L.fileOffset[1], 13650LL * 2352);
         EXPECT_EQ(L.length[1], kDataSectors - 13650);
         EXPECT_EQ(L.fileEnd[1], kDataSectors * 2352);
         EXPECT_EQ(LayoutSectors(L), kDataSectors);
       }},
      {"index 00 within two seconds is ignored",
       "FILE data.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\nTRACK 02 AUDIO\n"
       "INDEX 00 00:01:00\nINDEX 01 00:03:00\n",
       [](const DiscLayout& L) {
         EXPECT_EQ(L.pregap[1], 0);
         EXPECT_EQ(L.length[0], 225);
         EXPECT_EQ(L.start[1], 225);
       }},
      {"two files with different sector sizes",
       "FILE data2.bin BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\nFILE audio.wav WAVE\nTRACK 02 AUDIO\n"
       "INDEX 01 00:00:00\n",
       [&](const DiscLayout& L) {
         EXPECT_EQ(L.trackCount, 2);
         EXPECT_EQ(L.length[0], 1000);
         EXPECT_EQ(L.start[1], 1000);
         EXPECT_EQ(L.length[1], 11);  // 10 sectors and 100 bytes of sound
         EXPECT_EQ(L.fileOffset[1], 44);
         EXPECT_EQ(L.trackDataOffset[1], 44);
         EXPECT_FALSE(L.trackOpenFile[0]);
         EXPECT_TRUE(L.trackOpenFile[1]);
         EXPECT_NE(ServableFromOneFile(L), nullptr);
       }},
      {"CRLF, tabs, BOM, quoted name with spaces, unknown keyword, REM",
       "\xEF\xBB\xBFREM GENRE Rock\r\nARRANGER x\r\n\tFILE \"sub dir/a b.bin\" BINARY\r\n\tTRACK 1 AUDIO\r\n"
       "\t\tINDEX 1 0:0:0\r\n",
       [&](const DiscLayout& L) {
         EXPECT_EQ(L.trackCount, 1);
         EXPECT_EQ(L.imagePath, Wide(dir_ / "sub dir/a b.bin"));
         EXPECT_EQ(L.length[0], 1000);
       }},
      {"CR-only lines, names with .. and absolute names",
       "FILE \"sub dir/../data.bin\" BINARY\rTRACK 01 MODE2/2352\rINDEX 01 00:00:00\rFILE \"" + data +
           "\" BINARY\rTRACK 02 MODE2/2352\rINDEX 01 00:00:00\r",
       [&](const DiscLayout& L) {
         EXPECT_EQ(L.trackCount, 2);
         EXPECT_EQ(L.mode[0], TRACK_MODE2_RAW);
         EXPECT_EQ(L.trackFile[1], Wide(data));
         EXPECT_EQ(L.start[1], kDataSectors);
       }},
      {"texts, flags, catalog, ISRC, gaps, further indexes",
       "CATALOG 0123456789012\nPERFORMER \"" + std::string(100, 'p') +
           "\"\nTITLE Disc\nFILE data.bin BINARY\nTRACK 01 AUDIO\nFLAGS DCP 4CH PRE SCMS\nISRC GB-A1B-99-00001\n"
           "TITLE \"One\"\nSONGWRITER s\nCOMPOSER c\nPREGAP 00:02:00\nINDEX 01 00:00:00\nINDEX 02 00:01:00\n"
           "INDEX 03 00:02:00\nPOSTGAP 00:00:10\nTRACK 02 MODE1/2352\nINDEX 01 00:10:00\n",
       [](const DiscLayout& L) {
         const TrackInfo* disc = Info(L, 0);
         ASSERT_NE(disc, nullptr);
         EXPECT_EQ(disc->text[kTextPerformer], std::string(80, 'p'));
         EXPECT_EQ(disc->wideText[kTextTitle], std::u16string(u"Disc"));
         EXPECT_EQ(disc->text[kTextCode], "0123456789012");
         const TrackInfo* one = Info(L, 1);
         ASSERT_NE(one, nullptr);
         EXPECT_EQ(one->flags, 15u);
         EXPECT_EQ(one->text[kTextCode], "GBA1B9900001");
         EXPECT_EQ(one->text[kTextTitle], "One");
         EXPECT_EQ(one->text[kTextSongwriter], "s");
         EXPECT_EQ(one->text[kTextComposer], "c");
         EXPECT_EQ(one->lastIndex, 3);
         EXPECT_EQ(one->indexPosition[3], 150);
         // PREGAP and POSTGAP are not in the file: track 1 keeps its 750 stored sectors.
         EXPECT_EQ(L.pregap[0], 150);
         EXPECT_EQ(L.pregapInFile[0], 0);
         EXPECT_EQ(L.start[0], 150);
         EXPECT_EQ(L.postgap[0], 10);
         EXPECT_EQ(L.length[0], 750);
         EXPECT_EQ(L.start[1], 150 + 750 + 10);
       }},
      {"WAVE named by extension, AIFF keyword on a RIFF file",
       "FILE audio.wav WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nFILE riff.aud AIFF\nTRACK 02 AUDIO\n"
       "INDEX 00 00:00:00\nINDEX 01 00:00:02\n",
       [](const DiscLayout& L) {
         EXPECT_EQ(L.length[0], 11);
         EXPECT_EQ(L.pregap[1], 2);
         EXPECT_EQ(L.pregapInFile[1], 2);
         EXPECT_EQ(L.start[1], 13);
         EXPECT_EQ(L.length[1], 2);
         EXPECT_EQ(L.fileOffset[1], 44 + 2 * 2352);
       }},
      {"overlong line's tail is not a line",
       "REM " + std::string(100000, 'x') +
           "FILE nothing.bin BINARY\nFILE data.bin BINARY\nTRACK 01 MODE1/2352\n"
           "INDEX 01 00:00:00\n",
       [](const DiscLayout& L) { EXPECT_EQ(L.trackCount, 1); }},
  };
  const size_t before = OpenDescriptorCount();
  for (const auto& c : cases) {
    auto layout = Parse(c.text);
    ASSERT_NE(layout, nullptr) << c.name;
    EXPECT_TRUE(IsValidLayout(*layout)) << c.name;
    c.check(*layout);
  }
  EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST_F(Sheets, CdTextIsValidatedRepairedAndDistributed) {
  using test::CdTextRun;
  const std::vector<CdTextRun> runs = {{0, {"Disc title", "Song one", "Song two", "Extra", "More"}},
                                       {1, {"Band", "Singer", ""}}};
  const std::string sheet =
      "CDTEXTFILE t.cdt\nTITLE Old\nFILE data.bin BINARY\nTRACK 01 AUDIO\nTITLE One\n"
      "INDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 01 00:10:00\n";
  const auto good = test::BuildCdText(runs, true);
  ASSERT_EQ(good.size() % 18, 4u);
  struct Case {
    const char* name;
    std::vector<uint8_t> file;
    bool accepted;
  };
  std::vector<Case> cases;
  cases.push_back({"with header", good, true});
  cases.push_back({"without header", test::BuildCdText(runs, false), true});
  auto flip = [&](std::initializer_list<std::pair<size_t, int>> bits) {
    auto v = good;
    for (auto [byte, bit] : bits) v[4 + byte] ^= static_cast<uint8_t>(1u << bit);
    return v;
  };
  cases.push_back({"one text bit flipped", flip({{18 + 7, 3}}), true});
  cases.push_back({"one CRC bit flipped", flip({{18 + 17, 0}}), true});
  cases.push_back({"type bit flipped", flip({{0, 7}}), true});
  cases.push_back({"two bits flipped in one pack", flip({{18 + 7, 3}, {18 + 9, 1}}), false});
  auto badHeader = good;
  badHeader[1] ^= 1;
  cases.push_back({"header length wrong", badHeader, false});
  auto badType = test::BuildCdText({{-0x10, {"x"}}});
  cases.push_back({"pack type below 0x80", badType, false});
  cases.push_back({"17 bytes", std::vector<uint8_t>(good.begin() + 4, good.begin() + 21), false});
  const size_t before = OpenDescriptorCount();
  for (const auto& c : cases) {
    test::WriteFileBytes(dir_ / "t.cdt", c.file);
    auto L = Parse(sheet);
    ASSERT_EQ(L != nullptr, c.accepted) << c.name;
    if (!L) continue;
    EXPECT_EQ(Info(*L, 0)->wideText[kTextTitle], std::u16string(u"Disc title")) << c.name;
    EXPECT_EQ(Info(*L, 1)->text[kTextTitle], "Song one") << c.name;
    EXPECT_EQ(Info(*L, 2)->text[kTextTitle], "Song two") << c.name;
    EXPECT_EQ(Info(*L, 0)->text[kTextPerformer], "Band") << c.name;
    EXPECT_EQ(Info(*L, 1)->text[kTextPerformer], "Singer") << c.name;
    EXPECT_EQ(Info(*L, 2)->text[kTextPerformer], "") << c.name;
    EXPECT_EQ(Info(*L, 3), nullptr) << c.name;  // strings past the last track are dropped
  }
  EXPECT_EQ(OpenDescriptorCount(), before);
}

class Descriptors : public Sheets {
 protected:
  void SetUp() override {
    Sheets::SetUp();
    Sparse("x.mdf", 1000 * 2352);
  }
  std::unique_ptr<DiscLayout> ParseMds(const std::vector<uint8_t>& bytes) {
    test::WriteFileBytes(dir_ / "x.mds", bytes);
    return ParseMediaDescriptor(Wide(dir_ / "x.mds"));
  }
};

TEST_F(Descriptors, MediaDescriptorsGiveTheirLayout) {
  using test::MdsTrack;
  const std::vector<MdsTrack> tracks = {{0xAA, 0, 0, 2352, true, 150, 600}, {0xA9, 0, 750, 2352, true, 150, 250}};
  auto L = ParseMds(test::BuildMds(tracks, "*.mdf"));
  ASSERT_NE(L, nullptr);
  EXPECT_EQ(L->imagePath, Wide(dir_ / "x.mdf"));
  EXPECT_EQ(L->trackCount, 2);
  EXPECT_EQ(L->mode[0], TRACK_MODE1_RAW);
  EXPECT_EQ(L->mode[1], TRACK_AUDIO);
  EXPECT_EQ(L->pregap[0], 0);
  EXPECT_EQ(L->pregap[1], 150);
  EXPECT_EQ(L->start[1], 750);
  EXPECT_EQ(L->fileOffset[1], 600 * 2352);
  EXPECT_EQ(L->fileEnd[1], 850 * 2352);
  EXPECT_EQ(L->length[1], 250);
  EXPECT_EQ(L->start[2], 1000);

  // Without extra blocks the starts give the lengths, and the data file the last one's.
  auto plain = tracks;
  for (auto& t : plain) t.extra = false;
  plain[1].start = 600;
  L = ParseMds(test::BuildMds(plain, "x.mdf", true));
  ASSERT_NE(L, nullptr);
  EXPECT_EQ(L->length[0], 600);
  EXPECT_EQ(L->fileEnd[0], 600 * 2352);
  EXPECT_EQ(L->length[1], 400);
  EXPECT_EQ(L->imagePath, Wide(dir_ / "x.mdf"));

  auto withSubchannel = tracks;
  withSubchannel[0].subchannel = 8;
  L = ParseMds(test::BuildMds(withSubchannel, "*.mdf"));
  ASSERT_NE(L, nullptr);
  EXPECT_EQ(L->mode[0], TRACK_UNKNOWN);
  EXPECT_EQ(L->mode[1], TRACK_AUDIO);

  // Either file of the pair chooses the same disc; a layout for another file is not taken.
  test::WriteFileBytes(dir_ / "x.mds", test::BuildMds(tracks, "*.mdf"));
  for (const char* picked : {"x.mds", "x.mdf"}) {
    ImageChoice choice = ChooseImage(Wide(dir_ / picked));
    ASSERT_NE(choice.layout, nullptr) << picked;
    EXPECT_EQ(choice.image, Wide(dir_ / "x.mdf")) << picked;
    EXPECT_EQ(choice.descriptor, Wide(dir_ / "x.mds")) << picked;
  }
  EXPECT_EQ(ParseDescriptor(Wide(dir_ / "x.mds"), Wide(dir_ / "data.bin")), nullptr);
  test::WriteFileText(dir_ / "data.cue", "FILE data.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n");
  EXPECT_NE(FindDescriptorFor(Wide(dir_ / "data.bin")), nullptr);
  EXPECT_EQ(FindDescriptorFor(Wide(dir_ / "data2.bin")), nullptr);
  ImageChoice alone = ChooseImage(Wide(dir_ / "data2.bin"));
  EXPECT_EQ(alone.layout, nullptr);
  EXPECT_EQ(alone.image, Wide(dir_ / "data2.bin"));
}

TEST_F(Descriptors, HostileMediaDescriptorsFailCleanly) {
  using test::MdsTrack;
  const auto good = test::BuildMds({{0xAA, 0, 0, 2352, true, 150, 600}, {0xA9, 0, 750, 2352, true, 150, 250}}, "x.mdf");
  auto put32 = [](std::vector<uint8_t> v, size_t at, uint32_t x) {
    if (at + 4 > v.size()) v.resize(at + 4);
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
    return v;
  };
  const size_t firstTrack = test::kMdsTrackBlocksOffset + 3 * test::kMdsTrackBlockSize;
  const std::vector<std::pair<const char*, std::vector<uint8_t>>> failing = {
      {"track blocks past the end", put32(good, 108, 0xFFFFFFF0u)},
      {"track blocks at the last bytes", put32(good, 108, static_cast<uint32_t>(good.size() - 40))},
      {"footer past the end", put32(good, firstTrack + 52, 0xFFFFFFF0u)},
      {"no footer", put32(good, firstTrack + 52, 0)},
      {"name past the end", put32(good, static_cast<size_t>(good[firstTrack + 52] | good[firstTrack + 53] << 8),
                                  static_cast<uint32_t>(good.size() + 5))},
      {"no signature", put32(good, 0, 0x4E4F4E45)},
      {"header only", std::vector<uint8_t>(good.begin(), good.begin() + 112)},
      {"impossible length", put32(good, good.size() - 16 - 2 - 16 + 4, 0x90000000u)},
  };
  const size_t before = OpenDescriptorCount();
  for (const auto& [name, bytes] : failing) EXPECT_EQ(ParseMds(bytes), nullptr) << name;
  // Offsets at the header itself, extra blocks at the end, and every truncation: no crash, no leak.
  for (auto v : {put32(good, 108, 0), put32(good, firstTrack + 12, static_cast<uint32_t>(good.size() - 8)),
                 put32(good, firstTrack + 12, 0xFFFFFFFFu)}) {
    v[98] = 255;
    ParseMds(v);
  }
  for (size_t n = 0; n < good.size(); n += 7) ParseMds(std::vector<uint8_t>(good.begin(), good.begin() + n));
  std::vector<uint8_t> big(131072, 0);
  std::copy(good.begin(), good.end(), big.begin());
  EXPECT_EQ(ParseMds(big), nullptr);
  big.resize(131071);
  EXPECT_NE(ParseMds(big), nullptr);
  EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(LayoutUse, MountRequestCopyAndAudioRun) {
  auto request = std::make_unique<MountRequest>();
  for (int32_t length : {445500, 445501}) {
    auto L = std::make_unique<DiscLayout>();
    L->trackCount = 1;
    L->mode[0] = TRACK_MODE1_RAW;
    L->sectorSize[0] = 2352;
    L->length[0] = length;
    std::memset(request.get(), 0, sizeof *request);
    CopyLayoutToRequest(*L, request.get());
    EXPECT_EQ(request->TrackCount, length == 445500 ? 1u : 0u);
    EXPECT_EQ(request->TrackStart[1], length);
    EXPECT_EQ(request->TrackMode[1], TRACK_MODE1_RAW);
  }
  auto L = std::make_unique<DiscLayout>();
  L->trackCount = 3;
  L->imagePath = L->trackFile[0] = L->trackFile[1] = "/a.bin";
  // Another file whose name differs only in case is another file.
  L->trackFile[2] = "/A.bin";
  EXPECT_NE(ServableFromOneFile(*L), nullptr);
  L->trackFile[2] = "/a.bin";
  EXPECT_EQ(ServableFromOneFile(*L), nullptr);
  L->mode[0] = L->mode[1] = TRACK_AUDIO;
  L->mode[2] = TRACK_MODE1_RAW;
  L->start[1] = 450;
  L->start[2] = 900;
  L->length[2] = 100;
  L->postgap[2] = 10;
  EXPECT_EQ(LayoutSectors(*L), 1010);
  EXPECT_TRUE(LeadingAudioRun(*L));
  EXPECT_EQ(L->trackCount, 2);
  EXPECT_EQ(L->mode[2], TRACK_AUDIO);
  L->mode[0] = TRACK_MODE1_RAW;
  EXPECT_FALSE(LeadingAudioRun(*L));
}

}  // namespace
}  // namespace kv
