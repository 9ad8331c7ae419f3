// ISZ and UIF images mounted in a drive read back their source ISO; a wrong password or a
// damaged block never reads as success.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/driver/driver_fixture.h"
#include "tests/fixtures/block_image_writer.h"
#include "tests/fixtures/raw_image_writer.h"

namespace kv::test {
namespace {

TEST_F(DriverTest, IszAndUifDrivesReadBackTheirSourceIso) {
  const std::vector<uint8_t> iso = ReadFileBytes(MakeIso(dir_, "disc.iso", 1024 * 1024 + 5));
  const uint32_t sectors = static_cast<uint32_t>(iso.size() / 2048);
  IszOptions aes;
  aes.encryption = 3;
  aes.password = "drive password";
  UifOptions raw;
  raw.sectorUnit = 2352;
  WriteFileBytes(dir_ / "disc.isz", WriteIsz(iso, aes));
  WriteFileBytes(dir_ / "disc.uif", WriteUif(WrapAsRawMode1(iso), raw));
  std::vector<uint8_t> damaged = WriteIsz(iso, {});
  damaged[damaged.size() - 100] ^= 0x55;
  WriteFileBytes(dir_ / "damaged.isz", damaged);

  auto mount = [&](int drive, const std::string& name, int32_t format, const std::string& password) {
    std::vector<uint8_t> input = MountInput(NtPathOf((dir_ / name).string()), format);
    std::memcpy(RequestIn(input)->Password, password.data(), password.size());
    NTSTATUS status = 0;
    const uint32_t error = drv().Mount(drive, std::move(input), &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return error;
  };
  EXPECT_EQ(mount(0, "disc.isz", kFormatIsz, "wrong password"), uint32_t{kMountUnrecognised});
  ASSERT_EQ(mount(0, "disc.isz", kFormatIsz, "drive password"), 0u);
  ASSERT_EQ(mount(1, "disc.uif", kFormatUif, ""), 0u);
  for (int drive : {0, 1}) {
    SCOPED_TRACE(drive);
    const Completion all = drv().Read(drive, 0, sectors * 2048);
    ASSERT_EQ(all.status, STATUS_SUCCESS);
    EXPECT_TRUE(all.output == iso);
    const Completion piece = drv().Read(drive, 100 * 2048, 33 * 2048);
    ASSERT_EQ(piece.status, STATUS_SUCCESS);
    EXPECT_TRUE(std::equal(piece.output.begin(), piece.output.end(), iso.begin() + 100 * 2048));
  }

  ASSERT_EQ(mount(2, "damaged.isz", kFormatIsz, ""), 0u);
  EXPECT_EQ(drv().Read(2, 0, sectors * 2048).status, STATUS_DATA_ERROR);
  EXPECT_EQ(drv().Read(2, 16 * 2048, 2048).status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace kv::test
