// The raw sector fixture against the published all-zero Mode 1 sector.
#include "tests/fixtures/raw_image_writer.h"

#include <gtest/gtest.h>

#include <vector>

namespace kv {
namespace {

TEST(RawImageWriter, ZeroMode1SectorAtLba0MatchesTheKnownVector) {
  const std::vector<uint8_t> user(2048, 0);
  std::vector<uint8_t> s(2352);
  test::BuildMode1Sector(0, user.data(), s.data());
  const std::vector<uint8_t> head = {0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                     0xFF, 0xFF, 0xFF, 0,    0x00, 0x02, 0x00, 1};
  EXPECT_TRUE(std::equal(head.begin(), head.end(), s.begin()));
  EXPECT_EQ(std::vector<uint8_t>(s.begin() + 2064, s.begin() + 2068), (std::vector<uint8_t>{0xc5, 0x13, 0x68, 0x2b}));
  EXPECT_EQ(std::vector<uint8_t>(s.begin() + 2076, s.begin() + 2084),
            (std::vector<uint8_t>{0x00, 0xf7, 0x00, 0xf5, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(std::vector<uint8_t>(s.begin() + 2248, s.begin() + 2250), (std::vector<uint8_t>{0x00, 0x41}));
  EXPECT_EQ(std::vector<uint8_t>(s.end() - 8, s.end()), (std::vector<uint8_t>{0, 0, 0, 0x90, 0, 0xc1, 0, 0x12}));
}

TEST(RawImageWriter, AddressesAreBcdMinuteSecondFrameOfLbaPlus150) {
  const std::vector<uint8_t> image(2048 * 3 + 5, 0x11);
  const auto raw = test::WrapAsRawMode1(image);
  ASSERT_EQ(raw.size(), 4u * 2352);
  EXPECT_EQ(raw[2352 * 3 + 16 + 4], 0x11);
  EXPECT_EQ(raw[2352 * 3 + 16 + 5], 0);  // padding of the partial last sector
  // LBA 3 -> address 153 = 00:02:03.
  EXPECT_EQ(raw[2352 * 3 + 12], 0x00);
  EXPECT_EQ(raw[2352 * 3 + 13], 0x02);
  EXPECT_EQ(raw[2352 * 3 + 14], 0x03);
  std::vector<uint8_t> s(2352);
  const std::vector<uint8_t> user(2048, 0);
  test::BuildMode1Sector(12 * 4500 + 59 * 75 + 74 - 150, user.data(), s.data());  // 12:59:74
  EXPECT_EQ(s[12], 0x12);
  EXPECT_EQ(s[13], 0x59);
  EXPECT_EQ(s[14], 0x74);
}

}  // namespace
}  // namespace kv
