// The driver's own control codes, the gate, and image mounts.
#include <sys/stat.h>

#include <thread>

#include "tests/driver/driver_fixture.h"

namespace kv::test {
namespace {

uint32_t U32(const Completion& c, size_t at = 0) {
  uint32_t v = 0;
  std::memcpy(&v, c.output.data() + at, 4);
  return v;
}

std::vector<uint8_t> Bytes32(uint32_t v) {
  std::vector<uint8_t> b(4);
  std::memcpy(b.data(), &v, 4);
  return b;
}

const uint32_t kStandardCodes[] = {IOCTL_CDROM_READ_TOC,
                                   IOCTL_CDROM_READ_TOC_EX,
                                   IOCTL_CDROM_GET_LAST_SESSION,
                                   IOCTL_CDROM_RAW_READ,
                                   IOCTL_CDROM_GET_DRIVE_GEOMETRY,
                                   IOCTL_DISK_GET_DRIVE_GEOMETRY,
                                   IOCTL_DISK_GET_LENGTH_INFO,
                                   IOCTL_DISK_GET_PARTITION_INFO,
                                   IOCTL_DISK_GET_PARTITION_INFO_EX,
                                   IOCTL_DISK_VERIFY,
                                   IOCTL_CDROM_CHECK_VERIFY,
                                   IOCTL_DISK_CHECK_VERIFY,
                                   IOCTL_STORAGE_CHECK_VERIFY,
                                   IOCTL_STORAGE_CHECK_VERIFY2,
                                   IOCTL_DISK_MEDIA_REMOVAL,
                                   IOCTL_STORAGE_MEDIA_REMOVAL,
                                   IOCTL_DISK_IS_WRITABLE,
                                   IOCTL_DISK_SET_PARTITION_INFO,
                                   0x2D1400 /* an unknown storage code */};

TEST_F(DriverTest, CreateAndCloseSucceedWithInformationOne) {
  for (auto major : {kernel::MajorFunction::Create, kernel::MajorFunction::Close}) {
    auto irp = std::make_unique<kernel::Irp>();
    irp->major = major;
    const Completion c = drv().Send(3, std::move(irp));
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.information, 1u);
    EXPECT_EQ(c.boost, kernel::IO_CD_ROM_INCREMENT);
    EXPECT_EQ(c.completions, 1);
  }
}

TEST_F(DriverTest, GateRefusesEverythingButTheDriversOwnCodesWithoutMedium) {
  for (uint32_t code : kStandardCodes) {
    const Completion c = drv().Control(0, code, std::vector<uint8_t>(64), 4096);
    EXPECT_EQ(c.status, STATUS_NO_MEDIA_IN_DEVICE) << std::hex << code;
    EXPECT_EQ(c.information, 0u);
    EXPECT_EQ(c.boost, kernel::IO_NO_INCREMENT);
  }
  for (uint32_t code : {IOCTL_CDEMU_RESERVED_MEDIA_1, IOCTL_CDEMU_RESERVED_MEDIA_2, 0x80002044u, 0x80003000u}) {
    EXPECT_EQ(drv().Control(0, code, {}, 8).status, STATUS_NO_MEDIA_IN_DEVICE) << std::hex << code;
  }
  EXPECT_EQ(drv().Read(0, 0, 2048).status, STATUS_NO_MEDIA_IN_DEVICE);
  EXPECT_EQ(drv().Send(0, ReadIrp(0, 2048, kernel::MajorFunction::Write)).status, STATUS_NO_MEDIA_IN_DEVICE);
  // Every code from 0x80002000 to 0x80002040 passes the gate.
  for (uint32_t code = kCdemuFirstCode; code <= kCdemuLastCode; code += 4) {
    if (code == IOCTL_CDEMU_MOUNT_IMAGE) continue;
    const Completion c = drv().Control(0, code, std::vector<uint8_t>(8, 'E'), 8);
    EXPECT_NE(c.status, STATUS_NO_MEDIA_IN_DEVICE) << std::hex << code;
    EXPECT_EQ(c.completions, 1);
  }
  drv().Control(0, IOCTL_CDEMU_DELETE_DRIVE_LETTER, {}, 4);
}

TEST_F(DriverTest, VersionAndUserValues) {
  Completion c = drv().Control(5, IOCTL_CDEMU_GET_VERSION, {}, 4);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(c.information, 4u);
  EXPECT_EQ(U32(c), 43u);
  c = drv().Control(5, IOCTL_CDEMU_GET_VERSION, {}, 3);
  EXPECT_EQ(c.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(c.information, 0u);

  // Shared by all drives, zero after load.
  EXPECT_EQ(U32(drv().Control(1, IOCTL_CDEMU_GET_USER_VALUE1, {}, 4)), 0u);
  c = drv().Control(1, IOCTL_CDEMU_SET_USER_VALUE1, Bytes32(0xA1B2C3D4), 0);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(c.information, 0u);
  c = drv().Control(2, IOCTL_CDEMU_SET_USER_VALUE2, {1, 2, 3, 4, 5}, 0);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(U32(drv().Control(22, IOCTL_CDEMU_GET_USER_VALUE1, {}, 4)), 0xA1B2C3D4u);
  EXPECT_EQ(U32(drv().Control(0, IOCTL_CDEMU_GET_USER_VALUE2, {}, 8)), 0x04030201u);
  EXPECT_EQ(drv().Control(0, IOCTL_CDEMU_SET_USER_VALUE1, {1, 2, 3}, 0).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(drv().Control(0, IOCTL_CDEMU_GET_USER_VALUE2, {}, 3).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(U32(drv().Control(0, IOCTL_CDEMU_GET_USER_VALUE1, {}, 4)), 0xA1B2C3D4u);

  // A fresh load starts again at zero.
  driver_.reset();
  driver_.emplace();
  EXPECT_EQ(U32(drv().Control(0, IOCTL_CDEMU_GET_USER_VALUE1, {}, 4)), 0u);
}

TEST_F(DriverTest, UnknownCodesAreInvalidRequests) {
  for (uint32_t code : {0x8000202Cu, 0x80002001u, 0x80002003u}) {
    const Completion c = drv().Control(4, code, std::vector<uint8_t>(kMountRequestMinSize), 16);
    EXPECT_EQ(c.status, STATUS_INVALID_DEVICE_REQUEST) << std::hex << code;
    EXPECT_EQ(c.information, 0u);
  }
}

TEST_F(DriverTest, QueryOfAnEmptyDrive) {
  Completion c = drv().Control(0, IOCTL_CDEMU_QUERY_MOUNT, {}, kDriveStatusQuerySize);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(c.information, kDriveStatusFixedSize);
  uint16_t nameLength = 0xFFFF;
  std::memcpy(&nameLength, c.output.data() + offsetof(DriveStatus, NameLength), 2);
  EXPECT_EQ(nameLength, 0);
  EXPECT_EQ(c.output[offsetof(DriveStatus, Present)], 0) << "written only while mounted";
  c = drv().Control(0, IOCTL_CDEMU_QUERY_MOUNT, {}, kDriveStatusFixedSize - 1);
  EXPECT_EQ(c.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(c.information, 0u);
}

TEST_F(DriverTest, UnmountOfAnEmptyDriveSucceeds) {
  const Completion c = drv().Control(7, IOCTL_CDEMU_UNMOUNT);
  EXPECT_EQ(c.returned, STATUS_PENDING);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(c.information, 0u);
  EXPECT_EQ(c.boost, kernel::IO_CD_ROM_INCREMENT);
}

TEST_F(DriverTest, MountRequestLengthChecks) {
  const auto missing = dir_ / "missing.iso";
  std::vector<uint8_t> input = MountInput(NtPathOf(missing.string()));
  const uint16_t nameLength = RequestIn(input)->NameLength;
  // One byte below 5319 + NameLength.
  std::vector<uint8_t> shortInput(input.begin(), input.begin() + kMountRequestFixedSize + nameLength);
  Completion c = drv().Control(0, IOCTL_CDEMU_MOUNT_IMAGE, shortInput, 4);
  EXPECT_EQ(c.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(c.returned, STATUS_INVALID_PARAMETER);
  // Exactly 5319 + NameLength reaches the worker.
  shortInput.push_back(0);
  EXPECT_EQ(drv().Mount(0, shortInput), static_cast<uint32_t>(kMountFileNotFound));
  // Below the minimum of 5320 whatever the name length says.
  std::vector<uint8_t> tiny = MountInput(u"");
  tiny.pop_back();
  EXPECT_EQ(drv().Control(0, IOCTL_CDEMU_MOUNT_IMAGE, tiny, 4).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(drv().Control(0, IOCTL_CDEMU_MOUNT_IMAGE, {}, 4).status, STATUS_INVALID_PARAMETER);
  // 5320 bytes hold a name of one byte: accepted (no path, so the open fails). A name of two bytes
  // needs 5321: the length rule wins over keeping the name's NUL optional.
  std::vector<uint8_t> minimal = MountInput(u"x");
  minimal.resize(kMountRequestMinSize);
  RequestIn(minimal)->NameLength = 1;
  EXPECT_EQ(drv().Mount(0, minimal), static_cast<uint32_t>(kMountOpenFailed));
  RequestIn(minimal)->NameLength = 2;
  EXPECT_EQ(drv().Control(0, IOCTL_CDEMU_MOUNT_IMAGE, minimal, 4).status, STATUS_INVALID_PARAMETER);
}

TEST_F(DriverTest, MountFailuresAnswerMountErrors) {
  const auto iso = MakeIso(dir_);
  EXPECT_EQ(drv().Mount(1, MountInput(NtPathOf((dir_ / "nothing.iso").string()))), 12u);
  EXPECT_EQ(drv().Mount(1, MountInput(NtPathOf((dir_ / "no-dir" / "x.iso").string()))), 13u);
  EXPECT_EQ(drv().Mount(1, MountInput(NtPathOf(dir_.path().string()))), 13u);
  EXPECT_EQ(drv().Mount(1, MountInput(u"\\??\\UNC\\server\\share\\x.iso")), 13u);
  EXPECT_EQ(drv().Mount(1, MountInput(NtPathOf(iso.string()), kFormatDmg)), 8u);
  EXPECT_EQ(drv().Mount(1, MountInput(NtPathOf(iso.string()), kFormatMzp)), 8u);
  const auto text = dir_ / "notes.txt";
  WriteFileBytes(text, PatternBytes(100000, 3));
  EXPECT_EQ(drv().Mount(1, MountInput(NtPathOf(text.string()))), 8u);
  // Without room for the word a failure is not reported as success.
  const Completion c = drv().Control(1, IOCTL_CDEMU_MOUNT_IMAGE, MountInput(NtPathOf(text.string())), 0);
  EXPECT_EQ(c.status, STATUS_BUFFER_TOO_SMALL);
  // None of it left a medium behind.
  EXPECT_EQ(drv().Control(1, IOCTL_CDEMU_QUERY_MOUNT, {}, kDriveStatusQuerySize).information, kDriveStatusFixedSize);
  EXPECT_EQ(drv().Control(1, IOCTL_DISK_GET_LENGTH_INFO, {}, 8).status, STATUS_NO_MEDIA_IN_DEVICE);
}

TEST_F(DriverTest, MountOpensWithTheRequestorsRights) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const auto iso = MakeIso(dir_);
  ASSERT_EQ(chmod(iso.c_str(), 0600), 0);
  auto irp = ControlIrp(IOCTL_CDEMU_MOUNT_IMAGE, MountInput(NtPathOf(iso.string())), 4);
  irp->requestor.uid = 65534;
  irp->requestor.gid = 65534;
  Completion c = drv().Send(2, std::move(irp));
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(U32(c), 13u) << "a file the client may not read";
  // The worker is itself again afterwards: the owner mounts it.
  MountOk(2, iso);
}

TEST_F(DriverTest, MountQueryAndUnmount) {
  const auto iso = MakeIso(dir_);
  const auto size = std::filesystem::file_size(iso);
  const std::u16string name = NtPathOf(iso.string());
  Completion c = drv().Control(6, IOCTL_CDEMU_MOUNT_IMAGE, MountInput(name), 4);
  EXPECT_EQ(c.returned, STATUS_PENDING);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(c.information, 0u);
  EXPECT_EQ(c.boost, kernel::IO_CD_ROM_INCREMENT);

  const uint32_t answer = kDriveStatusFixedSize + name.size() * 2;
  c = drv().Control(6, IOCTL_CDEMU_QUERY_MOUNT, {}, answer - 1);
  EXPECT_EQ(c.status, STATUS_BUFFER_TOO_SMALL);
  c = drv().Control(6, IOCTL_CDEMU_QUERY_MOUNT, {}, answer);
  ASSERT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(c.information, answer);
  uint64_t sizeBytes = 0;
  std::memcpy(&sizeBytes, c.output.data(), 8);
  EXPECT_EQ(sizeBytes, size / 2048 * 2048);
  EXPECT_EQ(c.output[8], 1);
  EXPECT_EQ(std::memcmp(c.output.data() + 5318, name.data(), name.size() * 2), 0);

  // A second mount is refused at dispatch.
  c = drv().Control(6, IOCTL_CDEMU_MOUNT_IMAGE, MountInput(name), 4);
  EXPECT_EQ(c.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(c.returned, STATUS_INVALID_DEVICE_REQUEST);

  c = drv().Control(6, IOCTL_CDEMU_UNMOUNT);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  c = drv().Control(6, IOCTL_CDEMU_QUERY_MOUNT, {}, kDriveStatusQuerySizeLarge);
  EXPECT_EQ(c.information, kDriveStatusFixedSize);
  EXPECT_EQ(drv().Read(6, 0, 2048).status, STATUS_NO_MEDIA_IN_DEVICE);
  MountOk(6, iso);
}

TEST_F(DriverTest, MountQueuedBehindAnotherIsRefusedByTheWorker) {
  const auto iso = MakeIso(dir_);
  const auto input = MountInput(NtPathOf(iso.string()));
  bool sawWorkerRefusal = false;
  for (int attempt = 0; attempt < 50 && !sawWorkerRefusal; ++attempt) {
    PendingRequest first(LoadedDriver::Device(9), ControlIrp(IOCTL_CDEMU_MOUNT_IMAGE, input, 4));
    PendingRequest second(LoadedDriver::Device(9), ControlIrp(IOCTL_CDEMU_MOUNT_IMAGE, input, 4));
    Completion a, b;
    ASSERT_TRUE(first.Wait(&a));
    ASSERT_TRUE(second.Wait(&b));
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(a.information, 0u);
    EXPECT_EQ(b.status, STATUS_INVALID_DEVICE_REQUEST);
    sawWorkerRefusal = b.returned == STATUS_PENDING;
    EXPECT_EQ(drv().Control(9, IOCTL_CDEMU_UNMOUNT).status, STATUS_SUCCESS);
  }
  EXPECT_TRUE(sawWorkerRefusal) << "the second mount never got past dispatch";
}

TEST_F(DriverTest, ReservedCodes) {
  // Queued in any state, refused by the worker.
  for (uint32_t code : {IOCTL_CDEMU_RESERVED_1, IOCTL_CDEMU_RESERVED_2}) {
    const Completion c = drv().Control(0, code, {1, 2, 3, 4}, 4);
    EXPECT_EQ(c.returned, STATUS_PENDING);
    EXPECT_EQ(c.status, STATUS_DRIVER_INTERNAL_ERROR);
    EXPECT_EQ(c.information, 0u);
  }
  MountOk(0, MakeIso(dir_));
  for (uint32_t code : {IOCTL_CDEMU_RESERVED_1, IOCTL_CDEMU_RESERVED_2}) {
    EXPECT_EQ(drv().Control(0, code, {}, 4).status, STATUS_DRIVER_INTERNAL_ERROR);
  }
  // The first of 0x80002080/0x80002084 goes to the worker and marks the drive.
  Completion c = drv().Control(0, IOCTL_CDEMU_RESERVED_MEDIA_1, {}, 4);
  EXPECT_EQ(c.returned, STATUS_PENDING);
  EXPECT_EQ(c.status, STATUS_DRIVER_INTERNAL_ERROR);
  c = drv().Control(0, IOCTL_CDEMU_RESERVED_MEDIA_1, {}, 4);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(c.information, 4u);
  EXPECT_EQ(U32(c), 50u);
  EXPECT_EQ(drv().Control(0, IOCTL_CDEMU_RESERVED_MEDIA_1, {}, 3).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(drv().Control(0, IOCTL_CDEMU_RESERVED_MEDIA_2, {}, 4).status, STATUS_DRIVER_INTERNAL_ERROR);
  // Another drive is not marked.
  MountOk(1, MakeIso(dir_, "other.iso"));
  EXPECT_EQ(drv().Control(1, IOCTL_CDEMU_RESERVED_MEDIA_1, {}, 4).status, STATUS_DRIVER_INTERNAL_ERROR);
  // The mark goes with the medium.
  EXPECT_EQ(drv().Control(0, IOCTL_CDEMU_UNMOUNT).status, STATUS_SUCCESS);
  EXPECT_EQ(drv().Control(0, IOCTL_CDEMU_RESERVED_MEDIA_1, {}, 4).status, STATUS_NO_MEDIA_IN_DEVICE);
}

TEST_F(DriverTest, DriveLetters) {
  Completion c = drv().Control(4, IOCTL_CDEMU_CREATE_DRIVE_LETTER, {'K', 0}, 0);
  EXPECT_EQ(c.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(kernel::ObLookupDevice("\\??\\K:"), nullptr);
  EXPECT_EQ(drv().Control(4, IOCTL_CDEMU_CREATE_DRIVE_LETTER, {'1', 0}, 4).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(drv().Control(4, IOCTL_CDEMU_CREATE_DRIVE_LETTER, {}, 4).status, STATUS_INVALID_PARAMETER);

  c = drv().Control(4, IOCTL_CDEMU_CREATE_DRIVE_LETTER, {'K', 0}, 4);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(c.information, 4u);
  EXPECT_EQ(kernel::ObQuerySymbolicLink("\\DosDevices\\Global\\K:"), "\\Device\\KVEmu\\KVEmuCd4");
  EXPECT_EQ(kernel::ObLookupDevice("\\??\\K:"), LoadedDriver::Device(4));
  EXPECT_EQ(kernel::ObLookupDevice("\\DosDevices\\k:"), LoadedDriver::Device(4));
  // One byte offered: the length never exceeds it.
  c = drv().Control(5, IOCTL_CDEMU_CREATE_DRIVE_LETTER, {'L', 0}, 1);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(c.information, 1u);
  // The letter is taken: the link creation's status is the answer.
  c = drv().Control(6, IOCTL_CDEMU_CREATE_DRIVE_LETTER, {'K', 0}, 4);
  EXPECT_EQ(c.status, STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(c.information, 0u);
  // The failed letter is not drive 6's: deleting its letter leaves drive 4's link alone.
  c = drv().Control(6, IOCTL_CDEMU_DELETE_DRIVE_LETTER, {}, 4);
  EXPECT_EQ(c.output[0], 0);
  EXPECT_EQ(kernel::ObLookupDevice("\\??\\K:"), LoadedDriver::Device(4));

  EXPECT_EQ(drv().Control(4, IOCTL_CDEMU_DELETE_DRIVE_LETTER, {}, 0).status, STATUS_BUFFER_TOO_SMALL);
  c = drv().Control(4, IOCTL_CDEMU_DELETE_DRIVE_LETTER, {}, 4);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(c.information, 4u);
  EXPECT_EQ(c.output[0], 'K');
  EXPECT_EQ(kernel::ObLookupDevice("\\??\\K:"), nullptr);
  EXPECT_TRUE(kernel::ObQuerySymbolicLink("\\DosDevices\\Global\\K:").empty());
  // Deleting again still answers the letter; the outcome of the deletion is not reported.
  c = drv().Control(4, IOCTL_CDEMU_DELETE_DRIVE_LETTER, {}, 4);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(c.output[0], 'K');
  c = drv().Control(5, IOCTL_CDEMU_DELETE_DRIVE_LETTER, {}, 1);
  EXPECT_EQ(c.information, 1u);
  EXPECT_EQ(c.output[0], 'L');
  // A drive without a letter answers 0.
  c = drv().Control(8, IOCTL_CDEMU_DELETE_DRIVE_LETTER, {}, 4);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(c.output[0], 0);
}

}  // namespace
}  // namespace kv::test
