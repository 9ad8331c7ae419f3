// ISZ and UIF images made by the writers in tests/fixtures from genisoimage output: read back
// through ImageSource and kvimage, hostile tables refused, and the BlockMap's own rules.
#include <bzlib.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <memory>
#include <string>

#include "formats/blockmap/block_map.h"
#include "formats/blockmap/block_map_reader.h"
#include "tests/fixtures/block_image_writer.h"
#include "tests/fixtures/raw_image_writer.h"
#include "tests/formats/image_test_support.h"

namespace kv {
namespace {

using test::IszOptions;
using test::Quote;
using test::UifOptions;

// A RawFile that counts the reads that reach it.
class CountingFile : public RawFile {
 public:
  CountingFile(std::unique_ptr<RawFile> inner, std::shared_ptr<int> reads)
      : inner_(std::move(inner)), reads_(std::move(reads)) {}
  bool Read(uint64_t offset, uint32_t length, void* destination, uint32_t* returned) override {
    ++*reads_;
    return inner_->Read(offset, length, destination, returned);
  }
  int64_t Size() const override { return inner_->Size(); }

 private:
  std::unique_ptr<RawFile> inner_;
  std::shared_ptr<int> reads_;
};

class BlockMapImages : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!test::HaveTool("genisoimage")) return;
    dir_ = new test::TempDir();
    iso_ = new std::vector<uint8_t>(test::ReadFileBytes(test::MakeGenisoimage(*dir_, "-J -udf", "source.iso")));
  }
  static void TearDownTestSuite() {
    delete iso_;
    delete dir_;
    iso_ = nullptr;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!iso_) GTEST_SKIP() << "genisoimage missing";
  }
  static const std::vector<uint8_t>& iso() { return *iso_; }
  static uint32_t sectors() { return static_cast<uint32_t>(iso_->size() / 2048); }

  static MountError Open(std::vector<uint8_t> bytes, int32_t format, const std::string& password,
                         std::unique_ptr<ImageSource>* source, std::shared_ptr<int> reads = nullptr) {
    test::Request request(format);
    std::memcpy(request->Password, password.data(), std::min<size_t>(password.size(), 256));
    std::unique_ptr<RawFile> file = OpenMemoryFile(std::move(bytes));
    if (reads) file = std::make_unique<CountingFile>(std::move(file), reads);
    return ImageSource::Open(*request, u"memory", std::move(file), source);
  }

  // Every sector, read in runs of 37 so that runs cross block boundaries.
  static std::vector<uint8_t> ReadAll(ImageSource& s) {
    std::vector<uint8_t> out(uint64_t{s.sectorCount()} * 2048);
    for (uint32_t at = 0; at < s.sectorCount(); at += 37) {
      const uint32_t n = std::min(37u, s.sectorCount() - at);
      if (s.ReadSectors(at, n, out.data() + uint64_t{at} * 2048) != n) return {};
    }
    return out;
  }

  static test::TempDir* dir_;
  static std::vector<uint8_t>* iso_;
};
test::TempDir* BlockMapImages::dir_ = nullptr;
std::vector<uint8_t>* BlockMapImages::iso_ = nullptr;

TEST_F(BlockMapImages, EveryVariantReadsBackTheSourceThroughTheSourceAndKvimage) {
  const std::vector<uint8_t> raw = test::WrapAsRawMode1(iso());
  struct Case {
    std::string name;
    int32_t format;
    std::vector<uint8_t> image;
    std::string password;
    uint32_t sectorSize, dataOffset;
  };
  auto isz = [&](std::vector<uint8_t> types, uint8_t encryption, uint32_t blockSize = 32 * 1024) {
    IszOptions o;
    o.types = std::move(types);
    o.encryption = encryption;
    o.blockSize = blockSize;
    o.password = encryption ? "correct horse battery staple, and more than 32 bytes" : "";
    return o;
  };
  const IszOptions iszCases[] = {
      isz({2}, 0),        isz({1}, 0),       isz({3}, 0),       isz({2, 1, 3}, 0, 2048),
      isz({2, 1, 3}, 2),  isz({2, 1, 3}, 3), isz({2, 1, 3}, 4), isz({3, 2}, 9, 48 * 1024),
      isz({2}, 4, 65536),
  };
  std::vector<Case> cases;
  for (const IszOptions& o : iszCases) {
    std::string name = "isz types";
    for (uint8_t t : o.types) name += " " + std::to_string(t);
    name += " aes " + std::to_string(o.encryption) + " block " + std::to_string(o.blockSize);
    cases.push_back({name, kFormatIsz, test::WriteIsz(iso(), o), o.password, 2048, 0});
  }
  UifOptions rawUif;
  rawUif.sectorUnit = 2352;
  rawUif.sectorsPerBlock = 20;
  cases.push_back({"uif 2048", kFormatUif, test::WriteUif(iso()), "", 2048, 0});
  cases.push_back({"uif 2352", kFormatUif, test::WriteUif(raw, rawUif), "", 2352, 16});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<ImageSource> source;
    ASSERT_EQ(Open(c.image, c.format, c.password, &source), kMountOk);
    EXPECT_EQ(source->format(), c.format);
    EXPECT_EQ(source->sectorCount(), sectors());
    EXPECT_EQ(source->sectorSize(), c.sectorSize);
    EXPECT_EQ(source->dataOffset(), c.dataOffset);
    EXPECT_TRUE(source->probe().udf);
    EXPECT_TRUE(ReadAll(*source) == iso());

    // kvimage picks the format from the extension and takes the password from a file.
    const auto image = *dir_ / (c.format == kFormatIsz ? "image.isz" : "image.uif");
    const auto out = *dir_ / "out.iso";
    test::WriteFileBytes(image, c.image);
    test::WriteFileText(*dir_ / "password", c.password + "\n");
    const std::string password = c.password.empty() ? "" : " --password-file " + Quote((*dir_ / "password").string());
    const auto r = test::Run(Quote(test::ProgramPath("kvimage")) + " iso " + Quote(image.string()) + password + " -o " +
                             Quote(out.string()));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(test::ReadFileBytes(out) == iso());
  }
}

TEST_F(BlockMapImages, ZeroBlocksAndTheEndOfTheMediumNeverTouchTheFile) {
  IszOptions o;
  o.blockSize = 16 * 2048;  // block 0 is the all-zero system area
  std::vector<uint8_t> image = test::WriteIsz(iso(), o);
  auto reads = std::make_shared<int>(0);
  std::unique_ptr<ImageSource> source;
  ASSERT_EQ(Open(image, kFormatIsz, "", &source, reads), kMountOk);
  std::vector<uint8_t> buffer(32 * 2048, 0xEE);
  *reads = 0;
  ASSERT_EQ(source->ReadSectors(0, 16, buffer.data()), 16u);
  EXPECT_EQ(*reads, 0);
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.begin() + 16 * 2048, [](uint8_t b) { return b == 0; }));
  // Past the last extent: zeros, without a read.
  ASSERT_EQ(source->ReadSectors(sectors() + 100, 4, buffer.data()), 4u);
  EXPECT_EQ(*reads, 0);
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.begin() + 4 * 2048, [](uint8_t b) { return b == 0; }));
  // A decoded block is kept: reading inside it again costs nothing.
  const uint32_t middle = sectors() / 2 / 16 * 16;
  ASSERT_EQ(source->ReadSectors(middle, 2, buffer.data()), 2u);
  const int afterFirst = *reads;
  EXPECT_GT(afterFirst, 0);
  ASSERT_EQ(source->ReadSectors(middle + 1, 3, buffer.data()), 3u);
  EXPECT_EQ(*reads, afterFirst);

  // The header's total caps the medium: a shorter total leaves the partial block's tail out.
  std::vector<uint8_t> shorter = image;
  const uint32_t total = sectors() - 5;
  std::memcpy(shorter.data() + 12, &total, 4);
  ASSERT_EQ(Open(shorter, kFormatIsz, "", &source), kMountOk);
  EXPECT_EQ(source->sectorCount(), total);
}

// Re-masks pointer `index` of an ISZ made by WriteIsz with `pointer` (24 bits).
void SetPointer(std::vector<uint8_t>& image, uint32_t index, uint32_t pointer) {
  static const uint8_t kMask[4] = {0xB6, 0x8C, 0xA5, 0xDE};
  for (int k = 0; k < 3; ++k) {
    const size_t i = index * 3 + k;
    image[test::kIszPointerTableOffset + i] = static_cast<uint8_t>(pointer >> (8 * k)) ^ kMask[i % 4];
  }
}

TEST_F(BlockMapImages, HostileIszAndUifAreRefusedWithTheirReason) {
  IszOptions plain;
  const std::vector<uint8_t> isz = test::WriteIsz(iso(), plain);
  IszOptions aes;
  aes.encryption = 4;
  aes.password = "secret";
  const std::vector<uint8_t> encrypted = test::WriteIsz(iso(), aes);
  const std::vector<uint8_t> uif = test::WriteUif(iso());
  uint32_t tablePosition = 0;
  std::memcpy(&tablePosition, uif.data() + uif.size() - 64 + 28, 4);

  struct Case {
    std::string name;
    int32_t format;
    std::vector<uint8_t> image;
    std::string password, reason;  // reason "": the tables are sound, the probe fails
  };
  std::vector<Case> cases;
  auto mutated = [](std::vector<uint8_t> image, size_t at, std::vector<uint8_t> bytes) {
    std::memcpy(image.data() + at, bytes.data(), bytes.size());
    return image;
  };
  auto cut = [](std::vector<uint8_t> image, size_t size) {
    image.resize(size);
    return image;
  };
  cases.push_back({"pointer size 4", kFormatIsz, mutated(isz, 33, {4}), "", "pointer size"});
  cases.push_back({"segmented", kFormatIsz, mutated(isz, 39, {0x40}), "", "segmented"});
  cases.push_back({"signature", kFormatIsz, mutated(isz, 0, {'I', 's', 'z'}), "", "signature"});
  cases.push_back({"block size 0", kFormatIsz, mutated(isz, 29, {0, 0, 0, 0}), "", "block size"});
  cases.push_back({"huge block size", kFormatIsz, mutated(isz, 29, {0, 0, 0, 0x10}), "", "block size"});
  cases.push_back({"table cut", kFormatIsz, cut(isz, 60), "", "pointer table runs past"});
  cases.push_back({"header only", kFormatIsz, cut(isz, 48), "", "too small"});
  std::vector<uint8_t> pastEnd = isz;
  SetPointer(pastEnd, 3, 2u << 22 | 0x3FFFFF);
  cases.push_back({"stored size past the file", kFormatIsz, pastEnd, "", "outside the file"});
  cases.push_back({"wrong password", kFormatIsz, encrypted, "Secret", "password is wrong"});
  cases.push_back({"no password", kFormatIsz, encrypted, "", "password is needed"});
  cases.push_back(
      {"key length 3 for a 256-bit key", kFormatIsz, mutated(encrypted, 16, {3}), "secret", "password is wrong"});
  cases.push_back({"key length 0 for an encrypted image", kFormatIsz, mutated(encrypted, 16, {0}), "secret", ""});
  cases.push_back({"key length 7 (128 bits) for a 256-bit key", kFormatIsz, mutated(encrypted, 16, {7}), "secret",
                   "password is wrong"});
  // Blocks that inflate to more or less than the block size.
  cases.push_back({"blocks larger than declared", kFormatIsz, mutated(isz, 29, {0, 0x40}), "", ""});
  cases.push_back({"blocks smaller than declared", kFormatIsz, mutated(isz, 29, {0, 0x00, 1}), "", ""});

  cases.push_back({"uif without trailer", kFormatUif, cut(uif, uif.size() - 1), "", "no UIF trailer"});
  cases.push_back({"uif trailer outside", kFormatUif, mutated(uif, uif.size() - 64 + 28, {0xF0, 0xFF, 0xFF, 0x7F}), "",
                   "points outside"});
  cases.push_back({"uif no table header", kFormatUif, mutated(uif, tablePosition, {'x'}), "", "block-table header"});
  cases.push_back(
      {"uif table past the end", kFormatUif, mutated(uif, tablePosition + 4, {0xFF, 0xFF, 0xFF, 0}), "", "runs past"});
  cases.push_back(
      {"uif table corrupt", kFormatUif, mutated(uif, tablePosition + 16, {0xFF, 0xFF}), "", "does not inflate"});
  cases.push_back({"uif huge entry count", kFormatUif, mutated(uif, tablePosition + 12, {0xFF, 0xFF, 0xFF, 0xFF}), "",
                   "too large"});
  cases.push_back(
      {"uif sector unit 0", kFormatUif, mutated(uif, uif.size() - 64 + 20, {0, 0, 0, 0}), "", "sector unit"});
  // Every block ten times larger: the zlib blocks exceed what the cache takes.
  cases.push_back({"uif huge blocks", kFormatUif, mutated(uif, uif.size() - 64 + 20, {0, 0, 0, 1}), "", "too large"});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<ImageSource> source;
    EXPECT_EQ(Open(c.image, c.format, c.password, &source), kMountUnrecognised);
    EXPECT_FALSE(source);
    test::Request request(c.format);
    std::memcpy(request->Password, c.password.data(), c.password.size());
    const std::string reason = ExplainBlockMapRefusal(OpenMemoryFile(c.image), c.format, *request);
    if (c.reason.empty())
      EXPECT_EQ(reason, "");
    else
      EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
  }

  // A damaged block past the file system's descriptors: the image mounts, and only reads that
  // touch the block fail.
  std::vector<uint8_t> damaged = isz;
  const size_t lastData = isz.size() - 40;
  damaged[lastData] ^= 0xFF;
  std::unique_ptr<ImageSource> source;
  ASSERT_EQ(Open(damaged, kFormatIsz, "", &source), kMountOk);
  std::vector<uint8_t> buffer(2048 * 16);
  EXPECT_EQ(source->ReadSectors(16, 1, buffer.data()), 1u);
  uint32_t failed = 0;
  for (uint32_t s = 0; s < source->sectorCount(); s += 16)
    failed += source->ReadSectors(s, std::min(16u, source->sectorCount() - s), buffer.data()) == 0;
  EXPECT_GE(failed, 1u);
}

std::vector<uint8_t> Deflate(const std::vector<uint8_t>& data) {
  uLongf n = compressBound(data.size());
  std::vector<uint8_t> out(n);
  EXPECT_EQ(compress2(out.data(), &n, data.data(), data.size(), 6), Z_OK);
  out.resize(n);
  return out;
}

TEST(BlockMap, ExtentsSpanZerosStoredAndStreamsOfExactlyTheirSize) {
  const std::vector<uint8_t> a = test::PatternBytes(4096, 1), b = test::PatternBytes(3000, 2);
  const std::vector<uint8_t> z = Deflate(a);
  std::vector<uint8_t> bz(8000);
  unsigned int bzSize = static_cast<unsigned int>(bz.size());
  ASSERT_EQ(BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(bz.data()), &bzSize,
                                     const_cast<char*>(reinterpret_cast<const char*>(a.data())), 4096, 9, 0, 0),
            BZ_OK);
  bz.resize(bzSize);
  std::memset(bz.data(), 'x', 3);
  // File: [zlib a][b stored][bzip2 a]
  std::vector<uint8_t> file = z;
  file.insert(file.end(), b.begin(), b.end());
  file.insert(file.end(), bz.begin(), bz.end());
  const uint64_t size = file.size();
  ImageFile f(OpenMemoryFile(file));

  BlockMap map(2048, 0);
  ASSERT_TRUE(map.Add(ExtentKind::kZlib, 0, static_cast<uint32_t>(z.size()), 4096, size));
  ASSERT_TRUE(map.Add(ExtentKind::kZeros, 0, 0, 1000, size));
  ASSERT_TRUE(map.Add(ExtentKind::kZeros, 0, 0, 24, size));               // joins the one before
  ASSERT_TRUE(map.Add(ExtentKind::kStored, z.size(), 3000, 4096, size));  // padded with zeros
  ASSERT_TRUE(map.Add(ExtentKind::kBzip2, z.size() + 3000, bzSize, 4096, size));
  EXPECT_EQ(map.extents().size(), 4u);
  EXPECT_EQ(map.total(), 4096u + 1024 + 4096 + 4096);
  EXPECT_EQ(map.SectorCount(), 7u);
  std::vector<uint8_t> expect = a;
  expect.resize(expect.size() + 1024, 0);
  expect.insert(expect.end(), b.begin(), b.end());
  expect.resize(expect.size() + 1096, 0);
  expect.insert(expect.end(), a.begin(), a.end());
  expect.resize(8 * 2048, 0);  // past the last extent: zeros
  std::vector<uint8_t> out(8 * 2048, 0xEE);
  ASSERT_EQ(map.ReadSectors(f, 0, 8, out.data()), 8u);
  EXPECT_TRUE(out == expect);
  std::vector<uint8_t> piece(5000);
  ASSERT_TRUE(map.ReadBytes(f, 4000, piece.size(), piece.data()));
  EXPECT_TRUE(std::equal(piece.begin(), piece.end(), expect.begin() + 4000));

  // A stream must inflate to the extent's size (or up to its capacity), no more, no less.
  struct Stream {
    uint64_t size;
    uint32_t capacity, stored;
    bool ok;
  };
  const Stream streams[] = {{4096, 0, static_cast<uint32_t>(z.size()), true},
                            {2048, 0, static_cast<uint32_t>(z.size()), false},
                            {8192, 0, static_cast<uint32_t>(z.size()), false},
                            {2048, 4096, static_cast<uint32_t>(z.size()), true},
                            {4096, 0, static_cast<uint32_t>(z.size()) - 4, false}};
  for (const Stream& s : streams) {
    BlockMap one(2048, 0);
    ASSERT_TRUE(one.Add(ExtentKind::kZlib, 0, s.stored, s.size, size, s.capacity));
    EXPECT_EQ(one.ReadBytes(f, 0, 100, out.data()), s.ok) << s.size << " " << s.stored;
  }

  // Limits: data outside the file, decoded blocks and staging beyond their caps.
  EXPECT_FALSE(map.Add(ExtentKind::kStored, size - 10, 11, 11, size));
  EXPECT_FALSE(map.Add(ExtentKind::kZlib, 0, 10, kBlockMapMaxDecodedExtent + 1ull, size));
  EXPECT_TRUE(map.Add(ExtentKind::kStored, 0, 10, uint64_t{1} << 40, size));  // stored: read in place
  EXPECT_TRUE(map.PrepareStaging(300 * 1024 + 23520));
  EXPECT_EQ(map.stagingSize(), size_t{kBlockMapStagingSize});
  EXPECT_TRUE(map.PrepareStaging(kBlockMapMaxStaging));
  EXPECT_FALSE(map.PrepareStaging(kBlockMapMaxStaging + 1));
}

}  // namespace
}  // namespace kv
