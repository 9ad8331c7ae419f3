// The builder through its interface: the bytes and sector numbers of small trees, the sector map,
// the reads, and hostile trees.
#include "service/image_builder.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <map>
#include <set>

#include "platform/codepage.h"
#include "tests/fixtures/test_support.h"
#include "tests/service/bridge_reader.h"

namespace kv::service {
namespace {

using namespace kv::test::bridge;
namespace sk = sector_kind;

constexpr int64_t kBuildTime = 1700000000;  // 2023-11-14 22:13:20 UTC
// 2020-01-02 03:04:05 UTC as a FILETIME.
constexpr uint64_t kFileTime = (1577934245ull + 11644473600ull) * 10000000ull;

BuildClock FixedClock() {
  return BuildClock{kBuildTime, 0x1234};
}

// Items of a pattern of bytes, remembering every read asked for.
class PatternSource : public ItemDataSource {
 public:
  struct Call {
    uint32_t item;
    uint64_t offset;
    size_t length;
  };
  bool ReadItem(uint32_t item, uint64_t offset, void* dst, size_t length) override {
    calls.push_back({item, offset, length});
    auto* out = static_cast<uint8_t*>(dst);
    for (size_t i = 0; i < length; ++i) out[i] = Byte(item, offset + i);
    return !fail;
  }
  static uint8_t Byte(uint32_t item, uint64_t at) { return static_cast<uint8_t>((at * 7 + item * 13 + 1) % 251); }
  std::vector<Call> calls;
  bool fail = false;
};

class BuilderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    unsetenv("KV_ANSI_CODEPAGE");
  }

  std::unique_ptr<ImageBuilder> Make() {
    auto b = std::make_unique<ImageBuilder>(&source, FixedClock);
    b->SetVolumeIdentifier(u"TESTVOL");
    return b;
  }

  static SectorReader Reader(ImageBuilder& b) {
    return [&b](uint32_t first, uint32_t count) {
      std::vector<uint8_t> v(size_t{count} * 2048);
      b.ReadSectors(first, count, v.data());
      return v;
    };
  }
  static std::vector<uint8_t> Sector(ImageBuilder& b, uint32_t s) { return Reader(b)(s, 1); }

  // Root directory records of the ISO (descriptor 16) or Joliet (17) tree.
  static std::vector<IsoRecord> Root(ImageBuilder& b, uint32_t descriptor) {
    const auto d = Sector(b, descriptor);
    std::string problem;
    auto r = ReadIsoDirectory(Reader(b), Le32(d.data() + 156 + 2), Le32(d.data() + 156 + 10), &problem);
    EXPECT_EQ(problem, "");
    return r;
  }
  static std::vector<IsoRecord> Directory(ImageBuilder& b, const IsoRecord& dir) {
    std::string problem;
    auto r = ReadIsoDirectory(Reader(b), dir.extent, dir.length, &problem);
    EXPECT_EQ(problem, "");
    return r;
  }
  static const IsoRecord* Find(const std::vector<IsoRecord>& records, const std::string& name) {
    for (const auto& r : records)
      if (r.name == name) return &r;
    return nullptr;
  }
  static std::string Joliet(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out += {static_cast<char>(c >> 8), static_cast<char>(c & 0xFF)};
    return out;
  }
  static std::vector<Fid> RootFids(ImageBuilder& b) {
    const auto fsd = Sector(b, 257);
    std::string problem;
    auto f = ReadFids(Reader(b), 257, Le32(fsd.data() + 404), &problem);
    EXPECT_EQ(problem, "");
    return f;
  }

  PatternSource source;
};

TEST_F(BuilderTest, OneSmallFileHasTheDocumentedLayoutMapAndDescriptors) {
  auto b = Make();
  ASSERT_NE(b->AddItem(u"a.txt", false, 5, kFileTime, 0), nullptr);
  ASSERT_EQ(b->Build(), BuildError::kNone);
  const uint32_t count = b->SectorCount();
  ASSERT_EQ(b->Map().size(), count);

  // UDF: root File Entry at 259, its FIDs at 260, the file's File Entry at 261.
  const auto fsd = Sector(*b, 257);
  EXPECT_EQ(CheckTag(fsd.data(), 256, 0), "");
  EXPECT_EQ(Le32(fsd.data() + 404), 259u - 257u);
  const auto rootFe = Sector(*b, 259);
  EXPECT_EQ(CheckTag(rootFe.data(), 261, 2), "");
  const FileEntry root = ParseFileEntry(rootFe.data());
  EXPECT_EQ(root.fileType, 4);
  EXPECT_EQ(root.uniqueId, 0u);
  EXPECT_EQ(root.length, 40u + 44u);
  ASSERT_EQ(root.extents.size(), 1u);
  EXPECT_EQ(root.extents[0].second, 260u - 257u);
  const auto fids = RootFids(*b);
  ASSERT_EQ(fids.size(), 2u);
  EXPECT_EQ(fids[0].characteristics, 8);
  EXPECT_EQ(fids[0].block, 2u);
  EXPECT_EQ(fids[1].name, u"a.txt");
  EXPECT_EQ(fids[1].block, 261u - 257u);
  EXPECT_EQ(fids[1].uniqueId, 261u);
  const auto fileFe = Sector(*b, 261);
  EXPECT_EQ(CheckTag(fileFe.data(), 261, 4), "");
  const FileEntry file = ParseFileEntry(fileFe.data());
  EXPECT_EQ(file.fileType, 5);
  EXPECT_EQ(file.length, 5u);
  EXPECT_EQ(file.uniqueId, 261u);
  EXPECT_EQ(file.permissions, 0x1084u);

  // ISO: the data sector comes last before the closing anchor, mapped as one item sector.
  const auto records = Root(*b, 16);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].name, std::string(1, '\0'));
  EXPECT_EQ(records[1].name, std::string(1, '\1'));
  EXPECT_EQ(records[2].name, "A.TXT");
  const uint32_t data = records[2].extent;
  EXPECT_EQ(data, count - 2);
  EXPECT_EQ(ParseFileEntry(fileFe.data()).extents.at(0).second, data - 257);
  const SectorRecord rec = b->Map()[data];
  EXPECT_EQ(rec.word, sk::kItemFirst | sk::kLastInRun | 5u);
  const uint8_t* ref = b->PoolAt(rec.value, 4);
  ASSERT_NE(ref, nullptr);
  EXPECT_EQ(Le32(ref), 1u);  // item index + 1
  for (uint32_t s = 0; s < count; ++s)
    if (s != data) {
      const uint32_t kind = b->Map()[s].word & sk::kMask;
      EXPECT_TRUE(kind == sk::kMetadata || kind == sk::kFileEntry || kind == sk::kIsoDirectory ||
                  kind == sk::kJolietDirectory || kind == sk::kFidRun)
          << s;
    }

  const auto bytes = Sector(*b, data);
  for (size_t i = 0; i < 2048; ++i) ASSERT_EQ(bytes[i], i < 5 ? PatternSource::Byte(0, i) : 0) << i;
  EXPECT_EQ(records[2].length, 5u);
  const uint8_t date[7] = {120, 1, 2, 3, 4, 5, 0};
  EXPECT_EQ(std::memcmp(records[2].date, date, 7), 0);
  const uint8_t zeroDate[7] = {};
  EXPECT_EQ(std::memcmp(records[0].date, zeroDate, 7), 0);  // the root's entry is undated

  // Descriptors with sound tags, in their sectors.
  const std::map<uint32_t, uint16_t> tags = {{32, 1}, {33, 4}, {34, 5},  {35, 6},       {36, 7}, {37, 8},
                                             {48, 1}, {49, 4}, {50, 5},  {51, 6},       {52, 7}, {53, 8},
                                             {64, 9}, {65, 8}, {256, 2}, {count - 1, 2}};
  for (const auto& [s, id] : tags) EXPECT_EQ(CheckTag(Sector(*b, s).data(), id, s), "") << s;
  EXPECT_EQ(Le16(Sector(*b, 35).data() + 10), 446u - 16u);
  const auto lvid = Sector(*b, 64);
  EXPECT_EQ(Le64(lvid.data() + 40), 262u);  // next unique ID: the first sector after the File Entries
  EXPECT_EQ(Le32(lvid.data() + 84), count - 1 - 257);
  EXPECT_EQ(Le32(lvid.data() + 120), 1u);
  EXPECT_EQ(Le32(lvid.data() + 124), 1u);
  EXPECT_EQ(Le32(Sector(*b, 34).data() + 192), count - 1 - 257);
  const auto pvd = Sector(*b, 16);
  EXPECT_EQ(Le32(pvd.data() + 80), count);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(pvd.data() + 40), 32), "TESTVOL" + std::string(25, ' '));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(Sector(*b, 22).data()), 10), std::string("KORVENDRA\0", 10));
  // The volume set identifier: "%08X%08X" of the build time and process ticks.
  const auto pd = Sector(*b, 32);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(pd.data() + 72), 17),
            "\x08"
            "6553F1000000123"
            "4");
  EXPECT_EQ(pd[72 + 127], 17);

  // The two anchors differ only in tag location and tag checksum.
  const auto first = Sector(*b, 256), last = Sector(*b, count - 1);
  for (size_t i = 0; i < 2048; ++i)
    if (i != 4 && (i < 12 || i > 15)) {
      ASSERT_EQ(first[i], last[i]) << i;
    }
  EXPECT_NE(first[12], last[12]);

  // Past the end: zeros.
  std::vector<uint8_t> tail(4 * 2048, 0xEE);
  EXPECT_EQ(b->ReadSectors(count - 1, 4, tail.data()), 4u);
  for (size_t i = 2048; i < tail.size(); ++i) ASSERT_EQ(tail[i], 0);
}

TEST_F(BuilderTest, RootRecordsCarryNameByteZeroInBothVolumes) {
  auto b = Make();
  ASSERT_NE(b->AddItem(u"d/f", false, 1, std::nullopt, 0), nullptr);
  ASSERT_EQ(b->Build(), BuildError::kNone);
  const auto pvd = Sector(*b, 16), svd = Sector(*b, 17);
  for (const auto* d : {&pvd, &svd}) {
    EXPECT_EQ((*d)[156], 34);
    EXPECT_EQ((*d)[156 + 32], 1);
    EXPECT_EQ((*d)[156 + 33], 0);
    EXPECT_EQ((*d)[156 + 25], 2);
  }
  EXPECT_NE(Le32(pvd.data() + 158), Le32(svd.data() + 158));
  EXPECT_EQ(svd[0], 2);
  EXPECT_EQ(svd[88], 0x25);
  EXPECT_EQ(svd[89], 0x2F);
  EXPECT_EQ(svd[90], 0x45);
  EXPECT_EQ(Be16(svd.data() + 40), u'T');
  EXPECT_EQ(Be16(svd.data() + 8), u' ');
  // Path tables: L little-endian and M big-endian with the same records.
  const auto l = Sector(*b, Le32(pvd.data() + 140)), m = Sector(*b, Be32(pvd.data() + 148));
  EXPECT_EQ(Le32(pvd.data() + 132), 10u + 10u);
  EXPECT_EQ(l[0], 1);
  EXPECT_EQ(Le16(l.data() + 6), 1u);
  EXPECT_EQ(Le32(l.data() + 2), Le32(pvd.data() + 158));
  EXPECT_EQ(Be32(m.data() + 2), Le32(pvd.data() + 158));
  EXPECT_EQ(l[10], 1);
  EXPECT_EQ(l[18], 'D');
  EXPECT_EQ(Le16(l.data() + 16), 1u);
  EXPECT_EQ(Be16(m.data() + 16), 1u);
  // The ISO root's "." and ".." both point at the root itself.
  const auto root = Root(*b, 16);
  EXPECT_EQ(root[0].extent, root[1].extent);
  EXPECT_EQ(root[0].extent, Le32(pvd.data() + 158));
}

TEST_F(BuilderTest, EmptyFileHasNoDataAndNoAllocationDescriptors) {
  auto b = Make();
  ASSERT_NE(b->AddItem(u"empty", false, 0, std::nullopt, 0), nullptr);
  ASSERT_EQ(b->Build(), BuildError::kNone);
  const auto root = Root(*b, 16);
  ASSERT_EQ(root.size(), 3u);
  EXPECT_EQ(root[2].extent, 0u);
  EXPECT_EQ(root[2].length, 0u);
  const auto fids = RootFids(*b);
  const FileEntry fe = ParseFileEntry(Sector(*b, 257 + fids.at(1).block).data());
  EXPECT_TRUE(fe.extents.empty());
  EXPECT_EQ(fe.length, 0u);
  EXPECT_EQ(CheckTag(Sector(*b, 257 + fids[1].block).data(), 261, fids[1].block), "");
  for (const auto& r : b->Map()) EXPECT_NE(r.word & sk::kMask, sk::kItemFirst);
}

TEST_F(BuilderTest, CaseCollisionsParentsAndDuplicates) {
  auto b = Make();
  ASSERT_NE(b->AddItem(u"A/x", false, 1, std::nullopt, 0), nullptr);
  ASSERT_NE(b->AddItem(u"A/X", false, 2, std::nullopt, 1), nullptr);
  ASSERT_NE(b->AddItem(u"x/y/z.bin", false, 3, std::nullopt, 2), nullptr);
  ASSERT_NE(b->AddItem(u"a", true, 0, kFileTime, 3), nullptr);  // merges with "A", takes its date
  ASSERT_NE(b->AddItem(u"dup", false, 4, std::nullopt, 4), nullptr);
  ASSERT_NE(b->AddItem(u"dup", false, 5, std::nullopt, 5), nullptr);
  ASSERT_EQ(b->Build(), BuildError::kNone);

  const auto root = Root(*b, 16);
  const IsoRecord* a = Find(root, "A");
  ASSERT_NE(a, nullptr);
  const uint8_t date[7] = {120, 1, 2, 3, 4, 5, 0};
  EXPECT_EQ(std::memcmp(a->date, date, 7), 0);
  const auto inA = Directory(*b, *a);
  ASSERT_EQ(inA.size(), 4u);
  // The later item keeps the plain name.
  EXPECT_EQ(Find(inA, "X")->length, 2u);
  EXPECT_EQ(Find(inA, "X~0")->length, 1u);
  // Of two items with one path, both stay.
  EXPECT_EQ(Find(root, "DUP")->length, 5u);
  EXPECT_EQ(Find(root, "DUP~0")->length, 4u);

  // Joliet and UDF keep both cases.
  const auto jroot = Root(*b, 17);
  const IsoRecord* ja = Find(jroot, Joliet(u"A"));
  ASSERT_NE(ja, nullptr);
  const auto jinA = Directory(*b, *ja);
  EXPECT_EQ(Find(jinA, Joliet(u"x"))->length, 1u);
  EXPECT_EQ(Find(jinA, Joliet(u"X"))->length, 2u);
  // Joliet/UDF order: "X" (0x58) before "x" (0x78).
  EXPECT_EQ(jinA[2].name, Joliet(u"X"));

  // Parents made for x/y/z.bin carry the build time.
  const IsoRecord* x = Find(root, "X");
  ASSERT_NE(x, nullptr);
  const uint8_t built[7] = {123, 11, 14, 22, 13, 20, 0};
  EXPECT_EQ(std::memcmp(x->date, built, 7), 0);
  const auto inX = Directory(*b, *x);
  const IsoRecord* y = Find(inX, "Y");
  ASSERT_NE(y, nullptr);
  EXPECT_EQ(std::memcmp(y->date, built, 7), 0);
  EXPECT_NE(Find(Directory(*b, *y), "Z.BIN"), nullptr);
  // ".." of Y is X.
  EXPECT_EQ(Directory(*b, *y)[1].extent, x->extent);

  std::vector<std::u16string> names;
  for (const auto& f : RootFids(*b)) names.push_back(f.name);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"", u"A", u"dup", u"dup~0", u"x"}));
}

TEST_F(BuilderTest, LongNamesAreMangledToTheirLimits) {
  auto b = Make();
  const std::u16string base(296, u'n');
  ASSERT_NE(b->AddItem(base + u".txt", false, 1, std::nullopt, 0), nullptr);
  const std::u16string huge(5000, u'h');
  ASSERT_NE(b->AddItem(huge, false, 1, std::nullopt, 1), nullptr);
  ASSERT_EQ(b->Build(), BuildError::kNone);
  const auto root = Root(*b, 16);
  const std::string iso = std::string(215, 'N') + "~0.TXT";
  ASSERT_NE(Find(root, iso), nullptr);
  EXPECT_EQ(iso.size(), 221u);
  EXPECT_NE(Find(root, std::string(219, 'H') + "~0"), nullptr);
  const auto jroot = Root(*b, 17);
  EXPECT_NE(Find(jroot, Joliet(std::u16string(104, u'n') + u"~0.txt")), nullptr);
  EXPECT_NE(Find(jroot, Joliet(std::u16string(108, u'h') + u"~0")), nullptr);
}

TEST_F(BuilderTest, RecordThatWouldEndOnTheSectorEndStartsTheNextSector) {
  auto b = Make();
  // "." and ".." take 68 bytes, seven 221-byte names 7 × 254, so a 169-byte name (record of 202
  // bytes) would end exactly at byte 2048.
  for (int i = 0; i < 7; ++i)
    ASSERT_NE(b->AddItem(u"A" + std::u16string(1, u'0' + i) + std::u16string(219, u'a'), false, 1, std::nullopt, i),
              nullptr);
  ASSERT_NE(b->AddItem(u"B" + std::u16string(168, u'b'), false, 1, std::nullopt, 7), nullptr);
  ASSERT_EQ(b->Build(), BuildError::kNone);
  const auto pvd = Sector(*b, 16);
  EXPECT_EQ(Le32(pvd.data() + 156 + 10), 4096u);
  const auto root = Root(*b, 16);
  ASSERT_EQ(root.size(), 10u);
  EXPECT_EQ(root[8].offset + root[8].recordLength, 1846u);
  EXPECT_EQ(root[9].offset, 2048u);
  EXPECT_EQ(root[9].recordLength, 202);
}

TEST_F(BuilderTest, ReadsMergeItemRunsAndSplitAtFiles) {
  auto b = Make();
  ASSERT_NE(b->AddItem(u"a", false, 3000, std::nullopt, 10), nullptr);
  ASSERT_NE(b->AddItem(u"b", false, 3000, std::nullopt, 11), nullptr);
  ASSERT_NE(b->AddItem(u"c", false, 100000, std::nullopt, 12), nullptr);
  ASSERT_EQ(b->Build(), BuildError::kNone);
  const auto root = Root(*b, 16);
  const IsoRecord *a = Find(root, "A"), *bb = Find(root, "B"), *c = Find(root, "C");
  ASSERT_TRUE(a && bb && c);
  ASSERT_EQ(bb->extent, a->extent + 2);

  std::vector<uint8_t> buf(4 * 2048);
  source.calls.clear();
  ASSERT_EQ(b->ReadSectors(a->extent + 1, 3, buf.data()), 3u);
  ASSERT_EQ(source.calls.size(), 2u);
  EXPECT_EQ(source.calls[0].item, 10u);
  EXPECT_EQ(source.calls[0].offset, 2048u);
  EXPECT_EQ(source.calls[0].length, 952u);
  EXPECT_EQ(source.calls[1].item, 11u);
  EXPECT_EQ(source.calls[1].offset, 0u);
  EXPECT_EQ(source.calls[1].length, 3000u);
  EXPECT_EQ(buf[0], PatternSource::Byte(10, 2048));
  EXPECT_EQ(buf[952], 0);
  EXPECT_EQ(buf[2048 + 2999], PatternSource::Byte(11, 2999));
  EXPECT_EQ(buf[2 * 2048 + 3000 - 2048], 0);

  // 100,000 bytes: 49 sectors in four 32 KiB chunks, read in one call across chunk boundaries.
  const auto& map = b->Map();
  EXPECT_EQ(map[c->extent].word, sk::kItemFirst | 2048u);
  EXPECT_EQ(map[c->extent + 16].word, sk::kItemNext | 2048u);
  EXPECT_NE(map[c->extent + 16].value, map[c->extent + 15].value);
  EXPECT_EQ(map[c->extent + 15].value, map[c->extent].value);
  EXPECT_EQ(map[c->extent + 48].word, sk::kItemNext | sk::kLastInRun | (100000u - 48 * 2048));
  std::vector<uint8_t> big(49 * 2048);
  source.calls.clear();
  ASSERT_EQ(b->ReadSectors(c->extent + 10, 30, big.data()), 30u);
  ASSERT_EQ(source.calls.size(), 1u);
  EXPECT_EQ(source.calls[0].offset, 10u * 2048);
  EXPECT_EQ(source.calls[0].length, 30u * 2048);

  // A failing item read reports the sectors done before it.
  source.fail = true;
  EXPECT_EQ(b->ReadSectors(a->extent - 1, 4, buf.data()), 1u);
}

TEST_F(BuilderTest, LargeFilesGetShortAdsAndMultiExtentRecords) {
  auto b = Make();
  ASSERT_NE(b->AddItem(u"three", false, 3221225472ull, std::nullopt, 0), nullptr);
  ASSERT_NE(b->AddItem(u"four", false, 4294967306ull, std::nullopt, 1), nullptr);
  ASSERT_EQ(b->Build(), BuildError::kNone);
  const auto root = Root(*b, 16);
  const IsoRecord* three = Find(root, "THREE");
  ASSERT_NE(three, nullptr);
  EXPECT_EQ(three->length, 0xC0000000u);
  EXPECT_EQ(three->flags, 0);
  std::vector<const IsoRecord*> four;
  for (const auto& r : root)
    if (r.name == "FOUR") four.push_back(&r);
  ASSERT_EQ(four.size(), 2u);
  EXPECT_EQ(four[0]->length, 0xFFFFF800u);
  EXPECT_EQ(four[0]->flags, 0x80);
  EXPECT_EQ(four[1]->length, 4294967306ull - 0xFFFFF800u);
  EXPECT_EQ(four[1]->flags, 0);
  EXPECT_EQ(four[1]->extent, four[0]->extent + 0xFFFFF800u / 2048);

  for (const auto& f : RootFids(*b)) {
    if (f.name != u"three") continue;
    const auto s = Sector(*b, 257 + f.block);
    EXPECT_EQ(CheckTag(s.data(), 261, f.block), "");
    const FileEntry fe = ParseFileEntry(s.data());
    ASSERT_EQ(fe.extents.size(), 4u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(fe.extents[i].first, 0x3FFFF800u);
    EXPECT_EQ(fe.extents[3].first, 6144u);
    EXPECT_EQ(fe.extents[0].second, three->extent - 257);
    EXPECT_EQ(fe.extents[1].second, fe.extents[0].second + 0x3FFFF800u / 2048);
    EXPECT_EQ(fe.blocks, 3221225472ull / 2048);
  }
  // The last byte of the large file comes from the right offset.
  std::vector<uint8_t> s(2048);
  source.calls.clear();
  ASSERT_EQ(b->ReadSectors(four[1]->extent + 1, 1, s.data()), 1u);
  ASSERT_EQ(source.calls.size(), 1u);
  EXPECT_EQ(source.calls[0].offset, 4294967296ull);
  EXPECT_EQ(source.calls[0].length, 10u);
}

TEST_F(BuilderTest, DirectoryLinkCountAndPathTableNumbering) {
  auto b = Make();
  for (const char16_t* p : {u"top/c", u"top/a", u"top/b", u"z", u"top/a/deep"})
    ASSERT_NE(b->AddItem(p, true, 0, std::nullopt, 0), nullptr);
  ASSERT_EQ(b->Build(), BuildError::kNone);
  const auto fids = RootFids(*b);
  std::string problem;
  uint32_t topBlock = 0;
  for (const auto& f : fids)
    if (f.name == u"top") topBlock = f.block;
  ASSERT_NE(topBlock, 0u);
  const FileEntry top = ParseFileEntry(Sector(*b, 257 + topBlock).data());
  EXPECT_EQ(top.links, 4);
  EXPECT_EQ(top.permissions, 0x14A5u);
  EXPECT_EQ(ParseFileEntry(Sector(*b, 257 + Le32(Sector(*b, 257).data() + 404)).data()).links, 3);
  // Breadth first, children by name: root, TOP, Z, then A, B, C (parent 2), then DEEP (parent 4).
  const auto pvd = Sector(*b, 16);
  const auto t = Sector(*b, Le32(pvd.data() + 140));
  std::vector<std::pair<std::string, uint16_t>> rows;
  for (size_t at = 0; at < Le32(pvd.data() + 132);) {
    rows.push_back({std::string(reinterpret_cast<const char*>(t.data() + at + 8), t[at]), Le16(t.data() + at + 6)});
    at += 8 + t[at] + (t[at] % 2);
  }
  const std::vector<std::pair<std::string, uint16_t>> want = {
      {std::string(1, '\0'), 1}, {"TOP", 1}, {"Z", 1}, {"A", 2}, {"B", 2}, {"C", 2}, {"DEEP", 4}};
  EXPECT_EQ(rows, want);
}

TEST_F(BuilderTest, CodePageNamesAndTheTwoByteRule) {
  // Windows-1252: upper-casing, unrepresentable characters and unpaired surrogates.
  EXPECT_EQ(platform::WideToAnsiUpper(u"\u00e9t\u00e9", 1252), "\xC9T\xC9");
  EXPECT_EQ(platform::WideToAnsi(u"a\u4e00b\xD800"
                                 u"c",
                                 1252),
            "a?b?c");
  EXPECT_EQ(platform::WideToAnsi(u"\U0001F600", 1252), "?");
  EXPECT_EQ(platform::AnsiToWide("\x80", 1252), u"\u20ac");
  setenv("KV_ANSI_CODEPAGE", "932", 1);
  EXPECT_EQ(platform::AnsiCodePage(), 932u);
  setenv("KV_ANSI_CODEPAGE", "nonsense", 1);
  EXPECT_EQ(platform::AnsiCodePage(), 1252u);

  // In code page 932 a 300-character Japanese name is cut at a character boundary.
  setenv("KV_ANSI_CODEPAGE", "932", 1);
  auto b = Make();
  const std::u16string name = u"x" + std::u16string(299, u'\u3042');  // "x" + hiragana a (2 bytes each)
  ASSERT_NE(b->AddItem(name, false, 1, std::nullopt, 0), nullptr);
  ASSERT_EQ(b->Build(), BuildError::kNone);
  const auto root = Root(*b, 16);
  ASSERT_EQ(root.size(), 3u);
  // 221 − "~0" leaves 219 bytes: "x" and 109 two-byte characters (218 bytes), never half of one.
  std::string want = "X";
  for (int i = 0; i < 109; ++i) want += "\x82\xA0";
  EXPECT_EQ(root[2].name, want + "~0");
}

TEST_F(BuilderTest, HostileNamesAndShapesBuildValidImagesOrFail) {
  auto b = Make();
  uint32_t index = 0;
  std::u16string deep;
  for (int i = 0; i < 200; ++i) deep += u"d/";
  const std::vector<std::u16string> paths = {u"ctl\x01\x02\x1f",
                                             u"back\\slash",
                                             u"semi;colon",
                                             u"semi;colon;1",
                                             std::u16string(u"nul\0in", 6),
                                             u"lone\xD800surrogate",
                                             u"lone\xDC00low",
                                             u"\u4e00\u4e01",
                                             u".",
                                             u"..",
                                             u"",
                                             u"/",
                                             u"//x//",
                                             u"./y",
                                             u"../z",
                                             u"a/../b",
                                             deep + u"leaf",
                                             std::u16string(300, u'L'),
                                             std::u16string(5000, u'M'),
                                             u"~0",
                                             u"x~0",
                                             u"x",
                                             u"X"};
  for (const auto& p : paths) b->AddItem(p, false, 10, std::nullopt, index++);
  EXPECT_EQ(b->AddItem(u"", false, 1, std::nullopt, 99), nullptr);
  EXPECT_EQ(b->AddItem(u"/./", true, 1, std::nullopt, 99), nullptr);
  for (int i = 0; i < 10000; ++i) b->AddItem(u"many/same", false, 1, std::nullopt, index++);
  ASSERT_EQ(b->Build(), BuildError::kNone);
  EXPECT_EQ(b->Build(), BuildError::kNotBuilt);
  EXPECT_EQ(b->AddItem(u"late", false, 1, std::nullopt, 0), nullptr);

  // Every directory record and FID is sound, names are unique per directory, and the tree holds
  // every file.
  size_t files = 0;
  std::function<void(const IsoRecord&, int)> walk = [&](const IsoRecord& dir, int depth) {
    ASSERT_LT(depth, 300);
    const auto records = Directory(*b, dir);
    std::set<std::string> names;
    for (size_t i = 2; i < records.size(); ++i) {
      if (records[i].flags & 0x80) continue;
      EXPECT_TRUE(names.insert(records[i].name).second);
      if (records[i].flags & 2) {
        walk(records[i], depth + 1);
      } else {
        ++files;
      }
    }
  };
  const auto pvd = Sector(*b, 16);
  IsoRecord root;
  root.extent = Le32(pvd.data() + 158);
  root.length = Le32(pvd.data() + 166);
  walk(root, 0);
  EXPECT_EQ(files, paths.size() - 3 + 10000);  // ".", "" and "/" name nothing

  const kv::test::TempDir dir;
  const auto image = dir / "hostile.iso";
  std::vector<uint8_t> all(size_t{b->SectorCount()} * 2048);
  ASSERT_EQ(b->ReadSectors(0, b->SectorCount(), all.data()), b->SectorCount());
  kv::test::WriteFileBytes(image, all);
  if (kv::test::HaveTool("7z")) {
    for (const char* t : {"udf", "iso"}) {
      const auto r = kv::test::Run("7z t -t" + std::string(t) + " " + kv::test::Quote(image.string()));
      EXPECT_EQ(r.exitCode, 0) << r.output;
    }
  }
}

TEST_F(BuilderTest, CancelledOrTooLargeBuildsFail) {
  std::atomic<bool> cancel{true};
  auto b = Make();
  b->SetCancelFlag(&cancel);
  ASSERT_NE(b->AddItem(u"a", false, 1, std::nullopt, 0), nullptr);
  EXPECT_EQ(b->Build(), BuildError::kCancelled);
  EXPECT_EQ(b->SectorCount(), 0u);
  std::vector<uint8_t> s(2048, 1);
  EXPECT_EQ(b->ReadSectors(0, 1, s.data()), 0u);
  EXPECT_EQ(s[0], 0);

  auto huge = Make();
  ASSERT_NE(huge->AddItem(u"huge", false, uint64_t{1} << 42, std::nullopt, 0), nullptr);
  EXPECT_EQ(huge->Build(), BuildError::kImageTooLarge);
  auto many = Make();
  ASSERT_NE(many->AddItem(u"a", false, uint64_t{1} << 40, std::nullopt, 0), nullptr);
  ASSERT_NE(many->AddItem(u"b", false, uint64_t{1} << 40, std::nullopt, 1), nullptr);
  ASSERT_NE(many->AddItem(u"c", false, uint64_t{1} << 40, std::nullopt, 2), nullptr);
  EXPECT_EQ(many->Build(), BuildError::kImageTooLarge);
}

TEST_F(BuilderTest, MoreThan65535DirectoriesWithChildrenFail) {
  auto b = Make();
  // Parents numbered above 65,535 cannot be recorded in a path table.
  for (uint32_t i = 0; i < 70000; ++i) {
    char16_t name[16];
    for (int k = 0; k < 5; ++k) name[k] = static_cast<char16_t>(u'a' + (i >> (4 * k)) % 16);
    ASSERT_NE(b->AddItem(std::u16string(name, 5) + u"/c", true, 0, std::nullopt, i), nullptr);
  }
  EXPECT_EQ(b->Build(), BuildError::kTooManyDirectories);
}

}  // namespace
}  // namespace kv::service
