// ImageSource over images made by genisoimage, xorriso and mkudffs and over raw fixtures.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>

#include "formats/image_source_access.h"
#include "tests/fixtures/raw_image_writer.h"
#include "tests/formats/image_test_support.h"

namespace kv {
namespace {

using test::Request;

std::vector<uint8_t> Sectors(const std::vector<uint8_t>& bytes, uint64_t first, uint32_t count) {
  return std::vector<uint8_t>(bytes.begin() + first * 2048, bytes.begin() + (first + count) * 2048);
}

// Reads the whole medium in runs of varying length and compares it with `expected`.
void ExpectMediumEquals(ImageSource& source, const std::vector<uint8_t>& expected) {
  ASSERT_EQ(uint64_t{source.sectorCount()} * 2048, expected.size());
  std::vector<uint8_t> out;
  uint32_t lengths[] = {1, 3, 16, 63, 64, 65, 130};
  uint64_t s = 0;
  for (int i = 0; s < source.sectorCount(); ++i) {
    const uint32_t n = std::min<uint64_t>(lengths[i % 7], source.sectorCount() - s);
    out.assign(uint64_t{n} * 2048, 0xCC);
    ASSERT_EQ(source.ReadSectors(s, n, out.data()), n) << "sector " << s;
    ASSERT_EQ(out, Sectors(expected, s, n)) << "sector " << s;
    s += n;
  }
}

void PutLe16Be16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v), b[at + 1] = static_cast<uint8_t>(v >> 8);
  b[at + 2] = static_cast<uint8_t>(v >> 8), b[at + 3] = static_cast<uint8_t>(v);
}

TEST(ImageSource, GenisoimageJolietIsoOpensAndReadsAsTheFile) {
  if (!test::HaveTool("genisoimage")) GTEST_SKIP() << "genisoimage missing";
  test::TempDir dir;
  const auto iso = test::MakeGenisoimage(dir, "-J", "j.iso");
  const auto bytes = test::ReadFileBytes(iso);
  Request req;
  std::unique_ptr<ImageSource> src;
  ASSERT_EQ(test::OpenPath(iso, req, &src), kMountOk);
  EXPECT_EQ(src->format(), kFormatIso);
  const ProbeResult& p = src->probe();
  EXPECT_TRUE(p.iso);
  EXPECT_EQ(p.primaryIndex, 16);
  EXPECT_EQ(p.logicalBlockSize, 2048);
  EXPECT_EQ(p.volumeSpaceSize, bytes.size() / 2048);
  EXPECT_EQ(p.jolietLevel, 3);
  EXPECT_EQ(p.jolietIndex, 17);
  EXPECT_FALSE(p.udf);
  EXPECT_FALSE(p.xbox);
  EXPECT_EQ(0, std::memcmp(p.primaryDescriptor, bytes.data() + 16 * 2048, 2048));
  ExpectMediumEquals(*src, bytes);

  // A read that reaches past the end of the file delivers nothing at all.
  std::vector<uint8_t> out(4 * 2048);
  const uint32_t n = src->sectorCount();
  EXPECT_EQ(src->ReadSectors(n - 1, 2, out.data()), 0u);
  EXPECT_EQ(src->ReadSectors(n, 1, out.data()), 0u);
  EXPECT_EQ(src->ReadSectors(UINT64_MAX - 1, 2, out.data()), 0u);
  EXPECT_EQ(src->ReadSectors(n - 1, 1, out.data()), 1u);
  EXPECT_EQ(src->ReadRawSectors(0, 1, out.data()), 0u);  // not a 2352-byte image

  src->Close();
  EXPECT_EQ(src->ReadSectors(0, 1, out.data()), 0u);
}

TEST(ImageSource, XorrisoIsoOpens) {
  if (!test::HaveTool("xorriso")) GTEST_SKIP() << "xorriso missing";
  test::TempDir dir;
  const auto iso = test::MakeXorrisoIso(dir, "x.iso");
  Request req;
  std::unique_ptr<ImageSource> src;
  ASSERT_EQ(test::OpenPath(iso, req, &src), kMountOk);
  EXPECT_TRUE(src->probe().iso);
  EXPECT_GT(src->probe().jolietLevel, 0);
  EXPECT_FALSE(src->probe().udf);
  ExpectMediumEquals(*src, test::ReadFileBytes(iso));
}

TEST(ImageSource, UdfBridgeAndUdfOnlyImagesAreUdf) {
  if (!test::HaveTool("genisoimage") || !test::HaveTool("mkudffs")) GTEST_SKIP() << "tools missing";
  test::TempDir dir;
  const auto bridge = test::MakeGenisoimage(dir, "-J -udf", "b.iso");
  Request req;
  std::unique_ptr<ImageSource> src;
  ASSERT_EQ(test::OpenPath(bridge, req, &src), kMountOk);
  EXPECT_TRUE(src->probe().iso);
  EXPECT_TRUE(src->probe().udf);
  EXPECT_EQ(src->probe().udfNsrVersion, 2);
  ASSERT_EQ(src->probe().udfPartitionMapCount, 1u);
  EXPECT_EQ(src->probe().udfPartitionMaps[0].type, 1);
  EXPECT_LT(src->probe().udfPartitionStart, src->sectorCount());

  const auto udf = test::MakeUdfOnly(dir, "u.img");
  ASSERT_EQ(test::OpenPath(udf, req, &src), kMountOk);
  EXPECT_FALSE(src->probe().iso);
  EXPECT_TRUE(src->probe().udf);
  EXPECT_EQ(src->probe().udfNsrVersion, 3);
  EXPECT_EQ(src->sectorCount(), 2000u);
  EXPECT_EQ(src->probe().udfLogicalBlockSize, 2048u);
  ExpectMediumEquals(*src, test::ReadFileBytes(udf));

  // The partition the walk found is the one an independent reader reports.
  if (test::HaveTool("udfinfo")) {
    const auto info = test::Run("udfinfo " + test::Quote(udf.string()));
    unsigned long start = 0, blocks = 0;
    const size_t line = info.output.rfind("start=", info.output.find("type=PSPACE"));
    ASSERT_NE(line, std::string::npos) << info.output;
    ASSERT_EQ(std::sscanf(info.output.c_str() + line, "start=%lu, blocks=%lu", &start, &blocks), 2) << info.output;
    EXPECT_EQ(src->probe().udfPartitionStart, start);
    EXPECT_EQ(src->probe().udfPartitionLength, blocks);
  }
}

TEST(ImageSource, TerminatorEndsTheScanAndBlockSize512IsRefusedUnlessUdf) {
  if (!test::HaveTool("genisoimage")) GTEST_SKIP() << "genisoimage missing";
  test::TempDir dir;
  const auto bytes = test::ReadFileBytes(test::MakeGenisoimage(dir, "-J", "j.iso"));
  ASSERT_EQ(bytes[17 * 2048], 2);
  ASSERT_EQ(bytes[18 * 2048], 255);
  Request req;
  std::unique_ptr<ImageSource> src;

  // Terminator at 17, Joliet descriptor after it at 18.
  auto swapped = bytes;
  std::copy_n(bytes.begin() + 18 * 2048, 2048, swapped.begin() + 17 * 2048);
  std::copy_n(bytes.begin() + 17 * 2048, 2048, swapped.begin() + 18 * 2048);
  ASSERT_EQ(test::OpenBytes(swapped, req, &src), kMountOk);
  EXPECT_EQ(src->probe().jolietLevel, 0);
  EXPECT_EQ(src->sectorCount(), bytes.size() / 2048);

  auto small = bytes;
  PutLe16Be16(small, 16 * 2048 + 128, 512);
  EXPECT_EQ(test::OpenBytes(small, req, &src), kMountUnrecognised);
  EXPECT_FALSE(src);

  // The root directory of the primary descriptor must be readable.
  auto lostRoot = bytes;
  for (int i = 0; i < 4; ++i) lostRoot[16 * 2048 + 158 + i] = 0x7F;
  EXPECT_EQ(test::OpenBytes(lostRoot, req, &src), kMountUnrecognised);

  const auto udfBytes = test::ReadFileBytes(test::MakeGenisoimage(dir, "-J -udf", "b.iso"));
  auto udfSmall = udfBytes;
  PutLe16Be16(udfSmall, 16 * 2048 + 128, 512);
  ASSERT_EQ(test::OpenBytes(udfSmall, req, &src), kMountOk);
  EXPECT_TRUE(src->probe().udf);
  EXPECT_EQ(src->probe().logicalBlockSize, 512);
}

TEST(ImageSource, NonDiscFilesAndUnreadableFormatsAreRefused) {
  Request req;
  std::unique_ptr<ImageSource> src;
  EXPECT_EQ(test::OpenBytes(test::PatternBytes(1 << 20, 9), req, &src), kMountUnrecognised);
  EXPECT_EQ(test::OpenBytes({}, req, &src), kMountUnrecognised);
  EXPECT_EQ(ImageSource::Open(*req, u"x", nullptr, &src), kMountOpenFailed);

  if (!test::HaveTool("genisoimage")) GTEST_SKIP() << "genisoimage missing";
  test::TempDir dir;
  const auto bytes = test::ReadFileBytes(test::MakeGenisoimage(dir, "-J", "j.iso"));
  // Formats without a reader here, and codes that name nothing: a valid ISO does not help.
  for (int32_t f : {kFormatUnusable, kFormatDaa, kFormatNrg, kFormatDmg, kFormatUif, kFormatIsz, kFormatMzp}) {
    Request r(f);
    EXPECT_EQ(test::OpenBytes(bytes, r, &src), kMountUnrecognised) << f;
    EXPECT_FALSE(src);
  }
  // Geometry that cannot describe a readable sector.
  const std::tuple<int32_t, uint32_t, uint32_t> bad[] = {
      {kFormatIso, 0, 0}, {kFormatBin, 0, 0},     {kFormatBin, 2352, 305},  {kFormatBin, 2047, 0},
      {1003, 2048, 1},    {1000, 0xFFFFFFFF, 16}, {1007, 2352, 0xFFFFFFFF}, {1000, 200000, 0},
  };
  for (auto [f, size, offset] : bad) {
    Request r(f, size, offset);
    EXPECT_EQ(test::OpenBytes(bytes, r, &src), kMountUnrecognised) << f << " " << size << " " << offset;
  }
  // The plain sector reader with 2048-byte sectors is just another way to read an ISO.
  Request plain(1004, 2048, 0);
  ASSERT_EQ(test::OpenBytes(bytes, plain, &src), kMountOk);
  ExpectMediumEquals(*src, bytes);
}

TEST(ImageSource, AudioDiscAndUnknownCodesKeepTheirFormatWithoutProbe) {
  Request req(kFormatAudioDisc, 2048, 0, 4096);
  req->TrackCount = 2;
  req->TrackMode[0] = TRACK_AUDIO;
  req->TrackStart[1] = 300;
  req->TrackStart[2] = 900;  // lead-out slot
  req->TrackFileOffset[1] = 300 * 2352;
  for (int i = 0; i < 2; ++i) {
    req->TrackSectorSize[i] = 2352;
    req->TrackLength[i] = req->TrackStart[i + 1] - req->TrackStart[i];
    req->TrackFileEnd[i] = int64_t{req->TrackStart[i + 1]} * 2352;
  }
  std::unique_ptr<ImageSource> src;
  ASSERT_EQ(test::OpenBytes(test::PatternBytes(900 * 2352, 1), req, &src), kMountOk);
  EXPECT_EQ(src->format(), kFormatAudioDisc);
  EXPECT_EQ(src->sectorCount(), 0u);
  EXPECT_EQ(src->sectorSize(), 2352u);
  EXPECT_EQ(src->dataOffset(), 0u);
  EXPECT_EQ(src->startOffset(), 0);
  ASSERT_TRUE(src->trackTable());
  EXPECT_EQ(src->trackTable()->count, 2u);
  EXPECT_EQ(src->trackTable()->start[2], 900);
  EXPECT_EQ(src->trackTable()->fileOffset[1], 300 * 2352);
  EXPECT_EQ(src->trackTable()->mode[0], TRACK_AUDIO);
  std::vector<uint8_t> out(2352);
  EXPECT_EQ(src->ReadSectors(0, 1, out.data()), 0u);

  Request odd(55);
  ASSERT_EQ(test::OpenBytes(test::PatternBytes(10000, 1), odd, &src), kMountOk);
  EXPECT_EQ(src->format(), 55);
  EXPECT_EQ(src->sectorCount(), 0u);
  EXPECT_FALSE(src->trackTable());
  EXPECT_EQ(src->ReadSectors(0, 1, out.data()), 0u);

  Request tooMany(kFormatAudioDisc);
  tooMany->TrackCount = 100;
  EXPECT_EQ(test::OpenBytes(test::PatternBytes(10000, 1), tooMany, &src), kMountUnrecognised);
  tooMany->TrackCount = 99;  // 99 empty tracks of raw sectors, one after the other
  for (int i = 0; i < 99; ++i) tooMany->TrackSectorSize[i] = 2352;
  EXPECT_EQ(test::OpenBytes(test::PatternBytes(10000, 1), tooMany, &src), kMountOk);
}

TEST(ImageSource, NamesAndOversizedFiles) {
  class HugeFile final : public RawFile {
   public:
    explicit HugeFile(int64_t size) : size_(size) {}
    bool Read(uint64_t, uint32_t length, void* d, uint32_t* r) override {
      std::memset(d, 0, length);
      *r = length;
      return true;
    }
    int64_t Size() const override { return size_; }
    int64_t size_;
  };
  Request req;
  std::unique_ptr<ImageSource> src;
  EXPECT_EQ(ImageSource::Open(*req, u"big", std::make_unique<HugeFile>((int64_t{1} << 60) + 1), &src),
            kMountFileTooLarge);
  // Exactly 2^60 bytes is read normally (and refused here only for holding no file system).
  EXPECT_EQ(ImageSource::Open(*req, u"big", std::make_unique<HugeFile>(int64_t{1} << 60), &src), kMountUnrecognised);
  EXPECT_EQ(ImageSource::Open(*req, u"bad", std::make_unique<HugeFile>(-1), &src), kMountOpenFailed);

  Request named(77);
  named->Reserved1 = 5;
  std::memcpy(named->Reserved2, u"second", 12);
  ASSERT_EQ(ImageSource::Open(*named, u"\\??\\C:\\x.iso", std::make_unique<HugeFile>(4096), &src), kMountOk);
  EXPECT_EQ(src->name(), u"\\??\\C:\\x.iso");
  EXPECT_EQ(src->secondName(), u"second");
}

TEST(ImageSource, RawMode1ImageReadsThroughThePlainSectorReader) {
  if (!test::HaveTool("genisoimage")) GTEST_SKIP() << "genisoimage missing";
  test::TempDir dir;
  const auto iso = test::MakeGenisoimage(dir, "-J", "j.iso");
  const auto isoBytes = test::ReadFileBytes(iso);
  const auto bin = dir / "j.bin";
  test::WriteRawMode1Image(iso, bin);
  const auto binBytes = test::ReadFileBytes(bin);
  std::unique_ptr<ImageSource> src;

  for (int32_t f : {int32_t{kFormatBin}, int32_t{1000}, int32_t{1007}}) {
    Request req(f, 2352, 16);
    ASSERT_EQ(test::OpenPath(bin, req, &src), kMountOk) << f;
    EXPECT_EQ(src->format(), f);
    EXPECT_TRUE(src->probe().iso);
    EXPECT_EQ(src->probe().jolietLevel, 3);
    ExpectMediumEquals(*src, isoBytes);
  }
  std::vector<uint8_t> raw(3 * 2352);
  ASSERT_EQ(src->ReadRawSectors(5, 3, raw.data()), 3u);
  EXPECT_TRUE(std::equal(raw.begin(), raw.end(), binBytes.begin() + 5 * 2352));
  const uint32_t n = src->sectorCount();
  EXPECT_EQ(src->ReadRawSectors(n - 1, 2, raw.data()), 0u);

  // A raw image read as ISO has no descriptor where one is looked for.
  Request asIso;
  EXPECT_EQ(test::OpenPath(bin, asIso, &src), kMountUnrecognised);

  // The sector count is the truncated quotient.
  for (size_t extra : {size_t{100}, size_t{2351}}) {
    auto longer = binBytes;
    longer.resize(binBytes.size() + extra, 0x55);
    Request req(kFormatBin, 2352, 16);
    ASSERT_EQ(test::OpenBytes(longer, req, &src), kMountOk);
    EXPECT_EQ(src->sectorCount(), isoBytes.size() / 2048);
  }
  // 2448-byte sectors (raw + subchannel) need smaller batches than 64.
  std::vector<uint8_t> withSub;
  for (size_t i = 0; i < binBytes.size(); i += 2352) {
    withSub.insert(withSub.end(), binBytes.begin() + i, binBytes.begin() + i + 2352);
    withSub.resize(withSub.size() + 96, 0xAB);
  }
  Request sub(1001, 2448, 16);
  ASSERT_EQ(test::OpenBytes(withSub, sub, &src), kMountOk);
  ExpectMediumEquals(*src, isoBytes);
}

TEST(ImageSource, SectorsBeforeTheStartOfTheFileReadAsZeros) {
  if (!test::HaveTool("genisoimage")) GTEST_SKIP() << "genisoimage missing";
  test::TempDir dir;
  const auto isoBytes = test::ReadFileBytes(test::MakeGenisoimage(dir, "-J", "j.iso"));
  const auto binBytes = test::WrapAsRawMode1(isoBytes);
  const std::vector<uint8_t> zeros(2048, 0);
  std::unique_ptr<ImageSource> src;

  // Start offset -150 sectors: sectors 0 to 149 are zeros, sector 150 is the file's first.
  struct Case {
    int32_t format;
    uint32_t sectorSize, dataOffset;
    const std::vector<uint8_t>* file;
  };
  for (const Case& c : {Case{kFormatIso, 2048, 0, &isoBytes}, Case{kFormatBin, 2352, 16, &binBytes}}) {
    Request req(c.format, c.sectorSize, c.dataOffset);
    ASSERT_EQ(test::OpenBytes(*c.file, req, &src), kMountOk);
    ImageSourceAccess::StartOffset(*src) = -150 * static_cast<int32_t>(c.sectorSize);
    std::vector<uint8_t> out(200 * 2048, 0xCC);
    ASSERT_EQ(src->ReadSectors(0, 200, out.data()), 200u);
    for (int s = 0; s < 150; ++s)
      ASSERT_TRUE(std::equal(zeros.begin(), zeros.end(), out.begin() + s * 2048)) << c.format << " sector " << s;
    EXPECT_TRUE(std::equal(out.begin() + 150 * 2048, out.end(), isoBytes.begin())) << c.format;
    // A run that starts before the file and ends inside it.
    out.assign(10 * 2048, 0xCC);
    ASSERT_EQ(src->ReadSectors(145, 10, out.data()), 10u);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 5 * 2048, std::vector<uint8_t>(5 * 2048, 0).begin()));
    EXPECT_TRUE(std::equal(out.begin() + 5 * 2048, out.end(), isoBytes.begin()));
  }

  // Through Open: a file that lacks the first 8 sectors of the ISO.
  const std::vector<uint8_t> tail(isoBytes.begin() + 8 * 2048, isoBytes.end());
  Request req(kFormatIso, 2048, 0, -8 * 2048);
  ASSERT_EQ(test::OpenBytes(tail, req, &src), kMountOk);
  EXPECT_EQ(src->probe().primaryIndex, 16);
  EXPECT_EQ(src->sectorCount(), isoBytes.size() / 2048);
  auto expected = isoBytes;
  std::fill(expected.begin(), expected.begin() + 8 * 2048, 0);
  ExpectMediumEquals(*src, expected);
}

// Truncations and descriptor fields pointing anywhere: every outcome is a MountError or a
// source whose reads stay inside the file (checked under the sanitizers).
TEST(ImageSource, DamagedImagesNeverCrash) {
  if (!test::HaveTool("genisoimage")) GTEST_SKIP() << "genisoimage missing";
  test::TempDir dir;
  const auto full = test::ReadFileBytes(test::MakeGenisoimage(dir, "-J -udf", "b.iso"));
  std::mt19937 rng(2024);
  std::vector<uint8_t> out(4 * 2048);
  auto exercise = [&](std::vector<uint8_t> bytes, int32_t format, uint32_t size, uint32_t offset) {
    Request req(format, size, offset);
    std::unique_ptr<ImageSource> src;
    const MountError e = test::OpenBytes(std::move(bytes), req, &src);
    ASSERT_TRUE(e == kMountOk || e == kMountUnrecognised) << e;
    if (src) {
      src->ReadSectors(src->sectorCount() ? src->sectorCount() - 1 : 0, 1, out.data());
      src->ReadSectors(rng() % 1000, 4, out.data());
      src->ReadRawSectors(rng() % 1000, 1, out.data());
    }
  };
  // Truncated anywhere around the descriptors, the anchor and the volume descriptor sequence.
  for (size_t cut = 0; cut < 300 * 2048 && cut < full.size(); cut += 1 + rng() % 4000)
    exercise(std::vector<uint8_t>(full.begin(), full.begin() + cut), kFormatIso, 2048, 0);

  // Fields that name sectors or sizes, set to extreme values; UDF tags stay valid so the walk
  // goes on to use the values.
  auto retag = [](std::vector<uint8_t>& b, size_t sector) {
    uint8_t sum = 0;
    for (int k = 0; k < 16; ++k)
      if (k != 4) sum = static_cast<uint8_t>(sum + b[sector * 2048 + k]);
    b[sector * 2048 + 4] = sum;
  };
  const uint32_t anchorLocation = full[256 * 2048 + 20] | (full[256 * 2048 + 21] << 8);
  const size_t fields[] = {16 * 2048 + 80,
                           16 * 2048 + 158,
                           256 * 2048 + 16,
                           256 * 2048 + 20,
                           anchorLocation * 2048 + 16,
                           anchorLocation * 2048 + 20,
                           anchorLocation * 2048 + 24};
  const uint32_t values[] = {0, 1, 255, 256, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, anchorLocation};
  for (size_t field : fields) {
    for (uint32_t v : values) {
      auto b = full;
      for (int i = 0; i < 4; ++i) b[field + i] = static_cast<uint8_t>(v >> (8 * i));
      retag(b, field / 2048);
      exercise(b, kFormatIso, 2048, 0);
    }
  }
  // Every logical volume descriptor field from the map count on, and random bytes anywhere in
  // the first 300 sectors.
  for (size_t s = anchorLocation; s < anchorLocation + 16; ++s) {
    for (int round = 0; round < 8; ++round) {
      auto b = full;
      for (int k = 0; k < 40; ++k) b[s * 2048 + 16 + rng() % (2048 - 16)] = static_cast<uint8_t>(rng());
      retag(b, s);
      exercise(b, kFormatIso, 2048, 0);
    }
  }
  for (int round = 0; round < 100; ++round) {
    auto b = full;
    for (int k = 0; k < 20; ++k) b[rng() % std::min<size_t>(b.size(), 300 * 2048)] = static_cast<uint8_t>(rng());
    exercise(b, round % 2 ? kFormatIso : 1000 + round % 8, 2048, 0);
  }
}

}  // namespace
}  // namespace kv
