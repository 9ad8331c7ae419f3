// Standard CD-ROM and disk requests, and reads through the worker.
#include <fcntl.h>
#include <unistd.h>

#include <random>

#include "driver/storage_records.h"
#include "tests/driver/driver_fixture.h"
#include "tests/fixtures/raw_image_writer.h"

namespace kv::test {
namespace {

using driver::RawReadInfo;
using driver::VerifyInformation;

template <class T>
T Get(const Completion& c, size_t at = 0) {
  T v{};
  std::memcpy(&v, c.output.data() + at, sizeof v);
  return v;
}

std::vector<uint8_t> FileRange(const std::filesystem::path& p, uint64_t offset, size_t length) {
  std::vector<uint8_t> out(length);
  const int fd = open(p.c_str(), O_RDONLY);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(pread(fd, out.data(), length, static_cast<off_t>(offset)), static_cast<ssize_t>(length));
  close(fd);
  return out;
}

class MountedDriveTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    iso_ = MakeIso(dir_);
    MountOk(0, iso_);
    capacity_ = std::filesystem::file_size(iso_) / 2048 * 2048;
  }
  std::filesystem::path iso_;
  uint64_t capacity_ = 0;
};

// Every fixed-size answer: exact length, and every smaller output refused.
TEST_F(MountedDriveTest, FixedSizeAnswersAndTheirBufferTooSmallPaths) {
  struct Case {
    uint32_t code;
    uint32_t size;
    uint64_t tooSmallLength;
  };
  const Case cases[] = {
      {IOCTL_CDROM_READ_TOC, 804, 0},
      {IOCTL_CDROM_GET_LAST_SESSION, 12, 12},
      {IOCTL_CDROM_GET_DRIVE_GEOMETRY, 24, 0},
      {IOCTL_DISK_GET_DRIVE_GEOMETRY, 24, 0},
      {IOCTL_DISK_GET_LENGTH_INFO, 8, 0},
      {IOCTL_DISK_GET_PARTITION_INFO, 32, 0},
      {IOCTL_DISK_GET_PARTITION_INFO_EX, 144, 0},
  };
  for (const Case& k : cases) {
    const Completion ok = drv().Control(0, k.code, {}, k.size + 100);
    EXPECT_EQ(ok.status, STATUS_SUCCESS) << std::hex << k.code;
    EXPECT_EQ(ok.information, k.size) << std::hex << k.code;
    EXPECT_EQ(ok.boost, kernel::IO_CD_ROM_INCREMENT);
    for (uint32_t n = 0; n < k.size; ++n) {
      const Completion c = drv().Control(0, k.code, {}, n);
      ASSERT_EQ(c.status, STATUS_BUFFER_TOO_SMALL) << std::hex << k.code << " output " << std::dec << n;
      ASSERT_EQ(c.information, k.tooSmallLength);
      ASSERT_EQ(c.boost, kernel::IO_NO_INCREMENT);
    }
  }
}

TEST_F(MountedDriveTest, GeometryLengthAndPartitions) {
  Completion c = drv().Control(0, IOCTL_DISK_GET_DRIVE_GEOMETRY, {}, 24);
  EXPECT_EQ(Get<int64_t>(c, 0), static_cast<int64_t>(capacity_ / 131072));
  EXPECT_EQ(Get<uint32_t>(c, 8), 11u);
  EXPECT_EQ(Get<uint32_t>(c, 12), 2u);
  EXPECT_EQ(Get<uint32_t>(c, 16), 32u);
  EXPECT_EQ(Get<uint32_t>(c, 20), 2048u);
  c = drv().Control(0, IOCTL_DISK_GET_LENGTH_INFO, {}, 8);
  EXPECT_EQ(Get<uint64_t>(c), capacity_);

  c = drv().Control(0, IOCTL_DISK_GET_PARTITION_INFO, {}, 32);
  EXPECT_EQ(Get<int64_t>(c, 0), 2048);
  EXPECT_EQ(Get<int64_t>(c, 8), static_cast<int64_t>(capacity_) - 2048);
  EXPECT_EQ(Get<uint32_t>(c, 16), 1u);
  EXPECT_EQ(Get<uint32_t>(c, 20), 0u);
  EXPECT_EQ(Get<uint32_t>(c, 24), 0u);

  c = drv().Control(0, IOCTL_DISK_GET_PARTITION_INFO_EX, {}, 144);
  EXPECT_EQ(Get<uint32_t>(c, 0), 0u);
  EXPECT_EQ(Get<int64_t>(c, 8), 2048);
  EXPECT_EQ(Get<int64_t>(c, 16), static_cast<int64_t>(capacity_) - 2048);
  EXPECT_EQ(Get<uint32_t>(c, 24), 0u);
  EXPECT_EQ(Get<uint32_t>(c, 32), 0u) << "type, boot, recognised";
  EXPECT_EQ(Get<uint32_t>(c, 36), 1u) << "hidden sectors";
}

TEST_F(DriverTest, GeometryOfA700MiBMedium) {
  // A small ISO stretched (sparsely) to 700 MiB: the probe finds it, the count comes from the size.
  const auto iso = MakeIso(dir_, "big.iso", 10000);
  std::filesystem::resize_file(iso, 700ull * 1024 * 1024);
  MountOk(3, iso);
  Completion c = drv().Control(3, IOCTL_CDROM_GET_DRIVE_GEOMETRY, {}, 24);
  EXPECT_EQ(Get<int64_t>(c), 5600);
  c = drv().Control(3, IOCTL_DISK_GET_LENGTH_INFO, {}, 8);
  EXPECT_EQ(Get<uint64_t>(c), 700ull * 1024 * 1024);
  // Lead-out of READ_TOC_EX: 358400 + 150 sectors = 79:40:50.
  std::vector<uint8_t> request = {0x80 | 2, 0, 0, 0};
  c = drv().Control(3, IOCTL_CDROM_READ_TOC_EX, request, 804);
  EXPECT_EQ(c.output[17], 79);
  EXPECT_EQ(c.output[18], 40);
  EXPECT_EQ(c.output[19], 50);
}

TEST_F(MountedDriveTest, TocWithoutTrackTable) {
  const Completion c = drv().Control(0, IOCTL_CDROM_READ_TOC, {}, 804);
  std::vector<uint8_t> expected(804, 0);
  expected[2] = 1;
  expected[3] = 1;
  expected[5] = 4;
  EXPECT_EQ(c.output, expected);
}

TEST_F(DriverTest, TocOfAThreeTrackLayout) {
  const auto iso = MakeIso(dir_);
  for (int32_t format : {kFormatAudioDisc, kFormatIso}) {
    std::vector<uint8_t> input = MountInput(NtPathOf(iso.string()), format);
    MountRequest* r = RequestIn(input);
    r->TrackCount = 3;
    const int32_t starts[] = {0, 1000, 2500, 4500};  // the fourth is the lead-out
    for (int i = 0; i < 4; ++i) r->TrackStart[i] = starts[i];
    for (int i = 0; i < 3; ++i) {
      r->TrackMode[i] = format == kFormatAudioDisc ? TRACK_AUDIO : TRACK_MODE1_2048;
      r->TrackLength[i] = starts[i + 1] - starts[i];
      r->TrackSectorSize[i] = format == kFormatAudioDisc ? 2352 : 2048;
      // Every track reads the start of the file: the table of contents does not depend on it.
      r->TrackFileOffset[i] = 0;
      r->TrackFileEnd[i] = static_cast<int64_t>(std::filesystem::file_size(iso));
    }
    NTSTATUS status = 0;
    ASSERT_EQ(drv().Mount(2, input, &status), 0u) << format;
    const Completion c = drv().Control(2, IOCTL_CDROM_READ_TOC, {}, 900);
    ASSERT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.information, 804u);
    EXPECT_EQ(c.output[0], 0);
    EXPECT_EQ(c.output[1], 34);
    EXPECT_EQ(c.output[2], 1);
    EXPECT_EQ(c.output[3], 3);
    const uint8_t control = format == kFormatAudioDisc ? 0 : 4;
    for (int i = 0; i < 4; ++i) {
      const uint8_t* d = c.output.data() + 4 + 8 * i;
      EXPECT_EQ(d[1], 0x10 | control) << i;
      EXPECT_EQ(d[2], i == 3 ? 0xAA : i + 1);
      const int x = starts[i] + 150;
      EXPECT_EQ(d[4], 0);
      EXPECT_EQ(d[5], x / 4500);
      EXPECT_EQ(d[6], (x / 75) % 60);
      EXPECT_EQ(d[7], x % 75);
    }
    for (size_t i = 4 + 8 * 4; i < 804; ++i) ASSERT_EQ(c.output[i], 0) << i;
    EXPECT_EQ(drv().Control(2, IOCTL_CDEMU_UNMOUNT).status, STATUS_SUCCESS);
  }
}

TEST_F(MountedDriveTest, TocExValidation) {
  // Input and output length checks come first, each with its own length.
  Completion c = drv().Control(0, IOCTL_CDROM_READ_TOC_EX, {0x80, 0, 0}, 804);
  EXPECT_EQ(c.status, STATUS_INFO_LENGTH_MISMATCH);
  EXPECT_EQ(c.information, 4u);
  c = drv().Control(0, IOCTL_CDROM_READ_TOC_EX, {0x80, 0, 0, 0}, 803);
  EXPECT_EQ(c.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(c.information, 804u);

  const uint32_t lba = static_cast<uint32_t>(capacity_ / 2048) + 150;
  const std::vector<uint8_t> answer = {0,
                                       8,
                                       1,
                                       1,
                                       0,
                                       4,
                                       1,
                                       0,
                                       0,
                                       0,
                                       2,
                                       0,
                                       0,
                                       4,
                                       0xAA,
                                       0,
                                       0,
                                       static_cast<uint8_t>(lba / 4500),
                                       static_cast<uint8_t>((lba / 75) % 60),
                                       static_cast<uint8_t>(lba % 75)};
  for (int format = 0; format < 16; ++format) {
    for (uint8_t track : {0, 1}) {
      for (uint8_t msf : {0, 0x80}) {
        const bool valid = msf != 0 && (format == 0 || format == 2 || format == 5 ||
                                        ((format == 1 || format == 3 || format == 4) && track == 0));
        c = drv().Control(0, IOCTL_CDROM_READ_TOC_EX, {static_cast<uint8_t>(msf | format), track, 0, 0}, 804);
        if (valid) {
          ASSERT_EQ(c.status, STATUS_SUCCESS) << format << " " << int(track);
          ASSERT_EQ(c.information, 804u);
          ASSERT_TRUE(std::equal(answer.begin(), answer.end(), c.output.begin()));
          ASSERT_TRUE(std::all_of(c.output.begin() + 20, c.output.end(), [](uint8_t b) { return b == 0; }));
        } else {
          ASSERT_EQ(c.status, STATUS_INVALID_PARAMETER) << format << " " << int(track) << " " << int(msf);
          ASSERT_EQ(c.information, 0u);
        }
      }
    }
  }
  // Reserved bits and bytes.
  for (std::vector<uint8_t> bad :
       {std::vector<uint8_t>{0x90, 0, 0, 0}, {0xC0, 0, 0, 0}, {0x80, 0, 1, 0}, {0x80, 0, 0, 0x80}}) {
    EXPECT_EQ(drv().Control(0, IOCTL_CDROM_READ_TOC_EX, bad, 804).status, STATUS_INVALID_PARAMETER);
  }
}

TEST_F(MountedDriveTest, LastSessionVerifyAndTheFixedAnswers) {
  Completion c = drv().Control(0, IOCTL_CDROM_GET_LAST_SESSION, {}, 12);
  EXPECT_EQ(c.output, (std::vector<uint8_t>{0, 8, 1, 1, 0, 4, 1, 0, 0, 0, 2, 0}));

  VerifyInformation v{};
  v.StartingOffset = 4096;
  v.Length = 12;
  std::vector<uint8_t> in(sizeof v);
  std::memcpy(in.data(), &v, sizeof v);
  c = drv().Control(0, IOCTL_DISK_VERIFY, in, 64);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(c.information, 12u);
  in.pop_back();
  EXPECT_EQ(drv().Control(0, IOCTL_DISK_VERIFY, in, 64).status, STATUS_INVALID_PARAMETER);

  for (uint32_t code : {IOCTL_CDROM_CHECK_VERIFY, IOCTL_DISK_CHECK_VERIFY, IOCTL_STORAGE_CHECK_VERIFY,
                        IOCTL_STORAGE_CHECK_VERIFY2, IOCTL_DISK_MEDIA_REMOVAL, IOCTL_STORAGE_MEDIA_REMOVAL}) {
    c = drv().Control(0, code, {}, 0);
    EXPECT_EQ(c.status, STATUS_SUCCESS) << std::hex << code;
    EXPECT_EQ(c.information, 0u);
  }
  for (uint32_t code : {IOCTL_DISK_IS_WRITABLE, IOCTL_DISK_SET_PARTITION_INFO}) {
    EXPECT_EQ(drv().Control(0, code, std::vector<uint8_t>(64), 64).status, STATUS_MEDIA_WRITE_PROTECTED);
  }
  for (uint32_t code : {0x2D1400u, 0x70050u, 0x80002044u, 0x80003000u}) {
    EXPECT_EQ(drv().Control(0, code, {}, 64).status, STATUS_INVALID_DEVICE_REQUEST) << std::hex << code;
  }
  // Raw reads of a 2048-byte image are refused at dispatch.
  c = drv().Control(0, IOCTL_CDROM_RAW_READ, std::vector<uint8_t>(16), 2352);
  EXPECT_EQ(c.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(c.returned, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(MountedDriveTest, ReadsMatchTheImageFile) {
  const uint32_t sectors = static_cast<uint32_t>(capacity_ / 2048);
  std::mt19937 rng(99);
  for (int i = 0; i < 200; ++i) {
    const uint32_t first = rng() % sectors;
    const uint32_t count = 1 + rng() % std::min<uint32_t>(40, sectors - first);
    const Completion c = drv().Read(0, uint64_t{first} * 2048, count * 2048);
    ASSERT_EQ(c.returned, STATUS_PENDING);
    ASSERT_EQ(c.status, STATUS_SUCCESS) << first << "+" << count;
    ASSERT_EQ(c.information, count * 2048u);
    ASSERT_EQ(c.boost, kernel::IO_CD_ROM_INCREMENT);
    ASSERT_EQ(c.output, FileRange(iso_, uint64_t{first} * 2048, count * 2048)) << first << "+" << count;
  }
  // The whole medium in one request.
  const Completion all = drv().Read(0, 0, sectors * 2048);
  EXPECT_EQ(all.status, STATUS_SUCCESS);
  EXPECT_EQ(all.output, FileRange(iso_, 0, sectors * 2048));
}

TEST_F(MountedDriveTest, ReadEdgesAndWrites) {
  const uint32_t sectors = static_cast<uint32_t>(capacity_ / 2048);
  Completion c = drv().Read(0, 4096, 0);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(c.information, 0u);
  EXPECT_NE(c.returned, STATUS_PENDING);
  // Across and past the end of the medium.
  c = drv().Read(0, uint64_t{sectors - 1} * 2048, 4096);
  EXPECT_EQ(c.status, STATUS_DATA_ERROR);
  EXPECT_EQ(c.information, 0u);
  EXPECT_EQ(c.boost, kernel::IO_NO_INCREMENT);
  EXPECT_EQ(drv().Read(0, uint64_t{sectors + 10} * 2048, 2048).status, STATUS_DATA_ERROR);
  // Partial sectors are refused rather than reported as read.
  EXPECT_EQ(drv().Read(0, 100, 2048).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(drv().Read(0, 0, 100).status, STATUS_INVALID_PARAMETER);
  // Writes.
  c = drv().Send(0, ReadIrp(0, 2048, kernel::MajorFunction::Write));
  EXPECT_EQ(c.returned, STATUS_PENDING);
  EXPECT_EQ(c.status, STATUS_INVALID_PARAMETER);
  c = drv().Send(0, ReadIrp(0, 0, kernel::MajorFunction::Write));
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(c.information, 0u);
  // The drive still reads afterwards.
  EXPECT_EQ(drv().Read(0, 16 * 2048, 2048).status, STATUS_SUCCESS);
}

TEST_F(DriverTest, RawReadsOfA2352ByteImage) {
  const auto iso = MakeIso(dir_, "raw.iso", 300000);
  const auto bin = MakeRawFromIso(dir_, iso);
  NTSTATUS status = 0;
  ASSERT_EQ(drv().Mount(1, MountInput(NtPathOf(bin.string()), kFormatBin, 2352, 16), &status), 0u);
  const uint32_t sectors = static_cast<uint32_t>(std::filesystem::file_size(bin) / 2352);
  auto rawRequest = [](int64_t offset, uint32_t count) {
    RawReadInfo info{offset, count, 2};
    std::vector<uint8_t> in(sizeof info);
    std::memcpy(in.data(), &info, sizeof info);
    return in;
  };
  // User data comes from offset 16 of each raw sector.
  Completion c = drv().Read(1, 16 * 2048, 4096);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(c.output, FileRange(iso, 16 * 2048, 4096));

  c = drv().Control(1, IOCTL_CDROM_RAW_READ, rawRequest(16 * 2048 + 2047, 3), 3 * 2352);
  EXPECT_EQ(c.returned, STATUS_PENDING);
  ASSERT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(c.information, 3u * 2352);
  EXPECT_EQ(c.output, FileRange(bin, 16 * 2352, 3 * 2352));

  std::vector<uint8_t> longer = rawRequest(0, 1);
  longer.push_back(0);
  EXPECT_EQ(drv().Control(1, IOCTL_CDROM_RAW_READ, longer, 2352).status, STATUS_INVALID_PARAMETER);
  longer.resize(15);
  EXPECT_EQ(drv().Control(1, IOCTL_CDROM_RAW_READ, longer, 2352).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(drv().Control(1, IOCTL_CDROM_RAW_READ, rawRequest(0, 0), 2352).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(drv().Control(1, IOCTL_CDROM_RAW_READ, rawRequest(0, 2), 2 * 2352 - 1).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(drv().Control(1, IOCTL_CDROM_RAW_READ, rawRequest(-2048, 1), 2352).status, STATUS_INVALID_PARAMETER);
  c = drv().Control(1, IOCTL_CDROM_RAW_READ, rawRequest(int64_t{sectors - 1} * 2048, 2), 2 * 2352);
  EXPECT_EQ(c.status, STATUS_DATA_ERROR);
  EXPECT_EQ(c.information, 0u);
}

// A data track stored as raw Mode 1 sectors and an audio track with a stored pregap, mounted
// with their layout: the table of contents and raw reads of every region through the drive.
TEST_F(DriverTest, MultiTrackLayoutMountsWithItsTocAndRawSectors) {
  const auto iso = MakeIso(dir_, "data.iso", 200000);
  const std::vector<uint8_t> data = ReadFileBytes(iso);
  std::vector<uint8_t> bin = WrapAsRawMode1(data);
  const int32_t dataSectors = static_cast<int32_t>(bin.size() / 2352);
  const std::vector<uint8_t> audio = PatternBytes(size_t{100} * 2352, 9);  // 30 pregap + 70 data sectors
  bin.insert(bin.end(), audio.begin(), audio.end());
  const auto path = dir_ / "mixed.bin";
  WriteFileBytes(path, bin);

  std::vector<uint8_t> input = MountInput(NtPathOf(path.string()), kFormatBin, 2352, 16);
  MountRequest* r = RequestIn(input);
  r->TrackCount = 2;
  r->TrackMode[0] = TRACK_MODE1_RAW;
  r->TrackStart[0] = 0;
  r->TrackPregap[0] = 150;  // not in the file: generated
  r->TrackLength[0] = dataSectors;
  r->TrackSectorSize[0] = 2352;
  r->TrackFileEnd[0] = int64_t{dataSectors} * 2352;
  r->TrackMode[1] = TRACK_AUDIO;
  r->TrackStart[1] = dataSectors + 30;
  r->TrackPregap[1] = r->TrackPregapInFile[1] = 30;
  r->TrackLength[1] = 70;
  r->TrackSectorSize[1] = 2352;
  r->TrackFileOffset[1] = int64_t{dataSectors + 30} * 2352;
  r->TrackFileEnd[1] = static_cast<int64_t>(bin.size());
  r->TrackStart[2] = dataSectors + 100;
  NTSTATUS status = 0;
  ASSERT_EQ(drv().Mount(3, input, &status), 0u);

  const Completion toc = drv().Control(3, IOCTL_CDROM_READ_TOC, {}, 804);
  ASSERT_EQ(toc.status, STATUS_SUCCESS);
  EXPECT_EQ(toc.output[3], 2);
  const int32_t expectedStart[] = {0, dataSectors + 30, dataSectors + 100};
  const uint8_t expectedControl[] = {0x14, 0x10, 0x14};
  for (int i = 0; i < 3; ++i) {
    const uint8_t* d = toc.output.data() + 4 + 8 * i;
    EXPECT_EQ(d[1], expectedControl[i]) << i;
    EXPECT_EQ(d[2], i == 2 ? 0xAA : i + 1);
    EXPECT_EQ((d[5] * 60 + d[6]) * 75 + d[7] - 150, expectedStart[i]) << i;
  }

  auto rawRead = [&](int64_t sector, uint32_t count) {
    RawReadInfo info{sector * 2048, count, 2};
    std::vector<uint8_t> in(sizeof info);
    std::memcpy(in.data(), &info, sizeof info);
    return drv().Control(3, IOCTL_CDROM_RAW_READ, in, count * 2352);
  };
  // The generated pregap: sector -150 is 00:00:00, and its EDC and parity are those of the
  // independent writer's empty sector.
  Completion c = rawRead(-150, 2);
  ASSERT_EQ(c.status, STATUS_SUCCESS);
  std::vector<uint8_t> empty(2352);
  const std::vector<uint8_t> zeros(2048, 0);
  BuildMode1Sector(0, zeros.data(), empty.data());
  empty[12] = empty[13] = empty[14] = 0;  // address 00:00:00 instead of 00:02:00
  std::vector<uint8_t> first(c.output.begin(), c.output.begin() + 2352);
  EXPECT_EQ(std::vector<uint8_t>(first.begin(), first.begin() + 16),
            std::vector<uint8_t>(empty.begin(), empty.begin() + 16));
  EXPECT_EQ(std::vector<uint8_t>(first.begin() + 16, first.begin() + 2064), zeros);
  // Stored sectors come back byte for byte, across the track boundary and the stored pregap.
  c = rawRead(dataSectors - 3, 40);
  ASSERT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_TRUE(c.output == std::vector<uint8_t>(bin.end() - 103 * 2352, bin.end() - 63 * 2352));
  EXPECT_EQ(rawRead(-151, 1).status, STATUS_DATA_ERROR);
  EXPECT_EQ(rawRead(dataSectors + 99, 2).status, STATUS_DATA_ERROR);
  // User data still comes from offset 16 of the stored sectors.
  c = drv().Read(3, 16 * 2048, 2048);
  EXPECT_EQ(c.output, std::vector<uint8_t>(data.begin() + 16 * 2048, data.begin() + 17 * 2048));
}

// A track stored with 2048-byte sectors returns raw sectors equal to the independent writer's.
TEST_F(DriverTest, RawReadsOfA2048ByteTrackAreBuiltMode1Sectors) {
  const auto iso = MakeIso(dir_, "cooked.iso", 100000);
  const std::vector<uint8_t> data = ReadFileBytes(iso);
  const int32_t sectors = static_cast<int32_t>(data.size() / 2048);
  std::vector<uint8_t> input = MountInput(NtPathOf(iso.string()), kFormatIso);
  MountRequest* r = RequestIn(input);
  r->TrackCount = 1;
  r->TrackMode[0] = TRACK_MODE1_2048;
  r->TrackLength[0] = sectors;
  r->TrackSectorSize[0] = 2048;
  r->TrackFileEnd[0] = static_cast<int64_t>(data.size());
  r->TrackStart[1] = sectors;
  NTSTATUS status = 0;
  ASSERT_EQ(drv().Mount(4, input, &status), 0u);
  RawReadInfo info{0, static_cast<uint32_t>(sectors), 2};
  std::vector<uint8_t> in(sizeof info);
  std::memcpy(in.data(), &info, sizeof info);
  const Completion c = drv().Control(4, IOCTL_CDROM_RAW_READ, in, static_cast<uint32_t>(sectors) * 2352);
  ASSERT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_TRUE(c.output == WrapAsRawMode1(data));
}

}  // namespace
}  // namespace kv::test
