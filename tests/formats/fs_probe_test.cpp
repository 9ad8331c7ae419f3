// The file-system probe over crafted sectors: what it records and where it must stop.
#include "formats/fs_probe.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <set>

namespace kv {
namespace {

using Sector = std::array<uint8_t, 2048>;

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// An image as a map of sectors; absent sectors read as zeros, listed ones fail or are skipped.
struct FakeDisc {
  std::map<uint32_t, Sector> sectors;
  std::set<uint32_t> failing;
  std::set<uint32_t> skipped;
  uint32_t reads = 0;

  Sector& At(uint32_t s) {
    auto [it, inserted] = sectors.try_emplace(s);
    if (inserted) it->second.fill(0);
    return it->second;
  }
  SectorReader Reader() {
    return [this](uint32_t s, uint8_t* out) {
      ++reads;
      if (failing.count(s)) return SectorRead::kFailed;
      if (skipped.count(s)) return SectorRead::kSkipped;
      auto it = sectors.find(s);
      if (it == sectors.end())
        std::memset(out, 0, 2048);
      else
        std::memcpy(out, it->second.data(), 2048);
      return SectorRead::kOk;
    };
  }
  ProbeResult Probe() {
    auto r = std::make_unique<ProbeResult>();
    ProbeFileSystem(Reader(), r.get());
    return *r;
  }

  void IsoDescriptor(uint32_t s, uint8_t type) {
    Sector& d = At(s);
    d[0] = type;
    std::memcpy(&d[1], "CD001", 5);
    d[6] = 1;
  }
  void Primary(uint32_t s, uint16_t blockSize, uint32_t volumeSpace, uint32_t root) {
    IsoDescriptor(s, 1);
    Put32(&At(s)[80], volumeSpace);
    Put16(&At(s)[128], blockSize);
    Put32(&At(s)[158], root);
  }
  void Joliet(uint32_t s, uint8_t levelByte) {
    IsoDescriptor(s, 2);
    At(s)[88] = 0x25;
    At(s)[89] = 0x2F;
    At(s)[90] = levelByte;
    Put32(&At(s)[80], 1234);
  }
  void Recognition(uint32_t s, const char* id) {
    std::memcpy(&At(s)[1], id, 5);
    At(s)[6] = 1;
  }
  void Tag(uint32_t s, uint16_t id, uint16_t version = 2, uint32_t location = UINT32_MAX) {
    uint8_t* d = At(s).data();
    Put16(d, id);
    Put16(d + 2, version);
    Put32(d + 12, location == UINT32_MAX ? s : location);
    uint8_t sum = 0;
    for (int k = 0; k < 16; ++k)
      if (k != 4) sum = static_cast<uint8_t>(sum + d[k]);
    d[4] = sum;
  }
  void Anchor(uint32_t mainLocation, uint32_t mainLength) {
    Put32(&At(256)[16], mainLength);
    Put32(&At(256)[20], mainLocation);
    Tag(256, 2);
  }
  void UdfRecognition() {
    Recognition(16, "BEA01");
    Recognition(17, "NSR03");
    Recognition(18, "TEA01");
  }
};

TEST(FsProbe, PrimaryDescriptorWithReadableRootIsAcceptedAtBlockSize2048Only) {
  FakeDisc disc;
  disc.Primary(16, 2048, 500, 20);
  disc.IsoDescriptor(17, 255);
  ProbeResult r = disc.Probe();
  EXPECT_TRUE(r.accepted);
  EXPECT_TRUE(r.iso);
  EXPECT_EQ(r.primaryIndex, 16);
  EXPECT_EQ(r.volumeSpaceSize, 500u);
  EXPECT_EQ(r.primaryDescriptor[0], 1);

  FakeDisc small;
  small.Primary(16, 512, 500, 20);
  r = small.Probe();
  EXPECT_TRUE(r.iso);
  EXPECT_EQ(r.logicalBlockSize, 512);
  EXPECT_FALSE(r.accepted);

  FakeDisc unreadableRoot;
  unreadableRoot.Primary(16, 2048, 500, 20);
  unreadableRoot.failing.insert(20);
  r = unreadableRoot.Probe();
  EXPECT_FALSE(r.iso);
  EXPECT_FALSE(r.accepted);
}

TEST(FsProbe, OnlyTheFirstPrimaryDescriptorCounts) {
  FakeDisc disc;
  disc.Primary(16, 512, 111, 20);
  disc.Primary(17, 2048, 222, 20);
  ProbeResult r = disc.Probe();
  EXPECT_EQ(r.volumeSpaceSize, 111u);
  EXPECT_FALSE(r.accepted);
}

TEST(FsProbe, TerminatorAndFailedReadsEndTheScanButSkippedSectorsDoNot) {
  FakeDisc stop;
  stop.Primary(16, 2048, 500, 20);
  stop.IsoDescriptor(17, 255);
  stop.Joliet(18, 0x45);
  EXPECT_EQ(stop.Probe().jolietLevel, 0);

  FakeDisc failed;
  failed.failing.insert(10);
  failed.Primary(16, 2048, 500, 20);
  EXPECT_FALSE(failed.Probe().iso);

  FakeDisc skipped;
  for (uint32_t s = 0; s < 16; ++s) skipped.skipped.insert(s);
  skipped.Primary(16, 2048, 500, 20);
  EXPECT_TRUE(skipped.Probe().accepted);

  // The scan covers sectors 0 to 49 only.
  FakeDisc late;
  late.Primary(50, 2048, 500, 60);
  EXPECT_FALSE(late.Probe().iso);
  FakeDisc last;
  last.Primary(49, 2048, 500, 60);
  EXPECT_TRUE(last.Probe().iso);
}

TEST(FsProbe, JolietLevelsAndElTorito) {
  const std::pair<uint8_t, int> levels[] = {{0x40, 1}, {0x43, 2}, {0x45, 3}, {0x46, 0}};
  for (auto [byte, level] : levels) {
    FakeDisc disc;
    disc.Primary(16, 2048, 500, 20);
    disc.Joliet(17, byte);
    disc.Joliet(18, 0x40);  // a later one never replaces the first level found
    ProbeResult r = disc.Probe();
    if (level == 0) {
      EXPECT_EQ(r.jolietLevel, 1);  // the first usable one is sector 18
      EXPECT_EQ(r.jolietIndex, 18);
    } else {
      EXPECT_EQ(r.jolietLevel, level);
      EXPECT_EQ(r.jolietIndex, 17);
      EXPECT_EQ(r.jolietVolumeSpaceSize, 1234u);
      EXPECT_EQ(r.jolietDescriptor[0], 2);
    }
  }
  FakeDisc boot;
  boot.IsoDescriptor(17, 0);
  std::memcpy(&boot.At(17)[7], "EL TORITO SPECIFICATION", 23);
  boot.Primary(16, 2048, 500, 20);
  ProbeResult r = boot.Probe();
  EXPECT_TRUE(r.elTorito);
  EXPECT_EQ(r.elToritoIndex, 17);
}

TEST(FsProbe, UdfNeedsRecognitionSequenceAndValidAnchor) {
  FakeDisc good;
  good.UdfRecognition();
  good.Anchor(300, 0);
  ProbeResult r = good.Probe();
  EXPECT_TRUE(r.udf);
  EXPECT_TRUE(r.accepted);
  EXPECT_EQ(r.udfNsrVersion, 3);

  auto variant = [](auto change) {
    FakeDisc d;
    d.UdfRecognition();
    d.Anchor(300, 0);
    change(d);
    return d.Probe().udf;
  };
  EXPECT_TRUE(variant([](FakeDisc& d) { d.Tag(256, 2, 3); }));
  EXPECT_FALSE(variant([](FakeDisc& d) { d.At(256)[4] ^= 1; }));           // checksum
  EXPECT_FALSE(variant([](FakeDisc& d) { d.Tag(256, 2, 2, 257); }));       // location
  EXPECT_FALSE(variant([](FakeDisc& d) { d.Tag(256, 2, 4); }));            // version
  EXPECT_FALSE(variant([](FakeDisc& d) { d.Tag(256, 1); }));               // identifier
  EXPECT_FALSE(variant([](FakeDisc& d) { d.failing.insert(256); }));       // unreadable
  EXPECT_FALSE(variant([](FakeDisc& d) { d.At(17).fill(0); }));            // sequence ends early
  EXPECT_FALSE(variant([](FakeDisc& d) { d.Recognition(17, "TEA01"); }));  // ends before NSR
  EXPECT_FALSE(variant([](FakeDisc& d) { d.failing.insert(17); }));        // read fails
  EXPECT_TRUE(variant([](FakeDisc& d) { d.Recognition(17, "NSR02"); }));
  EXPECT_TRUE(variant([](FakeDisc& d) {
    d.Recognition(17, "CD001");
    d.Recognition(18, "NSR02");
  }));
}

// A main volume descriptor sequence at 300 with a partition descriptor, two logical volume
// descriptors (the later sequence number wins) and a terminating descriptor.
FakeDisc UdfWithMaps() {
  FakeDisc d;
  d.UdfRecognition();
  d.Anchor(300, 16 * 2048);
  Put32(&d.At(300)[188], 1000);
  Put32(&d.At(300)[192], 5000);
  d.Tag(300, 5);
  Put32(&d.At(301)[188], 7777);  // a second partition descriptor is ignored
  d.Tag(301, 5);
  // Logical volume descriptor, sequence number 1, one map.
  Put32(&d.At(302)[16], 1);
  Put32(&d.At(302)[268], 1);
  d.At(302)[440] = 1;
  d.At(302)[441] = 6;
  d.Tag(302, 6);
  // Sequence number 2: type 1, metadata, sparable maps.
  uint8_t* lvd = d.At(303).data();
  Put32(lvd + 16, 2);
  Put32(lvd + 212, 2048);
  Put32(lvd + 268, 3);
  uint8_t* m = lvd + 440;
  m[0] = 1, m[1] = 6;
  Put16(m + 2, 1), Put16(m + 4, 0);
  m += 6;
  m[0] = 2, m[1] = 64;
  std::memcpy(m + 5, "*UDF Metadata Partition", 23);
  Put16(m + 36, 1), Put16(m + 38, 0);
  Put32(m + 40, 10), Put32(m + 44, 20), Put32(m + 48, 30), Put32(m + 52, 32);
  Put16(m + 56, 16);
  m[58] = 1;
  m += 64;
  m[0] = 2, m[1] = 64;
  std::memcpy(m + 5, "*UDF Sparable Partition", 23);
  d.Tag(303, 6);
  d.Tag(304, 8);
  return d;
}

TEST(FsProbe, UdfWalkRecordsPartitionAndMapsOfTheNewestLogicalVolume) {
  FakeDisc d = UdfWithMaps();
  ProbeResult r = d.Probe();
  ASSERT_TRUE(r.udf);
  EXPECT_EQ(r.udfPartitionStart, 1000u);
  EXPECT_EQ(r.udfPartitionLength, 5000u);
  EXPECT_EQ(r.udfLogicalBlockSize, 2048u);
  ASSERT_EQ(r.udfPartitionMapCount, 2u);
  EXPECT_EQ(r.udfPartitionMaps[0].type, 1);
  EXPECT_EQ(r.udfPartitionMaps[0].volumeSequenceNumber, 1);
  const UdfPartitionMap& meta = r.udfPartitionMaps[1];
  EXPECT_TRUE(meta.metadata);
  EXPECT_EQ(meta.metadataFile, 10u);
  EXPECT_EQ(meta.metadataMirrorFile, 20u);
  EXPECT_EQ(meta.metadataBitmapFile, 30u);
  EXPECT_EQ(meta.allocationUnitSize, 32u);
  EXPECT_EQ(meta.alignmentUnitSize, 16);
  EXPECT_TRUE(meta.duplicateMetadata);
}

TEST(FsProbe, UdfWalkStopsAtTerminatorOrBadTagAndFollowsPointersBoundedly) {
  // Descriptors after the terminating descriptor are not read.
  FakeDisc early = UdfWithMaps();
  early.At(302).fill(0);
  early.Tag(302, 8);
  ProbeResult r = early.Probe();
  EXPECT_TRUE(r.udf);
  EXPECT_EQ(r.udfPartitionMapCount, 0u);

  // A descriptor whose tag names another location ends the walk; UDF is still recognised.
  FakeDisc moved = UdfWithMaps();
  moved.Tag(302, 6, 2, 9999);
  r = moved.Probe();
  EXPECT_TRUE(r.udf);
  EXPECT_EQ(r.udfPartitionMapCount, 0u);

  // A volume descriptor pointer continues the sequence in another extent.
  FakeDisc pointed = UdfWithMaps();
  Sector lvd = pointed.At(303);
  pointed.At(302).fill(0);
  Put32(&pointed.At(302)[16], 5);
  Put32(&pointed.At(302)[20], 2048);
  Put32(&pointed.At(302)[24], 400);
  pointed.Tag(302, 3);
  pointed.At(303).fill(0);
  pointed.Tag(303, 8);
  pointed.At(400) = lvd;
  pointed.Tag(400, 6);
  r = pointed.Probe();
  EXPECT_EQ(r.udfPartitionMapCount, 2u);

  // Pointers to themselves and huge extents end within a bound.
  FakeDisc loop;
  loop.UdfRecognition();
  loop.Anchor(300, 0xFFFFFFFF);
  for (uint32_t s = 300; s < 3000; ++s) {
    Put32(&loop.At(s)[16], s);  // rising sequence numbers keep replacing the pointer
    Put32(&loop.At(s)[20], 0xFFFFFFFF);
    Put32(&loop.At(s)[24], 300);
    loop.Tag(s, 3);
  }
  r = loop.Probe();
  EXPECT_TRUE(r.udf);
  EXPECT_LT(loop.reads, 1200u);
}

TEST(FsProbe, PartitionMapsBeyondTheSectorOrWithZeroLengthAreNotRead) {
  FakeDisc d = UdfWithMaps();
  Put32(&d.At(303)[268], 0xFFFFFFFF);
  d.At(303)[440 + 6 + 64 + 1] = 0;  // third map: length 0
  d.Tag(303, 6);
  ProbeResult r = d.Probe();
  EXPECT_EQ(r.udfPartitionMapCount, 2u);

  FakeDisc full = UdfWithMaps();
  Put32(&full.At(303)[268], 1000);
  for (uint32_t pos = 440; pos + 6 <= 2048; pos += 6) {
    full.At(303)[pos] = 1;
    full.At(303)[pos + 1] = 6;
  }
  full.Tag(303, 6);
  r = full.Probe();
  EXPECT_EQ(r.udfPartitionMapCount, 16u);
}

TEST(FsProbe, XboxMediaHeaderAtSector32) {
  auto xbox = [](auto change) {
    FakeDisc d;
    uint8_t* s = d.At(32).data();
    std::memcpy(s, "MICROSOFT*XBOX*MEDIA", 20);
    Put32(s + 20, 33);
    Put32(s + 24, 2048);
    std::memcpy(s + 2028, "MICROSOFT*XBOX*MEDIA", 20);
    change(d);
    ProbeResult r = d.Probe();
    if (!r.udf) {
      EXPECT_EQ(r.xbox, r.accepted);
    }
    return r.xbox;
  };
  EXPECT_TRUE(xbox([](FakeDisc&) {}));
  EXPECT_FALSE(xbox([](FakeDisc& d) { Put32(&d.At(32)[20], 0); }));
  EXPECT_FALSE(xbox([](FakeDisc& d) { Put32(&d.At(32)[24], 0); }));
  EXPECT_FALSE(xbox([](FakeDisc& d) { d.At(32)[2047] = 'x'; }));
  EXPECT_FALSE(xbox([](FakeDisc& d) { d.failing.insert(32); }));
  // Not looked for on a UDF image.
  EXPECT_FALSE(xbox([](FakeDisc& d) {
    d.UdfRecognition();
    d.Anchor(300, 0);
  }));
}

}  // namespace
}  // namespace kv
