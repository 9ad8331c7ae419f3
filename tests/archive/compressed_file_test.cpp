// Files compressed as one stream: random access through seek points, plain compressed files as
// one item, and the odd streams that compressors and people make.
#include <sys/stat.h>

#include <cstring>
#include <random>

#include "archive/seekable_decompressor.h"
#include "tests/archive/archive_test_support.h"

namespace kv::test {
namespace {

struct Compressor {
  std::string extension, command;
};
const Compressor kCompressors[] = {{".gz", "gzip -1 -c"},
                                   {".bz2", "bzip2 -1 -c"},
                                   {".xz", "xz -0 -c"},
                                   {".zst", "zstd -q -c"},
                                   {".lzma", "xz --format=lzma -0 -c"}};

bool Have(const Compressor& c) {
  return HaveTool(c.command.substr(0, c.command.find(' ')));
}

class CompressedFile : public ArchiveTest {
 protected:
  void Compress(const Compressor& c, const fs::path& file, const fs::path& out) {
    ASSERT_EQ(test::Run(c.command + " " + Quote(file.string()) + " > " + Quote(out.string())).exitCode, 0);
  }
  std::vector<uint8_t> ReadWhole(archive::MountedArchive& a, uint32_t item) {
    std::vector<uint8_t> bytes(a.items()[item].size);
    bytes.resize(a.ReadItemBytes(item, bytes.data(), 0, bytes.size()));
    return bytes;
  }
};

TEST_F(CompressedFile, ReadingTheLastItemDecodesFromTheLastSeekPointOnly) {
  const fs::path src = path("src");
  fs::create_directories(src);
  const auto big = PatternBytes(10 << 20, 7);
  WriteFileBytes(src / "a-big.bin", big);
  // Longer than the end the index pass keeps, so that reading it decodes.
  const auto last = PatternBytes((5 << 19) + 77, 8);
  // A name too long for the header: tar writes a long-name record before it.
  const std::string lastName = "z-" + std::string(150, 'n') + ".bin";
  WriteFileBytes(src / lastName, last);
  ASSERT_EQ(test::Run("cd " + Quote(src.string()) + " && tar --format=gnu -cf " + Quote(path("t.tar").string()) +
                      " a-big.bin " + lastName)
                .exitCode,
            0);
  // Gzip gets points every MiB of output; bzip2 and xz where their blocks start (bzip2 -1 makes
  // blocks of 100 kB, kept a MiB apart), so the spacing bounds the decoding before the item.
  struct Case {
    Compressor c;
    uint64_t spacing;
  };
  for (const auto& [c, spacing] : {Case{{".gz", "gzip -1 -c"}, 1u << 20}, Case{{".bz2", "bzip2 -1 -c"}, 2u << 20},
                                   Case{{".xz", "xz -0 -T2 --block-size=3MiB -c"}, 3u << 20}}) {
    SCOPED_TRACE(c.extension);
    const fs::path file = path("t.tar" + c.extension);
    Compress(c, path("t.tar"), file);
    auto a = OpenArchive(file);
    ASSERT_TRUE(a);
    const archive::SeekableDecompressor* d = a->decompressor();
    ASSERT_NE(d, nullptr);
    EXPECT_GE(d->pointCount(), 3u);
    // A point keeps at most a window and a decoder's tables, compressed (these bytes do not shrink).
    EXPECT_LT(d->indexBytes(), d->pointCount() * 40u * 1024) << "the windows are kept compressed";
    ASSERT_EQ(a->itemCount(), 2u);
    ASSERT_EQ(Utf8(a->items()[1].path), lastName);
    EXPECT_EQ(d->decodedBytes(), 0u) << "the listing reads the headers kept from the index pass";
    const uint64_t before = d->decodedBytes();
    EXPECT_EQ(ReadWhole(*a, 1), last);
    // At most one span before the item, the item itself and its header.
    EXPECT_LE(d->decodedBytes() - before, spacing + last.size() + 64 * 1024);
    EXPECT_EQ(ReadWhole(*a, 0), big) << "and back to the start";
    // kvimage info reports the index a mount keeps.
    const auto info = test::Run(Quote(ProgramPath("kvimage")) + " info --json " + Quote(file.string()));
    EXPECT_NE(info.output.find(",\"uncompressedSize\":" + std::to_string(d->size()) + ",\"seekPoints\":" +
                               std::to_string(d->pointCount()) + ",\"indexBytes\":" + std::to_string(d->indexBytes())),
              std::string::npos)
        << info.output;
  }
}

TEST_F(CompressedFile, APlainCompressedFileIsOneItemWithItsTrueSizeAndTime) {
  const auto content = PatternBytes((2 << 20) + 17, 3);
  WriteFileBytes(path("p.bin"), content);
  for (const Compressor& c : kCompressors) {
    if (!Have(c)) continue;
    SCOPED_TRACE(c.extension);
    const fs::path file = path("p.bin" + c.extension);
    Compress(c, path("p.bin"), file);
    auto a = OpenArchive(file);
    ASSERT_TRUE(a);
    ASSERT_EQ(a->itemCount(), 1u);
    EXPECT_EQ(Utf8(a->items()[0].path), "p.bin");
    EXPECT_EQ(a->items()[0].size, content.size());
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(a->items()[0].fileTime.value_or(0),
              (uint64_t(st.st_mtim.tv_sec) + 11644473600ull) * 10000000ull + uint64_t(st.st_mtim.tv_nsec) / 100);
    EXPECT_EQ(ReadWhole(*a, 0), content);
    EXPECT_TRUE(messages_.All().empty());
  }
}

// An LZMA header the decompressor does not take (a dictionary of 4 GiB - 256 bytes) is left to
// the library, which would set that much aside at the first read: it is not taken as an archive.
TEST_F(CompressedFile, AnLzmaHeaderNamingAnAbsurdDictionaryIsNoArchive) {
  std::vector<uint8_t> absurd = {0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x03, 0x80};
  absurd.resize(absurd.size() + 13);
  WriteFileBytes(path("absurd.zip"), absurd);
  archive::OpenError error = archive::OpenError::kNone;
  EXPECT_FALSE(OpenArchive(path("absurd.zip"), std::nullopt, &error));
  EXPECT_EQ(error, archive::OpenError::kNoFormat);
  EXPECT_TRUE(StoreEmpty());
}

TEST_F(CompressedFile, OddStreamsReadAsTheToolsReadThem) {
  const auto one = PatternBytes(700000, 11);
  const auto two = PatternBytes(300000, 12);
  WriteFileBytes(path("one"), one);
  WriteFileBytes(path("two"), two);
  std::vector<uint8_t> both = one;
  both.insert(both.end(), two.begin(), two.end());
  const auto cat = [&](const std::string& parts, const std::string& out) {
    ASSERT_EQ(test::Run("cd " + Quote(dir_.path().string()) + " && " + parts + " > " + out).exitCode, 0);
  };
  struct Case {
    std::string file, make;
    std::vector<uint8_t> expected;  // empty: only a prefix of `one` decodes
  };
  const std::vector<Case> cases = {
      {"members.gz", "(gzip -c one; gzip -c two)", both},
      {"garbage.gz", "(gzip -c one; printf 'trailing garbage')", one},
      {"streams.bz2", "(bzip2 -c one; bzip2 -c two)", both},
      {"cut.bz2", "bzip2 -c one | head -c 100000", {}},
      // A block of the middle damaged: the blocks before it decode, nothing after it is guessed.
      {"bad.bz2",
       "(bzip2 -1 -c one > b.tmp; printf XXXXXXXX | dd of=b.tmp bs=1 seek=$(( $(stat -c %s b.tmp) / 2 )) "
       "conv=notrunc status=none; cat b.tmp)",
       {}},
      {"padded.xz", "(xz -0 -c one; printf '\\0\\0\\0\\0\\0\\0\\0\\0'; xz -0 -c two)", both},
      {"cut.xz", "xz -0 -c one | head -c 50000", {}},
      {"skippable.zst", "(printf '\\120\\052\\115\\030\\004\\000\\000\\000abcd'; zstd -q -c one; zstd -q -c two)",
       both},
      {"cut.gz", "gzip -c one | head -c 60000", {}},
      {"garbage.lzma", "(xz --format=lzma -0 -c one; printf 'trailing garbage')", one},
      {"cut.lzma", "xz --format=lzma -0 -c one | head -c 50000", {}},
      // A dictionary of 512 MiB named in the header (encoders write up to 1.5 GiB).
      {"big-dictionary.lzma",
       "(xz --format=lzma -0 -c one > l.tmp; printf '\\0\\0\\0\\40' | dd of=l.tmp bs=1 seek=1 conv=notrunc "
       "status=none; cat l.tmp)",
       one},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    cat(c.make, c.file);
    auto a = OpenArchive(path(c.file));
    ASSERT_TRUE(a);
    ASSERT_EQ(a->itemCount(), 1u);
    const auto got = ReadWhole(*a, 0);
    if (c.expected.empty()) {
      EXPECT_TRUE(a->decompressor()->damaged());
      EXPECT_LT(got.size(), one.size());
      EXPECT_TRUE(std::equal(got.begin(), got.end(), one.begin())) << "what decodes is the start";
    } else {
      EXPECT_EQ(got, c.expected);
    }
  }
}

// Pieces read from the end backwards restart at every kind of gzip point (saved decoder states
// inside dynamic and stored blocks, member starts, zlib's block points in a stream cut short) and
// must give the bytes that gzip gives.
TEST_F(CompressedFile, GzipReadsFromEveryKindOfPointGiveGzipsBytes) {
  std::string text;
  std::mt19937 rng(5);
  static const char* const kWords[] = {"drive ", "sector ", "volume ", "track ", "\n"};
  while (text.size() < (3u << 20)) text += kWords[rng() % 5] + std::to_string(rng() % 5000) + " ";
  WriteFileText(path("text"), text);
  WriteFileBytes(path("random"), PatternBytes(2 << 20, 9));
  struct Case {
    std::string file, make;
    bool damaged;
  };
  const std::vector<Case> cases = {
      {"text.gz", "gzip -6 -c text", false},
      {"random.gz", "gzip -1 -c random", false},
      {"members.gz", "(gzip -c text; gzip -1 -c random; gzip -9 -c text; printf 'trailing garbage')", false},
      {"cut.gz", "gzip -c text | head -c 600000", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    ASSERT_EQ(test::Run("cd " + Quote(dir_.path().string()) + " && " + c.make + " > " + c.file).exitCode, 0);
    // A stream cut short gives a start of what it was cut from.
    const auto expected =
        c.damaged ? text : test::Run("(gzip -dc " + Quote(path(c.file).string()) + " 2>/dev/null)").output;
    archive::IndexOptions options;
    options.folder = store().string();
    options.span = 256 * 1024;
    options.edge = 0;  // every read decodes
    archive::IndexError error;
    auto d = archive::SeekableDecompressor::Create(path(c.file).string(), options, &error);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->damaged(), c.damaged);
    if (c.damaged) {
      ASSERT_LT(d->size(), expected.size());
      ASSERT_GT(d->size(), 1000000u);
    } else {
      ASSERT_EQ(d->size(), expected.size());
    }
    EXPECT_GE(d->pointCount(), expected.size() / options.span / 2);
    std::vector<uint8_t> piece(300001);
    for (uint64_t end = d->size(); end > 0;) {
      const uint64_t start = end > piece.size() ? end - piece.size() : 0;
      ASSERT_EQ(d->Read(start, piece.data(), end - start), end - start) << start;
      ASSERT_EQ(0, std::memcmp(piece.data(), expected.data() + start, end - start)) << start;
      end = start;
    }
  }
}

TEST_F(CompressedFile, TheIndexPassReportsProgressAndCanBeCancelled) {
  // A bomb in small: 64 MiB of zeros in a few dozen KiB.
  ASSERT_EQ(test::Run("head -c 67108864 /dev/zero | gzip -c > " + Quote(path("bomb.gz").string())).exitCode, 0);
  archive::OpenRequest r;
  r.path = path("bomb.gz").string();
  r.driveIndex = 4;
  r.installDir = KV_INSTALL_DIR;
  r.storeFolder = store().string();
  r.messages = &messages_;
  int calls = 0;
  r.progress = [&](uint64_t done, uint64_t total) {
    EXPECT_LE(done, total);
    return ++calls < 2;
  };
  archive::OpenError error = archive::OpenError::kNone;
  EXPECT_FALSE(archive::MountedArchive::Open(r, &error));
  EXPECT_EQ(error, archive::OpenError::kCancelled);
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(StoreEmpty()) << "the index leaves nothing behind";
}

}  // namespace
}  // namespace kv::test
