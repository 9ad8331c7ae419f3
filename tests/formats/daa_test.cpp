// DAA/GBI: our inflater against zlib, the nibble cipher, and images of every form written by the
// test writer and read back through ImageSource.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <fstream>
#include <random>

#include "formats/daa/daa_format.h"
#include "formats/daa/daa_image.h"
#include "formats/daa/nibble_cipher.h"
#include "formats/daa/variant_inflate.h"
#include "formats/image_source_access.h"
#include "tests/fixtures/daa_image_writer.h"
#include "tests/formats/image_test_support.h"

namespace kv {
namespace {

using daa::InflateStatus;
using daa::InflateVariant;
using W = test::DaaWriterOptions;

std::vector<uint8_t> ZlibRaw(const std::vector<uint8_t>& data, int level, int strategy) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
  std::vector<uint8_t> out(deflateBound(&z, static_cast<uLong>(data.size())) + 16);
  z.next_in = const_cast<uint8_t*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// Text-like data with repeats at every distance, and runs.
std::vector<uint8_t> MixedData(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v;
  const char* words[] = {"sector ", "chunk ", "volume ", "\x00\x00\x00\x00", "ISO9660 ", "Korvendrake "};
  while (v.size() < n) {
    const unsigned pick = rng() % 10;
    if (pick < 6) {
      v.insert(v.end(), words[pick], words[pick] + (pick == 3 ? 4 : std::strlen(words[pick])));
    } else if (pick < 8 && v.size() > 40000) {
      const size_t from = v.size() - 1 - rng() % 32768, len = 3 + rng() % 300;
      for (size_t i = 0; i < len; ++i) v.push_back(v[from + i]);
    } else {
      for (int i = 0; i < 20; ++i) v.push_back(static_cast<uint8_t>(rng()));
    }
  }
  v.resize(n);
  return v;
}

TEST(DaaInflate, EqualsZlibOnRandomAndRealData) {
  std::vector<std::vector<uint8_t>> inputs = {
      {}, {42}, test::PatternBytes(70000, 3), MixedData(300000, 1), std::vector<uint8_t>(100000, 0x55)};
  std::ifstream text(std::string(KV_SOURCE_DIR) + "/formats/daa/variant_inflate.cpp", std::ios::binary);
  inputs.emplace_back(std::istreambuf_iterator<char>(text), std::istreambuf_iterator<char>());
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY, Z_RLE, Z_FILTERED};
  for (const auto& data : inputs) {
    for (int level : {0, 1, 6, 9}) {
      for (int strategy : strategies) {
        const auto stream = ZlibRaw(data, level, strategy);
        std::vector<uint8_t> out(data.size() + 64);
        size_t written = 0;
        ASSERT_EQ(InflateVariant(stream.data(), stream.size(), out.data(), out.size(), 0, &written), InflateStatus::kOk)
            << "size " << data.size() << " level " << level << " strategy " << strategy;
        ASSERT_EQ(written, data.size());
        EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
      }
    }
  }
}

TEST(DaaInflate, BadStreamsStopInsideTheBuffer) {
  const auto data = MixedData(200000, 9);
  const auto stream = ZlibRaw(data, 6, Z_DEFAULT_STRATEGY);
  // Every truncation fails; none succeeds with short output.
  for (size_t cut : {size_t{0}, size_t{1}, size_t{2}, stream.size() / 3, stream.size() - 1}) {
    std::vector<uint8_t> out(data.size());
    size_t written = 0;
    EXPECT_NE(InflateVariant(stream.data(), cut, out.data(), out.size(), 0, &written), InflateStatus::kOk) << cut;
  }
  // Too little room: kOutputFull, and the guard bytes behind the capacity stay untouched.
  for (size_t capacity : {size_t{0}, size_t{1}, size_t{4096}, data.size() - 1}) {
    std::vector<uint8_t> out(capacity + 64, 0xA5);
    size_t written = 0;
    EXPECT_EQ(InflateVariant(stream.data(), stream.size(), out.data(), capacity, 0, &written),
              InflateStatus::kOutputFull);
    for (size_t i = capacity; i < out.size(); ++i) ASSERT_EQ(out[i], 0xA5) << capacity;
  }
  // Garbage in any variant ends (bounded by the input) with the same answer as zlib on variant 0.
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> in(1 + rng() % 200);
    for (auto& b : in) b = static_cast<uint8_t>(rng());
    if (round % 2) in[0] = static_cast<uint8_t>((in[0] & ~6) | 2);  // a dynamic block header
    std::vector<uint8_t> out(4096), reference(4096);
    size_t written = 0;
    const InflateStatus ours = InflateVariant(in.data(), in.size(), out.data(), out.size(), 0, &written);
    for (int v = 1; v < 4; ++v) InflateVariant(in.data(), in.size(), out.data(), out.size(), v, &written);
    InflateVariant(in.data(), in.size(), out.data(), out.size(), 0, &written);
    z_stream z{};
    inflateInit2(&z, -15);
    z.next_in = in.data();
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reference.data();
    z.avail_out = static_cast<uInt>(reference.size());
    const int zr = inflate(&z, Z_FINISH);
    inflateEnd(&z);
    ASSERT_EQ(ours == InflateStatus::kOk, zr == Z_STREAM_END) << "round " << round;
    if (zr == Z_STREAM_END) {
      ASSERT_EQ(written, z.total_out);
      ASSERT_EQ(std::memcmp(out.data(), reference.data(), written), 0);
    }
  }
}

TEST(DaaCipher, DecryptsWhatItEncryptsAndUsesAtMost65Characters) {
  const std::string passwords[] = {"a", "secret", "\x01\xff\x80 mixed", std::string(65, 'x') + "tail", "~~~~~~~~"};
  const auto plain = test::PatternBytes(1000, 4);
  for (const std::string& p : passwords) {
    daa::NibbleCipher cipher;
    cipher.SetPassword(p);
    ASSERT_TRUE(cipher.set());
    for (size_t n : {size_t{1}, size_t{31}, size_t{32}, size_t{33}, size_t{128}, size_t{129}, size_t{1000}}) {
      std::vector<uint8_t> v(plain.begin(), plain.begin() + static_cast<ptrdiff_t>(n));
      cipher.Encrypt(v.data(), v.size());
      if (n >= 32) {
        EXPECT_NE(std::memcmp(v.data(), plain.data(), n), 0) << p << " " << n;
      }
      cipher.Decrypt(v.data(), v.size());
      EXPECT_EQ(std::memcmp(v.data(), plain.data(), n), 0) << p << " " << n;
    }
  }
  daa::NibbleCipher a, b, none;
  a.SetPassword(std::string(65, 'q'));
  b.SetPassword(std::string(65, 'q') + "ignored");
  none.SetPassword("");
  EXPECT_FALSE(none.set());
  std::vector<uint8_t> x = plain, y = plain;
  a.Encrypt(x.data(), x.size());
  b.Encrypt(y.data(), y.size());
  EXPECT_EQ(x, y);
}

class DaaImages : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new test::TempDir();
    if (test::HaveTool("genisoimage")) iso_ = test::ReadFileBytes(test::MakeGenisoimage(*dir_, "-J", "source.iso"));
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (iso_.empty()) GTEST_SKIP() << "genisoimage missing";
  }

  // Writes the image into a fresh folder and opens it through ImageSource.
  MountError Open(const W& options, std::unique_ptr<ImageSource>* source, const std::string& password = "",
                  std::filesystem::path* first = nullptr, int32_t format = kFormatDaa) {
    const auto folder = dir_->path() / ("case" + std::to_string(counter_++));
    std::filesystem::create_directories(folder);
    const auto path = test::WriteDaaFiles(folder, test::WriteDaaImage(iso_, options, "img"));
    if (first) *first = path;
    test::Request request(format);
    std::memcpy(request->Password, password.data(), std::min<size_t>(password.size(), 259));
    return test::OpenPath(path, request, source);
  }

  void ExpectReadsBack(ImageSource& source, const std::string& what) {
    ASSERT_EQ(source.sectorCount(), iso_.size() / kSectorSize) << what;
    std::vector<uint8_t> out(iso_.size());
    // Uneven runs, so reads cross chunk ends.
    for (uint32_t s = 0; s < source.sectorCount();) {
      const uint32_t n = std::min<uint32_t>(7, source.sectorCount() - s);
      ASSERT_EQ(source.ReadSectors(s, n, out.data() + uint64_t{s} * kSectorSize), n) << what << " sector " << s;
      s += n;
    }
    EXPECT_TRUE(out == iso_) << what;
  }

  static test::TempDir* dir_;
  static std::vector<uint8_t> iso_;
  int counter_ = 0;
};

test::TempDir* DaaImages::dir_ = nullptr;
std::vector<uint8_t> DaaImages::iso_;

// Writer options by name, each made from the defaults by one change.
struct WriterCases {
  struct Case {
    std::string name;
    W o;
  };
  template <class Change>
  void Add(std::string name, Change change) {
    W o;
    change(o);
    list.push_back({std::move(name), o});
  }
  std::vector<Case> list;
  auto begin() const { return list.begin(); }
  auto end() const { return list.end(); }
};

TEST_F(DaaImages, EveryFormReadsBackTheSourceIso) {
  WriterCases cases;
  const auto add = [&](std::string name, auto change) { cases.Add(std::move(name), change); };
  add("v100", [](W& o) { o.version = 0x100; });
  add("v100 gbi", [](W& o) { o.version = 0x100, o.signature = W::Signature::kGbi; });
  for (int v = 0; v < 4; ++v) add("deflate variant " + std::to_string(v), [v](W& o) { o.variant = v; });
  add("alternative gbi variant 2", [](W& o) { o.signature = W::Signature::kGbiAlternative, o.variant = 2; });
  add("lzma", [](W& o) { o.method = W::Method::kLzma; });
  add("lzma x86 header in image",
      [](W& o) { o.method = W::Method::kLzma, o.x86Filter = true, o.lzmaHeaderInImage = true, o.chunkSize = 32768; });
  add("stored", [](W& o) { o.method = W::Method::kStored, o.chunkSize = 16384; });
  add("mixed all-deflate bit", [](W& o) { o.method = W::Method::kMixed, o.allDeflateBit = true, o.variant = 3; });
  add("mixed explicit widths", [](W& o) { o.method = W::Method::kMixed, o.table = W::Table::kExplicitWidths; });
  add("compressed table", [](W& o) { o.method = W::Method::kMixed, o.table = W::Table::kCompressed; });
  add("compressed table alternative",
      [](W& o) { o.table = W::Table::kCompressed, o.signature = W::Signature::kGbiAlternative; });
  add("scrambled table", [](W& o) { o.table = W::Table::kScrambled, o.method = W::Method::kMixed; });
  add("scrambled table alternative",
      [](W& o) { o.table = W::Table::kScrambled, o.signature = W::Signature::kGbiAlternative; });
  add("table at end", [](W& o) { o.tableAtEnd = true, o.table = W::Table::kExplicitWidths; });
  add("locator 6", [](W& o) { o.locator = 6, o.leadingBytes = 5000; });
  add("locator 5", [](W& o) { o.locator = 5; });
  add("big chunks", [](W& o) { o.chunkSize = 4 << 20, o.method = W::Method::kMixed; });
  for (uint32_t scheme = 0; scheme < 3; ++scheme)
    add("volumes scheme " + std::to_string(scheme), [scheme](W& o) {
      o.volumeSize = 150000, o.namingScheme = scheme, o.method = W::Method::kMixed, o.tableAtEnd = scheme == 1;
    });
  add("volumes locator 5", [](W& o) { o.volumeSize = 200000, o.locator = 5, o.namingScheme = 2; });
  add("encrypted", [](W& o) { o.password = "secret", o.method = W::Method::kMixed; });
  add("encrypted split", [](W& o) { o.password = "pw", o.volumeSize = 180000; });
  add("encrypted long password", [](W& o) { o.password = std::string(80, 'k'), o.version = 0x100; });

  for (const auto& c : cases) {
    std::unique_ptr<ImageSource> source;
    ASSERT_EQ(Open(c.o, &source, c.o.password), kMountOk) << c.name;
    EXPECT_EQ(source->format(), kFormatDaa) << c.name;
    EXPECT_TRUE(source->probe().iso) << c.name;
    ExpectReadsBack(*source, c.name);
  }
}

// An independent reader (daa2iso) unpacks what the writer makes, for the forms it knows: so the
// writer, and with it the reader tested against it, follow the format and not only each other.
TEST_F(DaaImages, Daa2isoReadsTheWritersImages) {
  if (!test::HaveTool("daa2iso")) GTEST_SKIP() << "daa2iso is not installed";
  WriterCases cases;
  const auto add = [&](std::string name, auto change) { cases.Add(std::move(name), change); };
  add("v100", [](W& o) { o.version = 0x100; });
  for (int v = 0; v < 4; ++v) add("variant " + std::to_string(v), [v](W& o) { o.variant = v; });
  add("lzma x86, stored and deflate",
      [](W& o) { o.method = W::Method::kMixed, o.lzmaHeaderInImage = true, o.x86Filter = true; });
  add("explicit widths", [](W& o) { o.table = W::Table::kExplicitWidths, o.chunkSize = 32768; });
  add("compressed table", [](W& o) { o.table = W::Table::kCompressed; });
  add("scrambled table", [](W& o) { o.table = W::Table::kScrambled; });
  add("encrypted", [](W& o) { o.password = "Secret-1", o.method = W::Method::kMixed, o.lzmaHeaderInImage = true; });
  for (uint32_t scheme = 0; scheme < 3; ++scheme)
    add("split scheme " + std::to_string(scheme), [scheme](W& o) { o.volumeSize = 150000, o.namingScheme = scheme; });

  for (const auto& c : cases) {
    const auto folder = dir_->path() / ("daa2iso" + std::to_string(counter_++));
    std::filesystem::create_directories(folder);
    const auto first = test::WriteDaaFiles(folder, test::WriteDaaImage(iso_, c.o, "img"));
    const auto r = test::Run("cd " + test::Quote(folder.string()) + " && printf '%s\\n' " + test::Quote(c.o.password) +
                             " | daa2iso " + test::Quote(first.filename().string()) + " out.iso");
    EXPECT_TRUE(test::ReadFileBytes(folder / "out.iso") == iso_) << c.name << "\n" << r.output;
  }
}

TEST_F(DaaImages, LocatorMakesAnyCodeReadAsDaa) {
  W o;
  o.locator = 6;
  o.leadingBytes = 2048;
  for (int32_t code : {kFormatIso, kFormatBin, kFormatNrg}) {
    std::unique_ptr<ImageSource> source;
    ASSERT_EQ(Open(o, &source, "", nullptr, code), kMountOk);
    EXPECT_EQ(source->format(), kFormatDaa);
  }
  std::unique_ptr<ImageSource> source;
  EXPECT_EQ(Open(o, &source, "", nullptr, kFormatDmg), kMountUnrecognised);
}

TEST_F(DaaImages, PasswordsDecideWhetherChunksDecode) {
  W o;
  o.password = "right";
  std::unique_ptr<ImageSource> source;
  // Wrong and missing passwords: the chunks fail their CRC, so the file system is not found.
  for (const std::string& p : {std::string("wrong"), std::string(), std::string(65, 'r')})
    EXPECT_EQ(Open(o, &source, p), kMountUnrecognised) << p;
  ASSERT_EQ(Open(o, &source, "right"), kMountOk);
  ExpectReadsBack(*source, "right password");

  // The check the manager makes before mounting.
  std::filesystem::path path;
  Open(o, &source, "right", &path);
  int error = 0;
  ImageFile file(OpenPosixFile(path.string(), &error));
  daa::DaaImage image;
  ASSERT_EQ(image.Open(&file, std::filesystem::file_size(path), u"img.daa", {}), kMountOk);
  EXPECT_TRUE(image.encrypted());
  EXPECT_TRUE(image.PasswordMatches("right"));
  EXPECT_FALSE(image.PasswordMatches("Right"));
  EXPECT_FALSE(image.PasswordMatches(""));
}

TEST_F(DaaImages, CacheDecodesEachChunkOnceUntilEvicted) {
  W o;
  o.chunkSize = 16384;  // 8 sectors per chunk
  std::filesystem::path path;
  std::unique_ptr<ImageSource> unused;
  ASSERT_EQ(Open(o, &unused, "", &path), kMountOk);
  int error = 0;
  ImageFile file(OpenPosixFile(path.string(), &error));
  daa::DaaImage image;
  ASSERT_EQ(image.Open(&file, std::filesystem::file_size(path), u"img.daa", {}), kMountOk);
  ASSERT_GE(image.chunkCount(), 5u);
  for (uint32_t c : {0u, 1u, 2u, 3u, 4u, 0u}) ASSERT_NE(image.Chunk(c), nullptr);
  EXPECT_EQ(image.chunkDecodes(), 6u);  // chunk 0 was the least recently used when 4 came
  for (uint32_t c : {0u, 4u, 3u, 2u}) ASSERT_NE(image.Chunk(c), nullptr);
  EXPECT_EQ(image.chunkDecodes(), 6u);
  // The last chunk holds only what is left of the image; nothing is read beyond it.
  uint8_t sector[2048];
  EXPECT_EQ(image.ReadSectors(image.sectorCount() - 1, 1, sector), 1u);
  EXPECT_EQ(std::memcmp(sector, iso_.data() + iso_.size() - 2048, 2048), 0);
  EXPECT_EQ(image.ReadSectors(image.sectorCount(), 1, sector), 0u);
}

TEST_F(DaaImages, VolumeNamesFollowTheSchemes) {
  EXPECT_EQ(daa::VolumeName(u"x.part01.daa", 0, 1, false), u"x.part02.daa");
  EXPECT_EQ(daa::VolumeName(u"x.part01.exe", 0, 1, false), u"x.part02.daa");
  EXPECT_EQ(daa::VolumeName(u"x.part001.gbi", 1, 11, true), u"x.part012.gbi");
  EXPECT_EQ(daa::VolumeName(u"x.daa", 2, 1, false), u"x.d00");
  EXPECT_EQ(daa::VolumeName(u"X.DAA", 2, 12, false), u"X.D11");
  EXPECT_EQ(daa::VolumeName(u"x.iso", 2, 1, false), u"");
  EXPECT_EQ(daa::VolumeName(u"x.daa", 0, 1, false), u"");
  EXPECT_EQ(daa::FirstVolumeName(u"/a/x.part03.daa", false), u"/a/x.part01.daa");
  EXPECT_EQ(daa::FirstVolumeName(u"/a/x.part003.gbi", true), u"/a/x.part001.gbi");
  EXPECT_EQ(daa::FirstVolumeName(u"/a/x.d04", false), u"/a/x.daa");
}

// Rewrites the header at `offset` after `edit` and fixes its CRC unless told not to.
void EditHeader(std::vector<uint8_t>& file, size_t offset, const std::function<void(daa::MainHeader&)>& edit,
                bool fixCrc = true) {
  daa::MainHeader h;
  std::memcpy(&h, file.data() + offset, sizeof h);
  edit(h);
  if (fixCrc) h.crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(&h), 72));
  std::memcpy(file.data() + offset, &h, sizeof h);
}

TEST_F(DaaImages, DamagedImagesAreRefusedOrFailTheirReads) {
  W plain;
  plain.method = W::Method::kMixed;
  const auto files = test::WriteDaaImage(iso_, plain, "img");
  const std::vector<uint8_t> good = files[0].bytes;
  struct Damage {
    std::string name;
    std::function<void(std::vector<uint8_t>&)> apply;
    MountError expected;
  };
  const Damage damages[] = {
      {"bad crc",
       [](auto& f) {
         EditHeader(
             f, 0, [](auto& h) { h.imageSize += 2048; }, false);
       },
       kMountUnrecognised},
      {"version 0x120", [](auto& f) { EditHeader(f, 0, [](auto& h) { h.version = 0x120; }); },
       kMountUnsupportedVersion},
      {"version 0x100 with 32 KiB chunks",
       [](auto& f) { EditHeader(f, 0, [](auto& h) { h.version = 0x100, h.chunkSizeFlags = 32768; }); },
       kMountUnrecognised},
      {"key word flag", [](auto& f) { EditHeader(f, 0, [](auto& h) { h.chunkSizeFlags |= 0x2000; }); },
       kMountUnrecognised},
      {"table key flag", [](auto& f) { EditHeader(f, 0, [](auto& h) { h.chunkSizeFlags |= 0x80000; }); },
       kMountUnrecognised},
      {"masked table flag", [](auto& f) { EditHeader(f, 0, [](auto& h) { h.chunkSizeFlags |= 0x20000; }); },
       kMountUnrecognised},
      {"word at 28", [](auto& f) { EditHeader(f, 0, [](auto& h) { h.one = 2; }); }, kMountUnrecognised},
      {"header size 75", [](auto& f) { EditHeader(f, 0, [](auto& h) { h.headerSize = 75; }); }, kMountUnrecognised},
      {"image larger than the chunks", [](auto& f) { EditHeader(f, 0, [](auto& h) { h.imageSize *= 3; }); },
       kMountUnrecognised},
      {"table truncated", [](auto& f) { f.resize(90); }, kMountUnrecognised},
      {"chunks truncated", [](auto& f) { f.pop_back(); }, kMountUnrecognised},
      {"length field of zero",
       [](auto& f) {
         EditHeader(f, 0, [](auto& h) { h.bitWidths = 1; });  // default widths: zero the first entry
         f[76] = f[77] = 0;
         f[78] &= 0xFE;
       },
       kMountUnrecognised},
      {"huge length field",
       [](auto& f) { EditHeader(f, 0, [](auto& h) { h.bitWidths = static_cast<uint8_t>((30 - 10) << 3 | 1); }); },
       kMountUnrecognised},
      {"chunk byte flipped", [](auto& f) { f[f.size() / 2] ^= 0x10; }, kMountOk},
  };
  for (const Damage& d : damages) {
    std::vector<uint8_t> bytes = good;
    d.apply(bytes);
    test::Request request(kFormatDaa);
    std::unique_ptr<ImageSource> source;
    const MountError error = test::OpenBytes(bytes, request, &source);
    EXPECT_EQ(error, d.expected) << d.name;
    if (error == kMountOk) {
      // The damaged chunk fails its CRC: its sectors fail, the rest read.
      std::vector<uint8_t> out(iso_.size());
      EXPECT_LT(source->ReadSectors(0, source->sectorCount(), out.data()), source->sectorCount()) << d.name;
    }
  }
}

TEST_F(DaaImages, AbsurdLzmaDictionaryCostsNoMemory) {
  W o;
  o.method = W::Method::kLzma;
  o.lzmaHeaderInImage = true;
  auto files = test::WriteDaaImage(iso_, o, "img");
  // Dictionary size 0xFFFFFFFF in the header's LZMA properties: still decodes (the dictionary is
  // capped at the chunk size).
  EditHeader(files[0].bytes, 0, [](auto& h) { std::memset(h.lzmaProperties + 1, 0xFF, 4); });
  test::Request request(kFormatDaa);
  std::unique_ptr<ImageSource> source;
  ASSERT_EQ(test::OpenBytes(files[0].bytes, request, &source), kMountOk);
  ExpectReadsBack(*source, "absurd dictionary");
  // Properties out of range (lc + lp > 4) fail the reads, not the process.
  EditHeader(files[0].bytes, 0, [](auto& h) { h.lzmaProperties[0] = 224; });
  EXPECT_EQ(test::OpenBytes(files[0].bytes, request, &source), kMountUnrecognised);
}

TEST_F(DaaImages, SplitImagesNeedEveryVolumeAndTheFirstOne) {
  W o;
  // Small enough for at least four volumes, so that the third is a middle one.
  o.volumeSize = 80000;
  o.namingScheme = 0;
  std::filesystem::path first;
  std::unique_ptr<ImageSource> source;
  ASSERT_EQ(Open(o, &source, "", &first), kMountOk);
  ASSERT_GE(std::distance(std::filesystem::directory_iterator(first.parent_path()), {}), 4);

  // A later volume is no image of its own.
  const auto second = first.parent_path() / "img.part02.daa";
  test::Request request(kFormatDaa);
  EXPECT_EQ(test::OpenPath(second, request, &source), kMountUnrecognised);
  std::vector<uint8_t> head(16);
  std::ifstream(second, std::ios::binary).read(reinterpret_cast<char*>(head.data()), 16);
  EXPECT_TRUE(daa::IsLaterVolume(head.data(), head.size()));

  // A missing middle volume: the open succeeds while the first chunks read; its chunks fail.
  const auto third = first.parent_path() / "img.part03.daa";
  std::filesystem::rename(third, first.parent_path() / "moved");
  ASSERT_EQ(test::OpenPath(first, request, &source), kMountOk);
  std::vector<uint8_t> out(iso_.size());
  EXPECT_LT(source->ReadSectors(0, source->sectorCount(), out.data()), source->sectorCount());
  EXPECT_EQ(source->ReadSectors(16, 1, out.data()), 1u);
}

// A dynamic block whose 19 code-length code lengths start on a byte boundary needs 57 bits after
// one refill of the bit buffer. Written by hand: a fixed block of five 9-bit literals puts the
// second block's header at bit 7 of a byte.
TEST(VariantInflate, NineteenCodeLengthLengthsOnAByteBoundary) {
  std::vector<uint8_t> stream;
  uint64_t bit = 0;
  const auto put = [&](uint32_t value, unsigned n) {  // least significant bit first
    for (unsigned i = 0; i < n; ++i, ++bit) {
      if (bit % 8 == 0) stream.push_back(0);
      stream.back() |= static_cast<uint8_t>(((value >> i) & 1) << (bit % 8));
    }
  };
  const auto code = [&](uint32_t value, unsigned n) {  // Huffman codes: most significant bit first
    for (unsigned i = n; i-- > 0;) put((value >> i) & 1, 1);
  };
  put(0, 1), put(1, 2);                                    // fixed block, not the last
  for (int i = 0; i < 5; ++i) code(0x190 + 200 - 144, 9);  // literal 200
  code(0, 7);                                              // end of block
  ASSERT_EQ(bit % 8, 7u);
  put(1, 1), put(2, 2);              // dynamic block, the last
  put(0, 5), put(0, 5), put(15, 4);  // 257 literal/length codes, 1 distance code, 19 lengths
  // Code-length code: symbols 1, 8, 9 and 16 of 2 bits (codes 00, 01, 10, 11), in the format's order.
  const unsigned order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  for (unsigned s : order) put(s == 1 || s == 8 || s == 9 || s == 16 ? 2 : 0, 3);
  // Lengths: 0-254 of 8 bits, 255 and 256 of 9, the one distance code of 1.
  code(1, 2);
  for (int i = 0; i < 41; ++i) code(3, 2), put(3, 2);
  code(3, 2), put(2, 2);
  code(3, 2), put(0, 2);
  code(2, 2), code(2, 2), code(0, 2);
  code(511, 9);  // end of block
  stream.resize(stream.size() + 16, 0);
  std::vector<uint8_t> out(64);
  size_t written = 0;
  ASSERT_EQ(daa::InflateVariant(stream.data(), stream.size(), out.data(), out.size(), 0, &written),
            daa::InflateStatus::kOk);
  ASSERT_EQ(written, 5u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(out[i], 200);
  // zlib agrees that the stream is sound.
  z_stream z{};
  ASSERT_EQ(inflateInit2(&z, -15), Z_OK);
  z.next_in = stream.data();
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
  EXPECT_EQ(z.total_out, 5u);
  inflateEnd(&z);
}

}  // namespace
}  // namespace kv
