// Control-code dispatch of a loaded driver: arbitrary codes (mostly known ones), input bytes and
// output lengths on a drive holding a small ISO, one holding a raw 2352-byte image and an empty one.
// Mount requests are built over a valid one with fuzzed geometry and track layout; served media
// get a channel buffer whose service has given up.
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "common/ioctl.h"
#include "common/media_channel.h"
#include "common/mount_request.h"
#include "driver/driver.h"
#include "platform/kernel/kernel.h"

namespace {

using namespace kv;
using kv::kernel::Irp;

constexpr uint32_t kCodes[] = {
    IOCTL_CDEMU_MOUNT_SHARED_MEDIA,
    IOCTL_CDEMU_MOUNT_IMAGE,
    IOCTL_CDEMU_UNMOUNT,
    IOCTL_CDEMU_QUERY_MOUNT,
    IOCTL_CDEMU_CREATE_DRIVE_LETTER,
    IOCTL_CDEMU_DELETE_DRIVE_LETTER,
    IOCTL_CDEMU_GET_VERSION,
    IOCTL_CDEMU_RESERVED_1,
    IOCTL_CDEMU_RESERVED_2,
    IOCTL_CDEMU_CREATE_SHARED_MEMORY,
    IOCTL_CDEMU_RELEASE_SHARED_MEMORY,
    IOCTL_CDEMU_WRITE_REGISTRY_VALUE,
    IOCTL_CDEMU_GET_USER_VALUE1,
    IOCTL_CDEMU_SET_USER_VALUE1,
    IOCTL_CDEMU_GET_USER_VALUE2,
    IOCTL_CDEMU_SET_USER_VALUE2,
    IOCTL_CDEMU_RESERVED_MEDIA_1,
    IOCTL_CDEMU_RESERVED_MEDIA_2,
    IOCTL_CDROM_READ_TOC,
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
};
constexpr size_t kCodeCount = sizeof kCodes / sizeof kCodes[0];
constexpr uint32_t kIsoSectors = 24;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "driver_dispatch_fuzz: %s\n", what);
  std::abort();
}

// A minimal ISO 9660 image: primary descriptor at 16, terminator at 17, root directory at 18.
std::vector<uint8_t> SmallIso() {
  std::vector<uint8_t> iso(kIsoSectors * 2048, 0);
  uint8_t* pvd = iso.data() + 16 * 2048;
  pvd[0] = 1;
  std::memcpy(pvd + 1, "CD001", 5);
  pvd[6] = 1;
  const uint32_t sectors = kIsoSectors;
  std::memcpy(pvd + 80, &sectors, 4);
  pvd[128] = 0x00;
  pvd[129] = 0x08;
  pvd[156] = 34;
  pvd[158] = 18;
  pvd[166 + 1] = 0x08;
  uint8_t* term = iso.data() + 17 * 2048;
  term[0] = 255;
  std::memcpy(term + 1, "CD001", 5);
  term[6] = 1;
  for (size_t i = 19 * 2048; i < iso.size(); ++i) iso[i] = static_cast<uint8_t>(i * 7);
  return iso;
}

std::vector<uint8_t> RawOf(const std::vector<uint8_t>& iso) {
  std::vector<uint8_t> raw;
  for (size_t s = 0; s < iso.size() / 2048; ++s) {
    raw.insert(raw.end(), 16, uint8_t{0xFF});
    raw.insert(raw.end(), iso.begin() + static_cast<long>(s * 2048), iso.begin() + static_cast<long>((s + 1) * 2048));
    raw.insert(raw.end(), 288, uint8_t{0});
  }
  return raw;
}

std::u16string NtPath(const std::string& p) {
  std::u16string s = u"\\??\\C:";
  for (char c : p) s.push_back(c == '/' ? u'\\' : static_cast<char16_t>(static_cast<unsigned char>(c)));
  return s;
}

std::vector<uint8_t> MountInput(const std::u16string& name, int32_t format, uint32_t sectorSize, uint32_t dataOffset) {
  std::vector<uint8_t> bytes(kMountRequestFixedSize + name.size() * 2 + 2, 0);
  MountRequest r;
  std::memset(&r, 0, sizeof r);
  r.Flags = 1;
  r.Format = format;
  r.SectorSize = sectorSize;
  r.DataOffset = dataOffset;
  r.NameLength = static_cast<uint16_t>(name.size() * 2);
  std::memcpy(bytes.data(), &r, kMountRequestFixedSize);
  std::memcpy(bytes.data() + kMountRequestFixedSize, name.data(), name.size() * 2);
  return bytes;
}

void AbandonChannel(int fd) {
  void* view = mmap(nullptr, sizeof(ReadRequest), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) Fail("channel buffer cannot be mapped");
  std::atomic_ref<int32_t>(static_cast<ReadRequest*>(view)->Progress).store(kProgressAbandon);
  munmap(view, sizeof(ReadRequest));
}

struct Result {
  NTSTATUS status = STATUS_PENDING;
  uint64_t information = 0;
  size_t outputSize = 0;
  int completions = 0;
};

// Sends one request and waits for its completion; checks what every completion must satisfy.
Result Send(kernel::DeviceObject* device, std::unique_ptr<Irp> irp) {
  struct Shared {
    std::mutex m;
    std::condition_variable cv;
    Result r;
  };
  auto shared = std::make_shared<Shared>();
  irp->onComplete = [shared](Irp& done) {
    // A channel buffer handed out: no service answers here, so every served read is given up.
    if (done.viewFd.get() >= 0) AbandonChannel(done.viewFd.get());
    std::lock_guard<std::mutex> g(shared->m);
    shared->r.status = done.status;
    shared->r.information = done.information;
    shared->r.outputSize = done.output.size();
    ++shared->r.completions;
    shared->cv.notify_all();
  };
  kernel::IoCallDriver(device, std::move(irp));
  std::unique_lock<std::mutex> g(shared->m);
  if (!shared->cv.wait_for(g, std::chrono::seconds(30), [&] { return shared->r.completions > 0; })) {
    Fail("request never completed");
  }
  const Result r = shared->r;
  if (r.completions != 1) Fail("request completed more than once");
  if (r.status == STATUS_PENDING) Fail("completed as pending");
  // What a successful request reports as returned must fit the caller's buffer.
  if (NT_SUCCESS(r.status) && r.information > r.outputSize) Fail("information beyond the output buffer");
  return r;
}

std::unique_ptr<Irp> Control(uint32_t code, std::vector<uint8_t> input, size_t outputLength) {
  auto irp = std::make_unique<Irp>();
  irp->major = kernel::MajorFunction::DeviceControl;
  irp->ioControlCode = code;
  irp->input = std::move(input);
  irp->output.assign(outputLength, 0xCC);
  irp->requestor.pid = getpid();
  irp->requestor.uid = geteuid();
  irp->requestor.gid = getegid();
  // Room for the channel buffer's view, as a process offers it.
  if (code == IOCTL_CDEMU_CREATE_SHARED_MEMORY) irp->requestorViewRoom = 0x10000000;
  return irp;
}

class Environment {
 public:
  Environment() {
    char tmpl[] = "/tmp/kv_driver_fuzz.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) Fail("mkdtemp");
    dir_ = tmpl;
    // Channel events and registry writes stay in the fuzzer's own root; served reads that nobody
    // answers end after one short unit.
    setenv("KV_PLATFORM_ROOT", dir_.c_str(), 1);
    driver::SetChannelWaitUnit(1);
    const std::vector<uint8_t> iso = SmallIso();
    Write(dir_ + "/small.iso", iso);
    Write(dir_ + "/small.bin", RawOf(iso));
    if (!NT_SUCCESS(driver::DriverEntry(&object_))) Fail("driver load");
    isoMount_ = MountInput(NtPath(dir_ + "/small.iso"), kFormatIso, 2048, 0);
    binMount_ = MountInput(NtPath(dir_ + "/small.bin"), kFormatBin, 2352, 16);
    Remount();
  }
  ~Environment() {
    object_.driverUnload(&object_);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  static kernel::DeviceObject* Drive(int n) {
    return kernel::ObLookupDevice("\\DosDevices\\KVEmuDev" + std::to_string(n));
  }

  // Drives 0 and 2 hold their media again after anything the input did.
  void Remount() {
    Send(Drive(0), Control(IOCTL_CDEMU_MOUNT_IMAGE, isoMount_, 4));
    Send(Drive(2), Control(IOCTL_CDEMU_MOUNT_IMAGE, binMount_, 4));
  }

  const std::vector<uint8_t>& isoMount() const { return isoMount_; }

 private:
  static void Write(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!f) Fail("cannot write the images");
  }

  std::string dir_;
  kernel::DriverObject object_;
  std::vector<uint8_t> isoMount_;
  std::vector<uint8_t> binMount_;
};

Environment& Env() {
  static Environment env;
  return env;
}

template <class T>
T Take(const uint8_t*& p, const uint8_t* end) {
  T v{};
  const size_t n = std::min<size_t>(sizeof v, static_cast<size_t>(end - p));
  if (n > 0) std::memcpy(&v, p, n);
  p += n;
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Environment& env = Env();
  const uint8_t* p = data;
  const uint8_t* end = data + size;
  const uint8_t selector = Take<uint8_t>(p, end);
  const int drive = Take<uint8_t>(p, end) % 3;
  const size_t outputLength = Take<uint16_t>(p, end) % 9000;
  kernel::DeviceObject* device = Environment::Drive(drive);

  if (selector < 200) {
    const uint32_t code = kCodes[selector % kCodeCount];
    std::vector<uint8_t> input(p, end);
    if (code == IOCTL_CDEMU_MOUNT_IMAGE && selector % 4 != 0) {
      // A valid request with hostile geometry and track layout.
      std::vector<uint8_t> mount = env.isoMount();
      auto* r = reinterpret_cast<MountRequest*>(mount.data());
      r->Format = Take<int32_t>(p, end);
      r->SectorSize = Take<uint32_t>(p, end);
      r->DataOffset = Take<uint32_t>(p, end);
      r->StartOffset = Take<int32_t>(p, end);
      r->TrackCount = Take<uint8_t>(p, end);
      for (int i = 0; i < 4; ++i) {
        r->TrackStart[i] = Take<int32_t>(p, end);
        r->TrackLength[i] = Take<int32_t>(p, end);
        r->TrackSectorSize[i] = Take<int32_t>(p, end);
        r->TrackFileOffset[i] = Take<int64_t>(p, end);
      }
      input = std::move(mount);
    }
    if (code == IOCTL_CDEMU_MOUNT_SHARED_MEDIA) {
      // A served medium, with or without a channel buffer, then a read of it.
      if ((selector / kCodeCount) & 1) Send(device, Control(IOCTL_CDEMU_CREATE_SHARED_MEMORY, {}, 4));
      const uint64_t offset = Take<uint32_t>(p, end) % (64 * 2048);
      const uint32_t length = Take<uint16_t>(p, end) % (40 * 2048);
      input.assign(p, end);
      Send(device, Control(code, std::move(input), outputLength));
      auto read = std::make_unique<Irp>();
      read->major = kernel::MajorFunction::Read;
      read->byteOffset = offset;
      read->length = length;
      read->output.assign(length, 0);
      Send(device, std::move(read));
      if ((selector / kCodeCount) & 2) Send(device, Control(IOCTL_CDEMU_RELEASE_SHARED_MEMORY, {}, 0));
    } else {
      Send(device, Control(code, std::move(input), outputLength));
    }
  } else if (selector < 230) {
    // Reads and writes of arbitrary ranges.
    auto irp = std::make_unique<Irp>();
    irp->major = selector < 225 ? kernel::MajorFunction::Read : kernel::MajorFunction::Write;
    irp->byteOffset = Take<uint64_t>(p, end) % (uint64_t{kIsoSectors + 8} * 2048 * 2);
    irp->length = Take<uint32_t>(p, end) % (64 * 2048);
    irp->output.assign(irp->major == kernel::MajorFunction::Read ? irp->length : 0, 0);
    Send(device, std::move(irp));
  } else {
    const uint32_t code = Take<uint32_t>(p, end);
    Send(device, Control(code, std::vector<uint8_t>(p, end), outputLength));
  }
  // Leave the namespace and the media as they were for the next input.
  Send(device, Control(IOCTL_CDEMU_DELETE_DRIVE_LETTER, {}, 4));
  if (drive == 1) Send(device, Control(IOCTL_CDEMU_UNMOUNT, {}, 0));
  env.Remount();
  return 0;
}
