// NRG images from the test's own writer: disc-at-once and track-at-once, footers version 1 and
// 2, and chunk lists of every malformed shape.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "formats/nrg/nrg_reader.h"
#include "tests/fixtures/nrg_writer.h"
#include "tests/formats/image_test_support.h"

namespace kv::test {
namespace {

class NrgTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    iso_ = new std::vector<uint8_t>(ReadFileBytes(MakeGenisoimage(*dir_, "-J", "source.iso")));
  }
  static void TearDownTestSuite() {
    delete iso_;
    delete dir_;
  }
  static uint32_t VolumeSpaceSize() {
    const uint8_t* p = iso_->data() + 16 * 2048 + 80;
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
  }
  static MountError Open(std::vector<uint8_t> bytes, std::unique_ptr<ImageSource>* source) {
    Request request(kFormatNrg);
    return OpenBytes(std::move(bytes), request, source);
  }
  static TempDir* dir_;
  static std::vector<uint8_t>* iso_;
};
TempDir* NrgTest::dir_ = nullptr;
std::vector<uint8_t>* NrgTest::iso_ = nullptr;

void PutBe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

TEST_F(NrgTest, EveryLayoutReadsBackTheIso) {
  const struct {
    const char* name;
    NrgOptions options;
  } cases[] = {
      {"v2 disc-at-once", {2, false}},
      {"v1 disc-at-once (CUES as minute-second-frame)", {1, false}},
      {"v2 track-at-once", {2, true}},
      {"v1 track-at-once", {1, true}},
      {"Mode 2 table-of-contents type", {2, false, 0x2001}},
      {"older type byte 0", {1, false, 0x0000}},
      {"chunk list of 4096 bytes", {2, false, 0x0001, 0, 0, 4096}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const NrgImage image = MakeNrg(*iso_, c.options);
    std::unique_ptr<ImageSource> source;
    ASSERT_EQ(Open(image.bytes, &source), kMountOk);
    EXPECT_EQ(source->format(), kFormatNrg);
    EXPECT_EQ(source->sectorCount(), VolumeSpaceSize());
    std::vector<uint8_t> all(uint64_t{source->sectorCount()} * 2048);
    ASSERT_EQ(source->ReadSectors(0, source->sectorCount(), all.data()), source->sectorCount());
    std::vector<uint8_t> expected = *iso_;
    expected.resize(all.size(), 0);
    EXPECT_TRUE(all == expected);
    std::vector<uint8_t> one(2048);
    EXPECT_EQ(source->ReadSectors(source->sectorCount() + 5000, 1, one.data()), 0u);  // outside the track
  }
}

// libcdio reads NRG images on its own: it must see the track our writer describes.
TEST_F(NrgTest, CdInfoReadsTheWritersLayout) {
  for (int version : {1, 2}) {
    for (bool tao : {false, true}) {
      const auto path = *dir_ / ("judge" + std::to_string(version) + (tao ? "tao" : "dao") + ".nrg");
      WriteFileBytes(path, MakeNrg(*iso_, {version, tao}).bytes);
      const CommandResult r = test::Run("cd-info --no-header --no-device-info --no-disc-mode --no-analyze --nrg-file " +
                                        Quote(path.string()));
      SCOPED_TRACE(r.output);
      EXPECT_NE(r.output.find("  1: 00:02:00  000000 data"), std::string::npos);
      // libcdio takes the lead-out of version 1 disc-at-once images from elsewhere than the cue.
      if (version == 2 || tao) {
        char leadOut[32];
        std::snprintf(leadOut, sizeof leadOut, "  %06u leadout", VolumeSpaceSize());
        EXPECT_NE(r.output.find(leadOut), std::string::npos);
      }
    }
  }
}

TEST_F(NrgTest, AnythingButOneWellFormedMode1TrackIsRefused) {
  const NrgImage good = MakeNrg(*iso_, {});
  const size_t size = good.bytes.size();
  using Patch = std::function<void(std::vector<uint8_t>&)>;
  auto listAt = [size](uint64_t offset) {
    return Patch([offset, size](std::vector<uint8_t>& b) {
      for (int i = 0; i < 8; ++i) b[size - 8 + i] = static_cast<uint8_t>(offset >> (56 - 8 * i));
    });
  };
  auto chunkSize = [&good](const char* id, uint32_t value) {
    const size_t at = good.Chunk(id);
    return Patch([at, value](std::vector<uint8_t>& b) { PutBe32(b, at + 4, value); });
  };
  const size_t cuex = good.Chunk("CUEX"), daox = good.Chunk("DAOX"), end = good.Chunk("END!");
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"two tracks", MakeNrg(*iso_, {2, false, 0x0001, 0, 300}).bytes},
      {"audio track", MakeNrg(*iso_, {2, false, 0x0001, 7}).bytes},
      {"Mode 2 track", MakeNrg(*iso_, {2, false, 0x0001, 2}).bytes},
      {"track-at-once Mode 2", MakeNrg(*iso_, {1, true, 0x0001, 3}).bytes},
      {"chunk list of 4097 bytes", MakeNrg(*iso_, {2, false, 0x0001, 0, 0, 4097}).bytes},
      {"raw table-of-contents type", MakeNrg(*iso_, {2, false, 0x0200}).bytes},
      {"unknown table-of-contents type", MakeNrg(*iso_, {2, false, 0x3001}).bytes},
  };
  for (const auto& c : cases) {
    std::unique_ptr<ImageSource> source;
    EXPECT_EQ(Open(c.bytes, &source), kMountUnrecognised) << c.name;
  }
  const std::vector<std::pair<const char*, Patch>> patches = {
      {"no footer", [&](std::vector<uint8_t>& b) { b[size - 12] = 'X'; }},
      {"list offset past the end", listAt(size + 10)},
      {"list offset at the end", listAt(size)},
      {"list offset inside the footer", listAt(size - 6)},
      {"list offset just before the footer (empty list)", listAt(size - 12)},
      {"list offset far inside the data", listAt(1000)},
      {"list offset of 2^63", listAt(uint64_t{1} << 63)},
      {"cue size not a multiple of 8", chunkSize("CUEX", 33)},
      {"cue size zero", chunkSize("CUEX", 0)},
      {"DAO chunk too short", chunkSize("DAOX", 30)},
      {"chunk running past the list", chunkSize("DAOX", 0x7FFFFFFF)},
      {"zero-size chunk", chunkSize("SINF", 0)},
      {"no END!", [end](std::vector<uint8_t>& b) { std::memcpy(b.data() + end, "FILL", 4); }},
      {"first cue entry not at -150", [cuex](std::vector<uint8_t>& b) { PutBe32(b, cuex + 8 + 4, 0); }},
      {"pair within one track", [cuex](std::vector<uint8_t>& b) { b[cuex + 8 + 3 * 8 + 1] = 0x01; }},
      {"descending cue positions", [cuex](std::vector<uint8_t>& b) { PutBe32(b, cuex + 8 + 3 * 8 + 4, 0); }},
      {"mode byte of a Mode 2 track", [daox](std::vector<uint8_t>& b) { b[daox + 44] = 6; }},
      {"truncated to the footer", [&](std::vector<uint8_t>& b) { b.erase(b.begin(), b.end() - 12); }},
      {"list past a truncated file", [&](std::vector<uint8_t>& b) { b.erase(b.begin(), b.begin() + 4096); }},
  };
  for (const auto& [name, patch] : patches) {
    std::vector<uint8_t> bytes = good.bytes;
    patch(bytes);
    std::unique_ptr<ImageSource> source;
    EXPECT_EQ(Open(bytes, &source), kMountUnrecognised) << name;
  }
  for (size_t n : {size_t{0}, size_t{7}, size_t{11}}) {
    std::unique_ptr<ImageSource> source;
    EXPECT_EQ(Open(std::vector<uint8_t>(good.bytes.end() - static_cast<ptrdiff_t>(n), good.bytes.end()), &source),
              kMountUnrecognised)
        << n << " bytes";
  }
}

}  // namespace
}  // namespace kv::test
