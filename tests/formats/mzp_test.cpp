// MZP containers: written by the pack writer (or the odd-case writer) to files, read back only
// through those files by the container reader and the service's MARFS reader; bridge images of
// `kvimage pack` output judged by 7z.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "common/crc.h"
#include "formats/mzp/mzp_container.h"
#include "formats/mzp/mzp_format.h"
#include "formats/raw_file.h"
#include "service/marfs_volume.h"
#include "tests/fixtures/marfs_odd_writer.h"
#include "tests/fixtures/test_support.h"
#include "tools/mzppack/mzp_writer.h"

namespace kv::test {
namespace {

namespace fs = std::filesystem;

struct Opened {
  std::unique_ptr<ImageFile> file;
  std::unique_ptr<mzp::MzpContainer> container;
  mzp::MzpStatus status = mzp::MzpStatus::kNotMzp;
};

Opened OpenContainer(const fs::path& path, const std::string& password = "", bool useIndex = true) {
  Opened o;
  int error = 0;
  auto raw = OpenPosixFile(path.string(), &error);
  EXPECT_TRUE(raw) << path;
  if (!raw) return o;
  const int64_t size = raw->Size();
  o.file = std::make_unique<ImageFile>(std::move(raw));
  o.container = std::make_unique<mzp::MzpContainer>();
  mzp::MzpOpenOptions options;
  options.password = password;
  options.useIndex = useIndex;
  const fs::path folder = path.parent_path();
  options.openVolume = [folder](const std::u16string& name) {
    int e = 0;
    return OpenPosixFile((folder / fs::path(std::u16string(name))).string(), &e);
  };
  o.status = o.container->Open(o.file.get(), size, path.filename().u16string(), options);
  return o;
}

class MzpContainers : public ::testing::Test {
 protected:
  void SetUp() override {
    src_ = dir_.path() / "src";
    fs::create_directories(src_ / "a" / "b");
    WriteFileBytes(src_ / "big.bin", PatternBytes(700000, 1));
    WriteFileBytes(src_ / "a" / "zeros.bin", std::vector<uint8_t>(300000, 0));
    WriteFileText(src_ / "a" / "b" / "note.txt", "note\n");
    WriteFileBytes(src_ / "empty", {});
    std::vector<std::string> skipped;
    std::string error;
    ASSERT_TRUE(volume_.Layout(src_.string(), u"", &skipped, &error)) << error;
    expected_.resize(volume_.SectorCount() * 2048);
    ASSERT_TRUE(volume_.Read(0, static_cast<uint32_t>(volume_.SectorCount()), expected_.data(), &error));
  }

  fs::path Write(const std::string& name, const mzp::PackOptions& o) {
    mzp::PackResult result;
    std::string error;
    EXPECT_TRUE(mzp::WriteMzp(volume_, (dir_.path() / name).string(), o, &result, &error)) << error;
    return result.files.empty() ? fs::path() : fs::path(result.files[0]);
  }

  void ExpectSectors(mzp::MzpContainer& c, const std::string& what) {
    ASSERT_EQ(c.sectorCount(), expected_.size() / 2048) << what;
    std::vector<uint8_t> got(expected_.size());
    ASSERT_EQ(c.ReadSectors(0, c.sectorCount(), got.data()), c.sectorCount()) << what;
    EXPECT_TRUE(got == expected_) << what;
  }

  TempDir dir_;
  fs::path src_;
  mzp::MarfsVolumeWriter volume_;
  std::vector<uint8_t> expected_;
};

TEST_F(MzpContainers, EveryLayoutReadsBack) {
  struct Case {
    const char* name;
    mzp::PackOptions o;
  };
  std::vector<Case> cases;
  const auto add = [&cases](const char* name, auto edit) {
    mzp::PackOptions o;
    o.chunkSize = 32768;
    edit(o);
    cases.push_back({name, o});
  };
  add("lzma", [](auto&) {});
  add("lzma-headers-x86", [](auto& o) { o.lzmaChunkHeaders = true, o.x86Filter = true; });
  for (int v = 0; v < 4; ++v) add("deflate", [v](auto& o) { o.method = mzp::PackMethod::kDeflate, o.variant = v; });
  add("plain-table-no-index", [](auto& o) { o.compressedTable = false, o.indexDescriptor = false; });
  for (uint32_t bits : {128u, 192u, 256u})
    add("aes", [bits](auto& o) { o.password = "correct horse battery staple, and more", o.keyBits = bits; });
  add("split-aes-deflate",
      [](auto& o) { o.volumeSize = 70000, o.password = "pw", o.keyBits = 128, o.method = mzp::PackMethod::kDeflate; });
  add("big-chunks", [](auto& o) { o.chunkSize = 4095u * 16384; });
  int serial = 0;
  for (const Case& c : cases) {
    const fs::path file = Write("c" + std::to_string(serial++) + ".mzp", c.o);
    for (bool useIndex : {true, false}) {
      Opened o = OpenContainer(file, c.o.password, useIndex);
      ASSERT_EQ(o.status, mzp::MzpStatus::kOk) << c.name << ": " << o.container->reason();
      EXPECT_EQ(o.container->tableFromIndex(), useIndex && c.o.indexDescriptor) << c.name;
      EXPECT_EQ(o.container->keyBits(), c.o.password.empty() ? 0u : c.o.keyBits) << c.name;
      ExpectSectors(*o.container, c.name);
    }
  }
  // The split container really is split, and its later volumes are no containers of their own.
  Opened split = OpenContainer(dir_.path() / "c10.part01.mzp", "pw");
  ASSERT_EQ(split.status, mzp::MzpStatus::kOk);
  EXPECT_GT(split.container->volumeCount(), 3u);
  EXPECT_EQ(OpenContainer(dir_.path() / "c10.part02.mzp", "pw").status, mzp::MzpStatus::kNotMzp);
  // A missing later volume fails the reads that need it, not the open.
  fs::rename(dir_.path() / "c10.part03.mzp", dir_.path() / "gone");
  Opened partial = OpenContainer(dir_.path() / "c10.part01.mzp", "pw", false);
  ASSERT_EQ(partial.status, mzp::MzpStatus::kOk);
  std::vector<uint8_t> all(expected_.size());
  EXPECT_LT(partial.container->ReadSectors(0, partial.container->sectorCount(), all.data()),
            partial.container->sectorCount());
}

TEST_F(MzpContainers, PasswordsAreCheckedByDecryptingTheFirstChunk) {
  mzp::PackOptions o;
  o.password = "0123456789abcdef-ignored";
  o.keyBits = 128;
  const fs::path file = Write("p.mzp", o);
  EXPECT_EQ(OpenContainer(file).status, mzp::MzpStatus::kPasswordNeeded);
  EXPECT_EQ(OpenContainer(file, "0123456789abcdeX").status, mzp::MzpStatus::kWrongPassword);
  // Only the key's bytes count.
  EXPECT_EQ(OpenContainer(file, "0123456789abcdef").status, mzp::MzpStatus::kOk);
  Opened later = OpenContainer(file);
  EXPECT_EQ(later.container->SetPassword("nope"), mzp::MzpStatus::kWrongPassword);
  uint8_t sector[2048];
  EXPECT_EQ(later.container->ReadSector(0, sector), -1);
  EXPECT_EQ(later.container->SetPassword("0123456789abcdef"), mzp::MzpStatus::kOk);
  EXPECT_EQ(later.container->ReadSector(0, sector), 0);
  EXPECT_EQ(std::memcmp(sector, "MARFSVOL", 8), 0);
}

TEST_F(MzpContainers, DamagedContainersAreRefusedOrFailTheirReads) {
  mzp::PackOptions o;
  o.chunkSize = 32768;
  const fs::path file = Write("h.mzp", o);
  const std::vector<uint8_t> good = ReadFileBytes(file);
  const auto variant = [&](auto edit, bool fixCrc) {
    std::vector<uint8_t> bytes = good;
    edit(bytes);
    if (fixCrc) {
      const uint32_t crc = Crc32(0, bytes.data(), offsetof(mzp::MainHeader, crc));
      std::memcpy(bytes.data() + offsetof(mzp::MainHeader, crc), &crc, 4);
    }
    WriteFileBytes(dir_.path() / "bad.mzp", bytes);
    return dir_.path() / "bad.mzp";
  };
  const auto put32 = [](std::vector<uint8_t>& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); };
  EXPECT_EQ(OpenContainer(variant([&](auto& b) { b[45] ^= 1; }, false)).status, mzp::MzpStatus::kBroken);
  EXPECT_EQ(OpenContainer(variant([&](auto& b) { put32(b, 20, 0x110); }, true)).status,
            mzp::MzpStatus::kUnsupportedVersion);
  EXPECT_EQ(OpenContainer(variant([&](auto& b) { put32(b, 29, 2); }, true)).status, mzp::MzpStatus::kBroken);
  EXPECT_EQ(OpenContainer(variant([&](auto& b) { put32(b, 16, 76); }, true)).status, mzp::MzpStatus::kBroken);
  EXPECT_EQ(OpenContainer(variant([&](auto& b) { b[0] = 'X'; }, true)).status, mzp::MzpStatus::kNotMzp);
  // A chunk table that ends past the file: the index still opens it; without the index it fails.
  const auto pastEnd = [&](auto& b) {
    const uint64_t end = good.size() + 1000;
    std::memcpy(b.data() + 49, &end, 8);
  };
  EXPECT_EQ(OpenContainer(variant(pastEnd, true)).status, mzp::MzpStatus::kOk);
  EXPECT_EQ(OpenContainer(variant(pastEnd, true), "", false).status, mzp::MzpStatus::kBroken);
  // A flipped byte inside a chunk fails that chunk's reads only.
  Opened flipped = OpenContainer(variant([&](auto& b) { b[good.size() / 2] ^= 0x40; }, false));
  ASSERT_EQ(flipped.status, mzp::MzpStatus::kOk);
  std::vector<uint8_t> all(expected_.size());
  EXPECT_LT(flipped.container->ReadSectors(0, flipped.container->sectorCount(), all.data()),
            flipped.container->sectorCount());
  EXPECT_EQ(flipped.container->badChunkCrcs(), 1u);
  // Every truncation is refused or fails reads, never crashes.
  for (size_t cut = 0; cut < good.size(); cut += good.size() / 97 + 1) {
    std::vector<uint8_t> bytes(good.begin(), good.begin() + static_cast<long>(cut));
    WriteFileBytes(dir_.path() / "cut.mzp", bytes);
    Opened c = OpenContainer(dir_.path() / "cut.mzp");
    if (c.status == mzp::MzpStatus::kOk) c.container->ReadSectors(0, c.container->sectorCount(), all.data());
  }
}

// A container whose file data cannot be decoded still opens; reading the image fails at that
// data with a notice and BuildError 11, the metadata sectors stay readable.
TEST_F(MzpContainers, UnreadableFileDataIsReportedWhileServing) {
  mzp::PackOptions o;
  o.chunkSize = 16384;
  const fs::path file = Write("r.mzp", o);
  std::vector<uint8_t> bytes = ReadFileBytes(file);
  bytes[bytes.size() / 2] ^= 0x55;  // inside big.bin's chunks
  WriteFileBytes(file, bytes);
  struct Notices final : service::MzpNotices {
    int failed = 0, skipped = 0;
    void ReadFailed(const std::string&, uint32_t) override { ++failed; }
    void Skipped(const std::string&, const std::string&) override { ++skipped; }
  } notices;
  service::ImageBuilder builder(nullptr);
  service::MzpOpenResult result;
  auto source = service::MzpVolumeSource::Open(file.string(), "", builder, &notices, &result);
  ASSERT_TRUE(source) << service::MzpOpenResultText(result);
  EXPECT_EQ(source->entryCount(), 6u);
  ASSERT_EQ(builder.Build(), service::BuildError::kNone);
  std::vector<uint8_t> image(size_t{builder.SectorCount()} * 2048);
  EXPECT_EQ(builder.ReadSectors(0, 16, image.data()), 16u);
  EXPECT_LT(builder.ReadSectors(0, builder.SectorCount(), image.data()), builder.SectorCount());
  EXPECT_EQ(builder.error(), service::BuildError::kSourceRead);
  EXPECT_EQ(notices.failed, 1);
  EXPECT_EQ(notices.skipped, 0);
}

// The service's walk over MARFS volumes the writer would never make.
TEST(MarfsVolumes, HostileTreesAreCutNotFollowed) {
  TempDir dir;
  struct Case {
    const char* name;
    uint64_t entries;  // entries entered
    uint64_t skipped;  // entries or streams left out with a message
  };
  std::vector<std::pair<Case, std::function<void(MarfsOddVolume&)>>> cases;
  const auto dirRecord = [](uint32_t start, uint64_t size, const char16_t* name) {
    OddRecord r;
    r.start = start, r.size = size, r.directory = true, r.name = name;
    return r;
  };
  const auto fileRecord = [](uint32_t start, uint64_t size, const char16_t* name) {
    OddRecord r;
    r.start = start, r.size = size, r.name = name;
    return r;
  };
  cases.push_back({{"self loop", 1, 1}, [&](MarfsOddVolume& v) {
                     std::vector<uint8_t> root;
                     AppendRecord(&root, dirRecord(2, 2048, u"d"));
                     std::vector<uint8_t> d;
                     AppendRecord(&d, dirRecord(2, 2048, u"self"));
                     v.Header(1, 2048, u"v");
                     v.Put(1, root);
                     v.Put(2, d);
                   }});
  cases.push_back({{"cycle through a child", 2, 1}, [&](MarfsOddVolume& v) {
                     std::vector<uint8_t> root, a, b;
                     AppendRecord(&root, dirRecord(2, 2048, u"a"));
                     AppendRecord(&a, dirRecord(3, 2048, u"b"));
                     AppendRecord(&b, dirRecord(1, 2048, u"root-again"));
                     v.Header(1, 2048, u"v");
                     v.Put(1, root);
                     v.Put(2, a);
                     v.Put(3, b);
                   }});
  cases.push_back({{"lengths past the stream, odd names, huge sizes", 2, 3}, [&](MarfsOddVolume& v) {
                     std::vector<uint8_t> root;
                     AppendRecord(&root, fileRecord(5, 5, u"ok.txt"));
                     OddRecord odd = fileRecord(5, 5, u"odd");
                     odd.nameBytesOverride = 5;
                     AppendRecord(&root, odd);
                     AppendRecord(&root, fileRecord(5, uint64_t{1} << 63 | 5, u"huge"));
                     AppendRecord(&root, fileRecord(5, 0, u"empty"));
                     OddRecord name = fileRecord(5, 5, u"n");
                     name.nameBytesOverride = 400;
                     AppendRecord(&root, name);
                     OddRecord past = fileRecord(5, 5, u"past");
                     past.lengthOverride = 4000;
                     AppendRecord(&root, past);
                     v.Header(1, 2048, u"v");
                     v.Put(1, root);
                   }});
  cases.push_back({{"tail past the last whole sector", 1, 0}, [&](MarfsOddVolume& v) {
                     std::vector<uint8_t> root(2000, 0);
                     root.resize(0);
                     OddRecord pad = fileRecord(5, 1, u"first");
                     pad.name = std::u16string(1000, u'x');
                     AppendRecord(&root, pad);
                     AppendRecord(&root, fileRecord(5, 1, u"second-in-the-tail"));
                     v.Header(1, root.size(), u"v");
                     v.Put(1, root);
                   }});
  cases.push_back({{"10,000 levels", 1000, 1}, [&](MarfsOddVolume& v) {
                     v.Header(1, 2048, u"deep");
                     for (uint32_t level = 0; level < 10000; ++level) {
                       std::vector<uint8_t> s;
                       AppendRecord(&s, dirRecord(2 + level, 2048, u"d"));
                       v.Put(1 + level, s);
                     }
                   }});
  int serial = 0;
  for (auto& [c, make] : cases) {
    MarfsOddVolume volume(10010);
    make(volume);
    const fs::path file = dir.path() / ("m" + std::to_string(serial++) + ".mzp");
    WriteOddContainer(volume, file);
    service::ImageBuilder builder(nullptr);
    service::MzpOpenResult result;
    auto source = service::MzpVolumeSource::Open(file.string(), "", builder, nullptr, &result);
    ASSERT_TRUE(source) << c.name << ": " << service::MzpOpenResultText(result);
    EXPECT_EQ(source->entryCount(), c.entries) << c.name;
    EXPECT_EQ(source->skippedCount(), c.skipped) << c.name;
    EXPECT_EQ(builder.Build(), service::BuildError::kNone) << c.name;
  }
  // Not a MARFS volume: the open fails.
  MarfsOddVolume wrong(4);
  wrong.Header(1, 0, u"v", "MARFSXXX");
  WriteOddContainer(wrong, dir.path() / "wrong.mzp");
  service::ImageBuilder builder(nullptr);
  service::MzpOpenResult result;
  EXPECT_FALSE(service::MzpVolumeSource::Open((dir.path() / "wrong.mzp").string(), "", builder, nullptr, &result));
  EXPECT_EQ(result, service::MzpOpenResult::kNotMzp);
}

TEST(MarfsVolumes, TimestampsCarryTheirZone) {
  // 2020-01-02 03:04:05 at UTC+01:00 is 02:04:05 UTC.
  const uint8_t plusOne[12] = {60, 0x10, 0xE4, 0x07, 1, 2, 3, 4, 5, 0, 0, 0};
  EXPECT_EQ(service::MarfsTimeToUnix(plusOne), std::optional<int64_t>(1577930645));
  // -60 minutes in 12 bits.
  const uint8_t minusOne[12] = {0xC4, 0x1F, 0xE4, 0x07, 1, 2, 3, 4, 5, 0, 0, 0};
  EXPECT_EQ(service::MarfsTimeToUnix(minusOne), std::optional<int64_t>(1577930645 + 7200));
  const uint8_t noDate[12] = {0, 0x10, 0xE4, 0x07, 13, 2, 3, 4, 5, 0, 0, 0};
  EXPECT_EQ(service::MarfsTimeToUnix(noDate), std::nullopt);
  uint8_t written[12];
  const mzp::MarfsTime t = mzp::MarfsTimeOf(1577930645);
  std::memcpy(written, &t, sizeof written);
  EXPECT_EQ(service::MarfsTimeToUnix(written), std::optional<int64_t>(1577930645));
}

// `kvimage pack`, then `kvimage build` of the container: 7z extracts the folder from the image.
TEST_F(MzpContainers, BridgeImagesOfPackedFoldersExtractToTheFolder) {
  if (!HaveTool("7z")) GTEST_SKIP() << "7z is not installed";
  const std::string kvimage = Quote(ProgramPath("kvimage"));
  WriteFileText(dir_.path() / "pw", "a password longer than thirty-two bytes, for every key\n");
  std::vector<std::pair<std::string, std::string>> cases = {
      {"--method lzma", ""},
      {"--method deflate --chunk-size 16384 --volume-size 200000", ""},
  };
  for (const char* bits : {"128", "192", "256"})
    cases.push_back({std::string("--key-bits ") + bits + " --password-file " + Quote((dir_.path() / "pw").string()),
                     " --password-file " + Quote((dir_.path() / "pw").string())});
  int serial = 0;
  for (const auto& [pack, build] : cases) {
    const std::string n = "k" + std::to_string(serial++);
    const fs::path out = dir_.path() / (n + ".mzp");
    auto r =
        kv::test::Run(kvimage + " pack " + Quote(src_.string()) + " -o " + Quote(out.string()) + " " + pack + " 2>&1");
    ASSERT_EQ(r.exitCode, 0) << pack << r.output;
    const fs::path first = fs::exists(out) ? out : dir_.path() / (n + ".part01.mzp");
    const fs::path image = dir_.path() / (n + ".iso");
    r = kv::test::Run(kvimage + " build " + Quote(first.string()) + " -o " + Quote(image.string()) + build + " 2>&1");
    ASSERT_EQ(r.exitCode, 0) << pack << r.output;
    for (const char* type : {"udf", "iso"}) {
      const fs::path x = dir_.path() / (n + "-" + type);
      r = kv::test::Run("7z x -y -t" + std::string(type) + " -o" + Quote(x.string()) + " " + Quote(image.string()));
      ASSERT_EQ(r.exitCode, 0) << r.output;
      r = kv::test::Run("diff -r " + Quote(src_.string()) + " " + Quote(x.string()));
      EXPECT_EQ(r.exitCode, 0) << pack << " " << type << ": " << r.output;
    }
  }
  const auto r = kv::test::Run(kvimage + " info " + Quote((dir_.path() / "k2.mzp").string()) + " 2>&1");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("give its password"), std::string::npos) << r.output;
}

}  // namespace
}  // namespace kv::test
