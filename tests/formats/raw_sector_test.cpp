// Raw 2352-byte sectors: the builder against the published all-zero Mode 1 vector and against
// checks written here from ECMA-130 (bitwise EDC, Reed-Solomon syndromes), and raw reads through
// track tables with every kind of region.
#include "formats/raw/raw_sector.h"

#include <gtest/gtest.h>

#include <cstring>

#include "formats/raw/track_layout.h"
#include "tests/fixtures/raw_image_writer.h"
#include "tests/formats/image_test_support.h"

namespace kv::test {
namespace {

uint32_t BitwiseEdc(const uint8_t* p, size_t n) {
  uint32_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ ((crc & 1) ? 0xD8018001u : 0);
  }
  return crc;
}

uint8_t GfMul(uint8_t a, uint8_t b) {
  uint8_t r = 0;
  for (int i = 0; i < 8; ++i) {
    if (b & 1) r ^= a;
    b >>= 1;
    a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1D : 0));
  }
  return r;
}

// Both syndromes of every P and Q codeword are zero (the header counted as zero for Mode 2).
bool ParityHolds(const uint8_t* sector, bool zeroHeader) {
  uint8_t v[2340];
  std::memcpy(v, sector + 12, sizeof v);
  if (zeroHeader) std::memset(v, 0, 4);
  auto codeword = [&](const std::vector<size_t>& at) {
    uint8_t s0 = 0, s1 = 0;
    for (size_t i = 0; i < at.size(); ++i) {
      s0 ^= v[at[i]];
      s1 = static_cast<uint8_t>(GfMul(s1, 2) ^ v[at[i]]);  // Horner: sum of alpha^(n-1-i) v_i
    }
    return s0 == 0 && s1 == 0;
  };
  for (size_t m = 0; m < 86; ++m) {
    std::vector<size_t> at;
    for (size_t k = 0; k < 26; ++k) at.push_back(m + 86 * k);
    if (!codeword(at)) return false;
  }
  for (size_t m = 0; m < 52; ++m) {
    std::vector<size_t> at;
    for (size_t k = 0; k < 43; ++k) at.push_back(((m >> 1) * 86 + (m & 1) + 88 * k) % 2236);
    at.push_back(2236 + m);
    at.push_back(2236 + 52 + m);
    if (!codeword(at)) return false;
  }
  return true;
}

uint32_t StoredEdc(const uint8_t* s, size_t at) {
  return uint32_t{s[at]} | uint32_t{s[at + 1]} << 8 | uint32_t{s[at + 2]} << 16 | uint32_t{s[at + 3]} << 24;
}

uint8_t Bcd(int v) {
  return static_cast<uint8_t>((v / 10) << 4 | (v % 10));
}

// Checks one raw sector of `kind` (1 Mode 1, 21 Form 1, 22 Form 2, 20 formless, 0 zeros) at
// `address`, with user data `user` (null: zeros).
void ExpectSector(const uint8_t* s, int kind, int64_t address, const uint8_t* user, const std::string& where) {
  SCOPED_TRACE(where);
  if (kind == 0) {
    EXPECT_EQ(std::vector<uint8_t>(s, s + 2352), std::vector<uint8_t>(2352, 0));
    return;
  }
  const uint8_t sync[12] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
  EXPECT_EQ(std::memcmp(s, sync, 12), 0);
  const int64_t a = address < -150 ? address + 450150 : address + 150;
  EXPECT_EQ(s[12], Bcd(static_cast<int>(a / 4500)));
  EXPECT_EQ(s[13], Bcd(static_cast<int>(a / 75 % 60)));
  EXPECT_EQ(s[14], Bcd(static_cast<int>(a % 75)));
  EXPECT_EQ(s[15], kind == 1 ? 1 : 2);
  const std::vector<uint8_t> zeros(2336, 0);
  if (user == nullptr) user = zeros.data();
  if (kind == 1) {
    EXPECT_EQ(std::memcmp(s + 16, user, 2048), 0);
    EXPECT_EQ(StoredEdc(s, 2064), BitwiseEdc(s, 2064));
    EXPECT_EQ(std::vector<uint8_t>(s + 2068, s + 2076), std::vector<uint8_t>(8, 0));
    EXPECT_TRUE(ParityHolds(s, false));
  } else if (kind == 21) {
    EXPECT_EQ(std::vector<uint8_t>(s + 16, s + 24), (std::vector<uint8_t>{0, 0, 8, 0, 0, 0, 8, 0}));
    EXPECT_EQ(std::memcmp(s + 24, user, 2048), 0);
    EXPECT_EQ(StoredEdc(s, 2072), BitwiseEdc(s + 16, 2056));
    EXPECT_TRUE(ParityHolds(s, true));
  } else if (kind == 22) {
    EXPECT_EQ(std::vector<uint8_t>(s + 16, s + 24), (std::vector<uint8_t>{0, 0, 0x20, 0, 0, 0, 0x20, 0}));
    EXPECT_EQ(std::memcmp(s + 24, user, 2324), 0);
    EXPECT_EQ(StoredEdc(s, 2348), BitwiseEdc(s + 16, 2332));
  } else {
    EXPECT_EQ(std::memcmp(s + 16, user, 2336), 0);
  }
}

TEST(RawSector, ZeroMode1SectorIsThePublishedVector) {
  TempDir dir;
  std::vector<uint8_t> s(2352, 0xEE);
  kv::BuildMode1Sector(0, nullptr, s.data());
  WriteFileBytes(dir / "zero.raw", s);
  const CommandResult md5 = test::Run("md5sum " + Quote((dir / "zero.raw").string()));
  EXPECT_EQ(md5.output.substr(0, 32), "f1763c7f872304e73caf73a881c34988");
  EXPECT_EQ(ComputeEdc(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x6EC2EDC4u);
}

TEST(RawSector, EveryModeAndAddressPassesTheIndependentChecks) {
  const std::vector<uint8_t> user = PatternBytes(2336, 7);
  // -151 wraps to 99:59:74; -150 is 00:00:00.
  for (int64_t address : {int64_t{-151}, int64_t{-150}, int64_t{0}, int64_t{16}, int64_t{333999}}) {
    std::vector<uint8_t> s(2352, 0xEE);
    const std::string at = "address " + std::to_string(address);
    kv::BuildMode1Sector(address, user.data(), s.data());
    ExpectSector(s.data(), 1, address, user.data(), at + " mode 1");
    if (address >= 0) {
      std::vector<uint8_t> other(2352);
      test::BuildMode1Sector(static_cast<uint32_t>(address), user.data(), other.data());
      EXPECT_EQ(s, other) << at;
    }
    kv::BuildMode2Form1Sector(address, user.data(), s.data());
    ExpectSector(s.data(), 21, address, user.data(), at + " form 1");
    kv::BuildMode2Form2Sector(address, user.data(), s.data());
    ExpectSector(s.data(), 22, address, user.data(), at + " form 2");
    kv::BuildMode2FormlessSector(address, user.data(), s.data());
    ExpectSector(s.data(), 20, address, user.data(), at + " formless");
    // User data taken from inside the sector itself.
    std::memcpy(s.data() + 16, user.data(), 2048);
    kv::BuildMode1Sector(address, s.data() + 16, s.data());
    ExpectSector(s.data(), 1, address, user.data(), at + " in place");
  }
  std::vector<uint8_t> s(2352);
  kv::BuildMode1Sector(-150, nullptr, s.data());
  EXPECT_EQ(std::vector<uint8_t>(s.begin() + 12, s.begin() + 16), (std::vector<uint8_t>{0, 0, 0, 1}));
}

// A five-track disc: every region kind, every stored sector size, and a file cut short inside
// the last sector.
struct Disc {
  TempDir dir;
  std::filesystem::path file = dir / "disc.img";
  Request request{kFormatAudioDisc};
  std::vector<uint8_t> bytes;
  struct Track {
    uint8_t mode;
    int32_t start, pregap, pregapInFile, length, postgap, postgapInFile, size;
  };
  std::vector<Track> tracks = {
      {TRACK_MODE1_2048, 0, 150, 0, 20, 0, 0, 2048},  // pregap generated
      {TRACK_MODE2_FORM1, 24, 4, 2, 10, 2, 1, 2352},  // raw, gaps half stored
      {TRACK_MODE2_2336, 36, 0, 0, 5, 0, 0, 2336},    // formless
      {TRACK_AUDIO, 43, 2, 2, 8, 3, 0, 2352},         // audio, post-gap generated
      {TRACK_MODE2_FORM2, 54, 0, 0, 3, 2, 0, 2048},   // Form 2 from 2048 bytes, cut short
  };
  Disc() {
    MountRequest& r = *request;
    r.TrackCount = static_cast<uint32_t>(tracks.size());
    for (size_t i = 0; i < tracks.size(); ++i) {
      const Track& t = tracks[i];
      const int64_t stored = int64_t{t.pregapInFile} + t.length + t.postgapInFile;
      const int64_t offset = static_cast<int64_t>(bytes.size()) + int64_t{t.pregapInFile} * t.size;
      const std::vector<uint8_t> content = PatternBytes(static_cast<size_t>(stored * t.size), static_cast<uint32_t>(i));
      bytes.insert(bytes.end(), content.begin(), content.end());
      r.TrackMode[i] = t.mode;
      r.TrackStart[i] = t.start;
      r.TrackPregap[i] = t.pregap;
      r.TrackPregapInFile[i] = t.pregapInFile;
      r.TrackLength[i] = t.length;
      r.TrackPostgap[i] = t.postgap;
      r.TrackPostgapInFile[i] = t.postgapInFile;
      r.TrackSectorSize[i] = t.size;
      r.TrackFileOffset[i] = offset;
      r.TrackFileEnd[i] = offset + int64_t{t.length + t.postgapInFile} * t.size;
    }
    r.TrackStart[tracks.size()] = 59;
    bytes.resize(bytes.size() - 100);  // the last stored sector misses its last 100 bytes
    WriteFileBytes(file, bytes);
  }
};

TEST(TrackLayout, RawReadsServeEveryRegion) {
  Disc disc;
  std::unique_ptr<ImageSource> source;
  ASSERT_EQ(OpenPath(disc.file, disc.request, &source), kMountOk);
  const int64_t first = -150, last = 59;  // up to the end of the last post-gap
  std::vector<uint8_t> all(static_cast<size_t>(last - first) * 2352);
  ASSERT_EQ(source->ReadRawSectors(static_cast<uint64_t>(first), static_cast<uint32_t>(last - first), all.data()),
            static_cast<uint32_t>(last - first));

  // Expected content of each sector, from the table and the file written above.
  const MountRequest& r = *disc.request;
  std::vector<uint8_t> padded = disc.bytes;
  padded.resize(padded.size() + 100, 0);
  for (int64_t s = first; s < last; ++s) {
    const uint8_t* got = all.data() + (s - first) * 2352;
    size_t i = 0;
    while (i + 1 < disc.tracks.size() && s >= r.TrackStart[i + 1] - r.TrackPregap[i + 1]) ++i;
    const Disc::Track& t = disc.tracks[i];
    const bool stored = s >= t.start - t.pregapInFile && s < t.start + t.length + t.postgapInFile;
    const std::string where = "sector " + std::to_string(s) + " track " + std::to_string(i + 1);
    const uint8_t* data = stored ? padded.data() + r.TrackFileOffset[i] + (s - t.start) * t.size : nullptr;
    if (t.size == 2352 && stored) {
      EXPECT_EQ(std::memcmp(got, data, 2352), 0) << where;
      continue;
    }
    std::vector<uint8_t> user(2336, 0);
    if (data) std::memcpy(user.data(), data, t.size == 2336 ? 2336 : 2048);
    const int kind = t.size == 2336 && stored      ? 20
                     : t.mode == TRACK_MODE1_2048  ? 1
                     : t.mode == TRACK_MODE2_FORM1 ? 21
                     : t.mode == TRACK_MODE2_FORM2 ? 22
                                                   : 0;
    ExpectSector(got, kind, s, user.data(), where);
  }

  // Reads in odd pieces give the same bytes; reads outside the regions give nothing.
  std::vector<uint8_t> piece(7 * 2352);
  for (int64_t s = first; s + 7 <= last; s += 13) {
    ASSERT_EQ(source->ReadRawSectors(static_cast<uint64_t>(s), 7, piece.data()), 7u) << s;
    EXPECT_EQ(std::memcmp(piece.data(), all.data() + (s - first) * 2352, piece.size()), 0) << s;
  }
  EXPECT_EQ(source->ReadRawSectors(static_cast<uint64_t>(int64_t{-151}), 1, piece.data()), 0u);
  EXPECT_EQ(source->ReadRawSectors(58, 2, piece.data()), 1u);  // past the last post-gap
  EXPECT_EQ(source->ReadSectors(0, 1, piece.data()), 0u);      // an audio disc has no user data
}

TEST(TrackLayout, TablesThatCannotBeServedAreRefused) {
  const std::vector<std::pair<const char*, std::function<void(MountRequest&)>>> faults = {
      {"101 tracks", [](MountRequest& r) { r.TrackCount = 101; }},
      {"100 tracks", [](MountRequest& r) { r.TrackCount = 100; }},
      {"sector size 2340", [](MountRequest& r) { r.TrackSectorSize[2] = 2340; }},
      {"sector size 0", [](MountRequest& r) { r.TrackSectorSize[0] = 0; }},
      {"negative length", [](MountRequest& r) { r.TrackLength[1] = -1; }},
      {"negative pregap", [](MountRequest& r) { r.TrackPregap[3] = -5; }},
      {"negative post-gap in file", [](MountRequest& r) { r.TrackPostgapInFile[1] = -1; }},
      {"overlapping tracks", [](MountRequest& r) { r.TrackLength[0] = 30; }},
      {"descending tracks", [](MountRequest& r) { std::swap(r.TrackStart[1], r.TrackStart[2]); }},
      {"lead-out inside the last track", [](MountRequest& r) { r.TrackStart[5] = 56; }},
      {"offset past the file", [](MountRequest& r) { r.TrackFileOffset[4] = int64_t{1} << 40; }},
      {"stored pregap before the file", [](MountRequest& r) { r.TrackFileOffset[1] = 100; }},
      {"negative offset", [](MountRequest& r) { r.TrackFileOffset[0] = -2048; }},
      {"file end before offset", [](MountRequest& r) { r.TrackFileEnd[2] = r.TrackFileOffset[2] - 1; }},
      {"address beyond the sector range", [](MountRequest& r) { r.TrackStart[0] = -500000; }},
  };
  for (const auto& [name, fault] : faults) {
    Disc disc;
    fault(*disc.request);
    std::unique_ptr<ImageSource> source;
    EXPECT_EQ(OpenPath(disc.file, disc.request, &source), kMountUnrecognised) << name;
  }
  TrackTable empty;
  EXPECT_NE(CheckTrackTable(empty, 1 << 20), nullptr);
}

}  // namespace
}  // namespace kv::test
