// Whole bridge images of fixed trees, built with a pinned clock, against the digests they had when
// every metadata sector was stored whole. Any change in how the builder keeps or makes its
// sectors must leave these bytes alone.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "service/image_builder.h"

namespace kv::service {
namespace {

namespace sk = sector_kind;

class ZeroSource : public ItemDataSource {
 public:
  bool ReadItem(uint32_t item, uint64_t offset, void* dst, size_t length) override {
    auto* out = static_cast<uint8_t*>(dst);
    for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>((offset + i) * 31 + item);
    return true;
  }
};

uint64_t Fnv(uint64_t h, const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
  return h;
}

struct Tree {
  const char* name;
  std::function<void(ImageBuilder&, const std::string& tmp)> add;
  uint64_t digest;
};

constexpr uint64_t kFileTime = (1577934245ull + 11644473600ull) * 10000000ull;

std::u16string Num(const char16_t* prefix, int i) {
  std::u16string s(prefix);
  for (char c : std::to_string(i)) s.push_back(static_cast<char16_t>(c));
  return s;
}

const std::vector<Tree>& Trees() {
  static const std::vector<Tree> trees = {
      {"one small file", [](ImageBuilder& b, const std::string&) { b.AddItem(u"a.txt", false, 5, kFileTime, 0); },
       0x5a3020e95ac8363cull},
      {"empty", [](ImageBuilder&, const std::string&) {}, 0x355005e8e5a3ccdfull},
      {"collisions, parents and dates",
       [](ImageBuilder& b, const std::string&) {
         b.AddItem(u"A/x", false, 1, std::nullopt, 0);
         b.AddItem(u"A/X", false, 2, std::nullopt, 1);
         b.AddItem(u"x/y/z.bin", false, 3, kFileTime, 2);
         b.AddItem(u"a", true, 0, kFileTime + 70000000, 3);
         b.AddItem(u"dup", false, 4, std::nullopt, 4);
         b.AddItem(u"dup", false, 5, std::nullopt, 5);
         b.AddItem(u"empty.dat", false, 0, kFileTime, 6);
         b.AddItem(u"\u4e00\u4e01/caf\u00e9.txt", false, 7000, kFileTime, 7);
       },
       0xd19fdd771dba81e9ull},
      {"long and hostile names",
       [](ImageBuilder& b, const std::string&) {
         uint32_t i = 0;
         std::u16string deep;
         for (int d = 0; d < 40; ++d) deep += u"deep/";
         for (const std::u16string& p :
              {std::u16string(296, u'n') + u".txt", std::u16string(5000, u'h'), std::u16string(u"semi;colon;1"),
               std::u16string(u"ctl\x01\x1f"), std::u16string(u"nul\0in", 6), std::u16string(u"../z"),
               std::u16string(u"lone\xD800"), deep + u"leaf", std::u16string(u"~0"), std::u16string(u"x~0")})
           b.AddItem(p, false, 10 + i, kFileTime, i), ++i;
         for (int k = 0; k < 300; ++k) b.AddItem(u"many/same", false, 1, std::nullopt, i++);
       },
       0x145a6e84aacd56dcull},
      {"one wide directory",
       [](ImageBuilder& b, const std::string&) {
         for (int k = 0; k < 3000; ++k)
           b.AddItem(Num(u"dir/file number ", k) + u".bin", false, static_cast<uint64_t>(k) * 700, kFileTime + k,
                     static_cast<uint32_t>(k));
       },
       0x7ce22bd1b6f9c328ull},
      {"many directories",
       [](ImageBuilder& b, const std::string&) {
         uint32_t i = 0;
         for (int d = 0; d < 400; ++d)
           for (int k = 0; k < 3; ++k)
             b.AddItem(Num(u"top", d % 7) + u"/" + Num(u"sub", d) + u"/" + Num(u"f", k), false, 100, kFileTime, i++);
       },
       0xbed5d8886753a23full},
      {"large files",
       [](ImageBuilder& b, const std::string&) {
         b.AddItem(u"three", false, 3221225472ull, kFileTime, 0);
         b.AddItem(u"four", false, 4294967306ull, kFileTime, 1);
         b.AddItem(u"small", false, 3, kFileTime, 2);
       },
       0x293d8e1f1e63a87bull},
      {"host files",
       [](ImageBuilder& b, const std::string& tmp) {
         b.AddFileItem(u"h/one", 3000, kFileTime, tmp);
         b.AddFileItem(u"h/two", 0, std::nullopt, tmp);
         b.AddItem(u"h/three", false, 9, kFileTime, 0);
       },
       0x6c58431bf9aa462dull},
  };
  return trees;
}

TEST(ImageBytes, EveryTreeGivesTheImageItAlwaysGave) {
  setenv("TZ", "UTC", 1);
  tzset();
  unsetenv("KV_ANSI_CODEPAGE");
  const std::string tmp = (std::filesystem::temp_directory_path() / "kv_image_bytes_host").string();
  {
    std::ofstream f(tmp, std::ios::binary);
    for (int i = 0; i < 3000; ++i) f.put(static_cast<char>(i * 7));
  }
  ZeroSource source;
  for (const Tree& t : Trees()) {
    ImageBuilder b(&source, [] { return BuildClock{1700000000, 0x1234}; });
    b.SetVolumeIdentifier(u"BYTES TEST");
    t.add(b, tmp);
    ASSERT_EQ(b.Build(), BuildError::kNone) << t.name;
    // File data of the huge items is not the builder's concern here; every other sector counts.
    uint64_t h = 0xcbf29ce484222325ull;
    std::vector<uint8_t> buf(64 * 2048);
    const uint32_t count = b.SectorCount();
    const auto& map = b.Map();
    ASSERT_EQ(map.size(), count);
    for (uint32_t s = 0; s < count;) {
      const uint32_t kind = map[s].word & sk::kMask;
      if ((kind == sk::kItemFirst || kind == sk::kItemNext) && count > 100000) {
        ++s;
        continue;
      }
      uint32_t n = 1;
      while (n < 64 && s + n < count && ((map[s + n].word & sk::kMask) != sk::kItemNext || count <= 100000)) ++n;
      ASSERT_EQ(b.ReadSectors(s, n, buf.data()), n) << t.name << " sector " << s;
      h = Fnv(h, buf.data(), size_t{n} * 2048);
      s += n;
    }
    h = Fnv(h, reinterpret_cast<const uint8_t*>(&count), 4);
    EXPECT_EQ(h, t.digest) << t.name << std::hex << " digest 0x" << h;
  }
  std::filesystem::remove(tmp);
}

// Directory and FID sectors are made from tables of where each sector's first record starts, so
// one read alone, backwards, must give what the whole run gave.
TEST(ImageBytes, MadeSectorsReadAloneMatchTheRun) {
  setenv("TZ", "UTC", 1);
  tzset();
  ZeroSource source;
  for (const Tree& t : Trees()) {
    ImageBuilder b(&source, [] { return BuildClock{1700000000, 0x1234}; });
    t.add(b, "/nonexistent");
    ASSERT_EQ(b.Build(), BuildError::kNone) << t.name;
    const auto& map = b.Map();
    std::vector<uint32_t> made;
    for (uint32_t s = 0; s < map.size(); ++s) {
      const uint32_t kind = map[s].word & sk::kMask;
      if (kind == sk::kIsoDirectory || kind == sk::kJolietDirectory || kind == sk::kFidRun) made.push_back(s);
    }
    ASSERT_GE(made.size(), 3u) << t.name;
    const uint32_t first = made.front(), n = made.back() - made.front() + 1;
    std::vector<uint8_t> run(size_t{n} * 2048), one(2048);
    ASSERT_EQ(b.ReadSectors(first, n, run.data()), n);
    for (auto s = made.rbegin(); s != made.rend(); ++s) {
      ASSERT_EQ(b.ReadSectors(*s, 1, one.data()), 1u);
      ASSERT_EQ(std::memcmp(one.data(), run.data() + size_t{*s - first} * 2048, 2048), 0) << t.name << " " << *s;
    }
  }
}

}  // namespace
}  // namespace kv::service
