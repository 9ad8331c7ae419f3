// Cue sheets, CD-TEXT files and media descriptors written by the test, parsed into layouts;
// malformed ones of every kind fail without leaving a file open.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "common/crc.h"
#include "formats/image_source.h"
#include "formats/raw/track_layout.h"
#include "manager/inspect/disc_layout.h"
#include "tests/fixtures/raw_image_writer.h"
#include "tests/fixtures/test_support.h"

namespace kv::test {
namespace {

namespace fs = std::filesystem;

int OpenDescriptors() {
  int n = 0;
  for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
    (void)e;
    ++n;
  }
  return n;
}

// A sparse file of `sectors` sectors of `size` bytes.
void MakeData(const fs::path& p, int64_t sectors, int64_t size = 2352) {
  const int fd = open(p.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, sectors * size), 0);
  close(fd);
}

std::vector<uint8_t> Wave(uint32_t dataBytes, bool dataFirst = true) {
  std::string w;
  auto u32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) w += static_cast<char>(v >> (8 * i));
  };
  w += "RIFF";
  u32(36 + dataBytes);
  w += "WAVEfmt ";
  u32(16);
  for (int b : {1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 2, 0, 4, 0, 16, 0}) w += static_cast<char>(b);
  if (!dataFirst) {
    w += "LIST";
    u32(4);
    w += "INFO";
  }
  w += "data";
  u32(dataBytes);
  w.append(dataBytes, '\x33');
  return std::vector<uint8_t>(w.begin(), w.end());
}

// 18-byte CD-TEXT packs of type `type` carrying `texts` (NUL-separated) from track `track`.
void AddPacks(std::vector<uint8_t>& out, uint8_t type, uint8_t track, const std::string& texts) {
  for (size_t at = 0; at < texts.size(); at += 12) {
    uint8_t pack[18] = {type, track, 0, 0};
    for (size_t c = 0; c < 12 && at + c < texts.size(); ++c) pack[4 + c] = static_cast<uint8_t>(texts[at + c]);
    const uint16_t crc = static_cast<uint16_t>(~Crc16Ccitt(pack, 16));
    pack[16] = static_cast<uint8_t>(crc >> 8);
    pack[17] = static_cast<uint8_t>(crc);
    out.insert(out.end(), pack, pack + 18);
  }
}

class CueSheetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeData(dir_ / "a.bin", 20000);
    MakeData(dir_ / "b.bin", 3000);
    MakeData(dir_ / "c.iso", 400, 2048);
    MakeData(dir_ / "with space.bin", 500);
    WriteFileBytes(dir_ / "song.wav", Wave(2352 * 10 + 100));
    WriteFileBytes(dir_ / "odd.wav", Wave(2352 * 10, false));
    WriteFileBytes(dir_ / "short.bin", std::vector<uint8_t>(1000));
    fs::create_directories(dir_ / "folder.bin");
    std::string both = std::string("Disc") + '\0' + "One" + '\0' + "Two" + '\0';
    AddPacks(cdText_, 0x80, 0, both);
    AddPacks(cdText_, 0x81, 0, std::string("Band") + '\0' + "Singer" + '\0' + "Singer" + '\0');
  }
  std::unique_ptr<DiscLayout> Parse(const std::string& text, const std::string& name = "x.cue") {
    WriteFileText(dir_ / name, text);
    return ParseCueSheet((dir_ / name).string());
  }
  TempDir dir_;
  std::vector<uint8_t> cdText_;
};

TEST_F(CueSheetTest, GapsLengthsAndStartsFollowTheIndexes) {
  // Track 2's INDEX 00 at 03:00:00 and INDEX 01 at 03:02:00 in the same file.
  auto l = Parse(
      "FILE a.bin BINARY\n TRACK 01 MODE1/2352\n  INDEX 01 00:00:00\n TRACK 02 AUDIO\n"
      "  INDEX 00 03:00:00\n  INDEX 01 03:02:00\n");
  ASSERT_TRUE(l);
  EXPECT_EQ(l->trackCount, 2);
  EXPECT_EQ(l->length[0], 13500);
  EXPECT_EQ(l->pregap[1], 150);
  EXPECT_EQ(l->pregapInFile[1], 150);
  EXPECT_EQ(l->start[1], 13650);
  EXPECT_EQ(l->length[1], 20000 - 13650);
  EXPECT_EQ(l->fileOffset[1], 13650 * 2352);
  EXPECT_EQ(l->info[2]->indexPosition[0], -150);
  EXPECT_EQ(l->imagePath, (dir_ / "a.bin").string());
  EXPECT_EQ(ServableFromOneFile(*l), nullptr);
  EXPECT_EQ(LayoutSectors(*l), 20000);

  // An INDEX 00 less than 150 sectors after the previous INDEX 01 is ignored.
  l = Parse(
      "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 00 00:01:00\n"
      "INDEX 01 00:03:00\n");
  ASSERT_TRUE(l);
  EXPECT_EQ(l->pregap[1], 0);
  EXPECT_EQ(l->start[1], 225);
  EXPECT_EQ(l->length[0], 225);

  // Gaps that are not in the file (PREGAP, POSTGAP) move the starts and take no file sectors.
  l = Parse(
      "FILE a.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\nPOSTGAP 00:01:00\nTRACK 02 AUDIO\n"
      "PREGAP 00:02:00\nINDEX 01 00:04:00\n");
  ASSERT_TRUE(l);
  EXPECT_EQ(l->length[0], 300);
  EXPECT_EQ(l->postgap[0], 75);
  EXPECT_EQ(l->pregap[1], 150);
  EXPECT_EQ(l->pregapInFile[1], 0);
  EXPECT_EQ(l->start[1], 300 + 75 + 150);

  // Two files: each track keeps its own file, and the drive cannot serve the second.
  const int before = OpenDescriptors();
  l = Parse(
      "FILE c.iso BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\nFILE \"song.wav\" WAVE\nTRACK 02 AUDIO\n"
      "INDEX 01 00:00:00\n");
  ASSERT_TRUE(l);
  EXPECT_EQ(l->length[0], 400);
  EXPECT_EQ(l->start[1], 400);
  EXPECT_EQ(l->length[1], 11);
  EXPECT_EQ(l->fileOffset[1], 44);
  EXPECT_TRUE(l->trackOpenFile[1]);
  EXPECT_FALSE(l->trackOpenFile[0]);
  EXPECT_NE(ServableFromOneFile(*l), nullptr);
  EXPECT_EQ(OpenDescriptors(), before + 1);
  l.reset();
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(CueSheetTest, LineEndsQuotesAndTexts) {
  const std::string body =
      "CATALOG 1234567890123\nPERFORMER \"The Band\"\nFILE \"with space.bin\" BINARY\n\tTRACK 01 AUDIO\n"
      "    FLAGS DCP PRE\n    ISRC GB-ABC-12-34567\n    TITLE \"" +
      std::string(100, 'x') + "\"\n    INDEX 01 00:00:00\nREM " + std::string(100000, 'r') + "\n";
  std::string crlf, cr;
  for (char c : body) {
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    cr += c == '\n' ? '\r' : c;
  }
  for (const std::string& text : {body, crlf, cr, "\xEF\xBB\xBF" + body}) {
    auto l = Parse(text);
    ASSERT_TRUE(l) << text.substr(0, 40);
    EXPECT_EQ(l->trackCount, 1);
    EXPECT_EQ(l->length[0], 500);
    EXPECT_EQ(l->info[0]->text[14], "1234567890123");
    EXPECT_EQ(l->info[0]->text[1], "The Band");
    EXPECT_EQ(l->info[0]->wideText[1], u"The Band");
    EXPECT_EQ(l->info[1]->flags, kFlagDcp | kFlagPre);
    EXPECT_EQ(l->info[1]->text[14], "GBABC1234567");
    EXPECT_EQ(l->info[1]->text[0], std::string(80, 'x'));
  }
}

TEST_F(CueSheetTest, CdTextFilesAreValidatedRepairedAndDistributed) {
  const std::string sheet =
      "CDTEXTFILE disc.cdt\nTITLE Old\nFILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"
      "TRACK 02 AUDIO\nINDEX 01 00:10:00\n";
  WriteFileBytes(dir_ / "disc.cdt", cdText_);
  auto l = Parse(sheet);
  ASSERT_TRUE(l);
  EXPECT_EQ(l->info[0]->text[0], "Disc");
  EXPECT_EQ(l->info[1]->text[0], "One");
  EXPECT_EQ(l->info[2]->text[0], "Two");
  EXPECT_EQ(l->info[2]->text[1], "Singer");

  std::vector<uint8_t> withHeader(4 + cdText_.size(), 0);
  withHeader[0] = static_cast<uint8_t>((withHeader.size() - 2) >> 8);
  withHeader[1] = static_cast<uint8_t>(withHeader.size() - 2);
  std::copy(cdText_.begin(), cdText_.end(), withHeader.begin() + 4);
  WriteFileBytes(dir_ / "disc.cdt", withHeader);
  EXPECT_TRUE(Parse(sheet));

  std::vector<uint8_t> oneBit = cdText_;
  oneBit[18 + 7] ^= 0x10;
  WriteFileBytes(dir_ / "disc.cdt", oneBit);
  l = Parse(sheet);
  ASSERT_TRUE(l);
  EXPECT_EQ(l->info[1]->text[0], "One");
  std::vector<uint8_t> twoBits = oneBit;
  twoBits[18 + 9] ^= 0x01;
  WriteFileBytes(dir_ / "disc.cdt", twoBits);
  EXPECT_FALSE(Parse(sheet));
  WriteFileBytes(dir_ / "disc.cdt", std::vector<uint8_t>(cdText_.begin(), cdText_.end() - 1));
  EXPECT_FALSE(Parse(sheet));
  // Texts of tracks the sheet does not have are dropped.
  std::vector<uint8_t> extra = cdText_;
  AddPacks(extra, 0x82, 7, std::string("Nobody") + '\0');
  WriteFileBytes(dir_ / "disc.cdt", extra);
  l = Parse(sheet);
  ASSERT_TRUE(l);
  EXPECT_EQ(l->info[1]->text[0], "One");
}

TEST_F(CueSheetTest, MalformedSheetsFailWithoutLeavingFilesOpen) {
  const std::string one = "FILE a.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n";
  std::string hundred = "FILE a.bin BINARY\n";
  for (int i = 1; i <= 100; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "TRACK %02d AUDIO\nINDEX 01 00:%02d:%02d\n", i, i / 75, i % 75);
    hundred += line;
  }
  const std::vector<std::pair<const char*, std::string>> bad = {
      {"track numbers skip",
       "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 03 AUDIO\nINDEX 01 00:04:00\n"},
      {"two sector sizes in one file",
       "FILE a.bin BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 01 00:04:00\n"},
      {"index not increasing",
       "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:04:00\nTRACK 02 AUDIO\nINDEX 01 00:04:00\n"},
      {"index past the file", "FILE b.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:40:00\n"},
      {"no INDEX 01 at the end", "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 02 AUDIO\n"},
      {"100 tracks", hundred},
      {"catalog of 12 digits", "CATALOG 123456789012\n" + one},
      {"catalog after FILE", "FILE a.bin BINARY\nCATALOG 1234567890123\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"},
      {"wave data not after the format chunk", "FILE odd.wav WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"},
      {"missing file", "FILE none.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"},
      {"directory as file", "FILE folder.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"},
      {"file under 2048 bytes", "FILE short.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"},
      {"unknown file type", "FILE a.bin OGG\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"},
      {"token after the mode", "FILE a.bin BINARY\nTRACK 01 AUDIO extra\nINDEX 01 00:00:00\n"},
      {"unknown mode", "FILE a.bin BINARY\nTRACK 01 MODE3/2352\nINDEX 01 00:00:00\n"},
      {"seconds of 60", "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:60:00\n"},
      {"frames of 75", "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:75\n"},
      {"index 2 before index 1", "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 02 00:00:00\n"},
      {"index before a track", "FILE a.bin BINARY\nINDEX 01 00:00:00\nTRACK 01 AUDIO\n"},
      {"track before a file", "TRACK 01 AUDIO\nINDEX 01 00:00:00\n"},
      {"unknown flag", "FILE a.bin BINARY\nTRACK 01 AUDIO\nFLAGS LOUD\nINDEX 01 00:00:00\n"},
      {"bad ISRC", "FILE a.bin BINARY\nTRACK 01 AUDIO\nISRC gb-abc-12-34567\nINDEX 01 00:00:00\n"},
      {"title with a further token", "TITLE \"a\" b\n" + one},
      {"missing CD-TEXT file", "CDTEXTFILE none.cdt\n" + one},
      {"NUL before the first track", std::string("FILE a.bin BINARY\n") + '\0' + "TRACK 01 AUDIO\nINDEX 01 00:00:00\n"},
      {"empty", ""},
      {"binary noise", std::string(5000, '\x01')},
  };
  const int before = OpenDescriptors();
  for (const auto& [name, text] : bad) EXPECT_FALSE(Parse(text)) << name;
  // A descriptor of 128 KiB is not a descriptor; one byte less is.
  std::string padded = one + "REM ";
  padded.resize(131072 - 1, 'p');
  EXPECT_TRUE(Parse(padded));
  EXPECT_FALSE(Parse(padded + "p"));
  EXPECT_EQ(OpenDescriptors(), before);
  // Names are resolved against the sheet's folder, absolute names as they stand.
  fs::create_directories(dir_ / "sub");
  EXPECT_TRUE(Parse("FILE ../a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n", "sub/y.cue"));
  EXPECT_TRUE(Parse("FILE \"" + (dir_ / "a.bin").string() + "\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"));
  auto l = Parse("FILE *.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n", "a.cue");
  ASSERT_TRUE(l);
  EXPECT_EQ(l->imagePath, (dir_ / "a.bin").string());
}

// A media descriptor with two tracks (data and audio), extra blocks and a footer.
std::vector<uint8_t> Mds(uint16_t firstMode, uint32_t nameOffsetOverride = 0, uint32_t dataSectors = 1000) {
  std::vector<uint8_t> m(0x200, 0);
  std::memcpy(m.data(), "MEDIA DESCRIPTOR", 16);
  auto u32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) m[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  m[0x62] = 3;
  u32(0x6C, 0x70);
  const uint32_t extra = 0x70 + 3 * 80, footer = extra + 16, name = footer + 16;
  // A lead-in entry, then tracks 1 and 2.
  uint8_t* b = m.data() + 0x70;
  b[4] = 0xA0;
  // Track 2 follows a pregap of 150 sectors that the file does not hold.
  const uint32_t a = dataSectors + 150 + 150;
  const uint8_t m2 = static_cast<uint8_t>(a / 4500), s2 = static_cast<uint8_t>(a / 75 % 60),
                f2 = static_cast<uint8_t>(a % 75);
  const struct {
    uint16_t mode;
    uint8_t point, m, s, f;
    uint32_t pregap, length;
  } tracks[] = {{firstMode, 1, 0, 2, 0, 150, dataSectors}, {0x00A9, 2, m2, s2, f2, 150, 500}};
  for (int t = 0; t < 2; ++t) {
    uint8_t* block = m.data() + 0x70 + 80 * (t + 1);
    block[0] = static_cast<uint8_t>(tracks[t].mode);
    block[1] = static_cast<uint8_t>(tracks[t].mode >> 8);
    block[4] = tracks[t].point;
    block[9] = tracks[t].m;
    block[10] = tracks[t].s;
    block[11] = tracks[t].f;
    u32(0x70 + 80 * (t + 1) + 12, extra + 8 * t);
    block[16] = 0x30;
    block[17] = 0x09;  // 2352
    u32(0x70 + 80 * (t + 1) + 52, footer);
    u32(extra + 8 * t, tracks[t].pregap);
    u32(extra + 8 * t + 4, tracks[t].length);
  }
  u32(footer, nameOffsetOverride ? nameOffsetOverride : name);
  std::memcpy(m.data() + name, "*.mdf", 6);
  return m;
}

TEST_F(CueSheetTest, MediaDescriptorsAndTheChoiceOfImage) {
  MakeData(dir_ / "m.mdf", 1800);
  WriteFileBytes(dir_ / "m.mds", Mds(0x00AA));
  auto l = ParseMediaDescriptor((dir_ / "m.mds").string());
  ASSERT_TRUE(l);
  EXPECT_EQ(l->trackCount, 2);
  EXPECT_EQ(l->mode[0], TRACK_MODE1_RAW);
  EXPECT_EQ(l->mode[1], TRACK_AUDIO);
  EXPECT_EQ(l->start[0], 0);
  EXPECT_EQ(l->start[1], 1150);
  EXPECT_EQ(l->pregap[1], 150);
  EXPECT_EQ(l->length[0], 1000);
  EXPECT_EQ(l->fileOffset[1], (1150 - 150) * 2352);
  EXPECT_EQ(l->start[2], 1650);
  EXPECT_EQ(l->imagePath, (dir_ / "m.mdf").string());

  // Subchannel data gives mode 0; offsets outside the file fail.
  WriteFileBytes(dir_ / "sub.mds", Mds(0x08AA));
  l = ParseMediaDescriptor((dir_ / "sub.mds").string());
  ASSERT_TRUE(l);
  EXPECT_EQ(l->mode[0], TRACK_UNKNOWN);
  WriteFileBytes(dir_ / "far.mds", Mds(0x00AA, 0x7FFFFFF0));
  EXPECT_FALSE(ParseMediaDescriptor((dir_ / "far.mds").string()));
  std::vector<uint8_t> self = Mds(0x00AA);
  self[0x6C] = 0;  // track blocks at the header itself: no counted block with a footer
  WriteFileBytes(dir_ / "self.mds", self);
  EXPECT_FALSE(ParseDescriptor((dir_ / "self.mds").string()));

  // Picking either file of a pair chooses the pair.
  for (const char* picked : {"m.mds", "m.mdf"}) {
    const ImageChoice c = ChooseImage((dir_ / picked).string());
    EXPECT_EQ(c.image, (dir_ / "m.mdf").string()) << picked;
    EXPECT_EQ(c.descriptor, (dir_ / "m.mds").string()) << picked;
    ASSERT_TRUE(c.layout) << picked;
  }
  WriteFileText(dir_ / "a.cue", "FILE a.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n");
  EXPECT_EQ(ChooseImage((dir_ / "a.bin").string()).descriptor, (dir_ / "a.cue").string());
  EXPECT_FALSE(ChooseImage((dir_ / "b.bin").string()).layout);

  // The leading run of audio tracks.
  DiscLayout mixed;
  mixed.trackCount = 3;
  mixed.mode[0] = mixed.mode[1] = TRACK_AUDIO;
  mixed.mode[2] = TRACK_MODE1_RAW;
  EXPECT_TRUE(LeadingAudioRun(mixed));
  EXPECT_EQ(mixed.trackCount, 2);
  EXPECT_EQ(mixed.mode[2], TRACK_AUDIO);
  EXPECT_FALSE(LeadingAudioRun(*ParseMediaDescriptor((dir_ / "m.mds").string())));

  // The lead-out slot, and a single track over 99 minutes sent without a table.
  auto request = std::make_unique<MountRequest>();
  for (int32_t length : {445500, 445501}) {
    DiscLayout one;
    one.trackCount = 1;
    one.length[0] = length;
    CopyLayoutToRequest(one, request.get());
    EXPECT_EQ(request->TrackStart[1], length);
    EXPECT_EQ(request->TrackCount, length > 445500 ? 0u : 1u);
  }
}

// An MDS/MDF pair whose data track holds an ISO mounts with its layout: the ISO's sectors and a
// table of contents with both tracks.
TEST_F(CueSheetTest, MediaDescriptorPairMountsWithItsLayout) {
  const auto tree = dir_ / "tree";
  fs::create_directories(tree);
  WriteFileBytes(tree / "f.bin", PatternBytes(200000, 3));
  ASSERT_EQ(
      test::Run("genisoimage -quiet -o " + Quote((dir_ / "d.iso").string()) + " " + Quote(tree.string())).exitCode, 0);
  const std::vector<uint8_t> iso = ReadFileBytes(dir_ / "d.iso");
  const uint32_t n = static_cast<uint32_t>(iso.size() / 2048);
  std::vector<uint8_t> mdf = WrapAsRawMode1(iso);
  mdf.resize(mdf.size() + 500 * 2352, 0x44);
  WriteFileBytes(dir_ / "d.mdf", mdf);
  std::vector<uint8_t> mds = Mds(0x00AA, 0, n);
  WriteFileBytes(dir_ / "d.mds", mds);
  for (const char* picked : {"d.mds", "d.mdf"}) {
    auto request = std::make_unique<MountRequest>();
    std::memset(request.get(), 0, sizeof *request);
    std::string image, reason;
    ASSERT_EQ(PrepareDescriptorMount((dir_ / picked).string(), request.get(), &image, &reason), DescriptorUse::kLayout)
        << reason;
    EXPECT_EQ(image, (dir_ / "d.mdf").string());
    request->Format = kFormatBin;
    request->SectorSize = 2352;
    request->DataOffset = 16;
    int error = 0;
    std::unique_ptr<ImageSource> source;
    ASSERT_EQ(ImageSource::Open(*request, u"d.mdf", OpenPosixFile(image, &error), &source), kMountOk) << picked;
    std::vector<uint8_t> user(iso.size());
    ASSERT_EQ(source->ReadSectors(0, n, user.data()), n);
    EXPECT_TRUE(user == iso);
    uint8_t toc[kTocAnswerSize];
    BuildTableOfContents(*source, toc);
    EXPECT_EQ(toc[3], 2);
    const uint8_t* second = toc + 4 + 8;
    EXPECT_EQ(second[1], 0x10);  // audio
    EXPECT_EQ((second[5] * 60 + second[6]) * 75 + second[7] - 150, static_cast<int>(n + 150));
    // Raw sectors of the audio track come from the file after the data, its pregap generated.
    std::vector<uint8_t> raw(2352);
    ASSERT_EQ(source->ReadRawSectors(n + 150, 1, raw.data()), 1u);
    EXPECT_EQ(raw, std::vector<uint8_t>(2352, 0x44));
    ASSERT_EQ(source->ReadRawSectors(n + 10, 1, raw.data()), 1u);
    EXPECT_EQ(raw, std::vector<uint8_t>(2352, 0));
  }
}

}  // namespace
}  // namespace kv::test
