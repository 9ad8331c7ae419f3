// kvctl dev: speaks to the driver directly through its devices, as the service does.
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/ioctl.h"
#include "common/mount_request.h"
#include "formats/blockmap/block_map_reader.h"
#include "formats/daa/daa_image.h"
#include "formats/raw/track_layout.h"
#include "manager/inspect/disc_layout.h"
#include "platform/devio.h"
#include "platform/ntpath.h"
#include "platform/wide_text.h"
#include "service/commands/archive_mount.h"
#include "tools/cli/cli.h"
#include "tools/cli/track_option.h"
#include "tools/kvctl/dev_serve.h"
#include "tools/kvctl/mount_options.h"

namespace kv::tools {
namespace {

using namespace kv::platform;
using cli::kExitFailure;
using cli::kExitOk;
using cli::kExitUsage;

std::string ErrorText(LSTATUS e) {
  switch (e) {
    case ERROR_FILE_NOT_FOUND:
      return "no such device (is kvemu running?)";
    case ERROR_ACCESS_DENIED:
      return "access denied";
    case ERROR_INVALID_HANDLE:
      return "invalid handle";
    case ERROR_INVALID_FUNCTION:
      return "request not supported by the drive";
    case ERROR_INVALID_PARAMETER:
      return "invalid parameter";
    case ERROR_INSUFFICIENT_BUFFER:
      return "buffer too small";
    case ERROR_NO_MEDIA_IN_DRIVE:
      return "no medium in the drive";
    case ERROR_CRC:
      return "data error (sectors could not be read)";
    case ERROR_ALREADY_EXISTS:
      return "the name exists already";
    case ERROR_BROKEN_PIPE:
      return "kvemu went away";
    case ERROR_INTERNAL_ERROR:
      return "driver internal error";
    default:
      return "error " + std::to_string(e);
  }
}

std::string MountErrorText(uint32_t e) {
  switch (e) {
    case kMountNoMemory:
      return "out of memory while creating the image source";
    case kMountFileTooLarge:
      return "image file larger than 2^60 bytes";
    case kMountUnrecognised:
      return "format not recognised or image unreadable";
    case kMountFileNotFound:
      return "image file not found";
    case kMountOpenFailed:
      return "image file cannot be opened or read";
    case kMountUnsupportedVersion:
      return "unsupported DAA/GBI header version";
    default:
      return "mount error " + std::to_string(e);
  }
}

int Fail(const std::string& what) {
  std::fprintf(stderr, "kvctl dev: %s\n", what.c_str());
  return kExitFailure;
}

int Usage(const std::string& what) {
  std::fprintf(stderr, "kvctl dev: %s\n", what.c_str());
  return kExitUsage;
}

// A drive named by number ("3") or letter ("E", "E:").
struct DriveName {
  int number = -1;
  char letter = 0;
};

bool ParseDrive(const std::string& s, DriveName* d) {
  if ((s.size() == 1 || (s.size() == 2 && s[1] == ':')) && std::isalpha(static_cast<unsigned char>(s[0]))) {
    d->letter = static_cast<char>(std::toupper(static_cast<unsigned char>(s[0])));
    return true;
  }
  if (s.empty() || s.size() > 2 || s.find_first_not_of("0123456789") != std::string::npos) return false;
  d->number = std::stoi(s);
  return d->number < kDriveCount;
}

// The letter's device first, else the drive's control device.
Handle OpenDrive(const DriveName& d, std::string* error) {
  Handle h;
  if (d.letter) {
    h = CreateFile(std::string("\\\\.\\") + d.letter + ":", 0, FILE_SHARE_READ, FILE_FLAG_NO_BUFFERING);
    if (!h) {
      std::string target;
      const int n = QueryDosDevice(std::string(1, d.letter) + ":", &target) ? service::DriveIndexOfTarget(target) : -1;
      if (n >= 0)
        h = CreateFile("\\\\.\\KVEmuDev" + std::to_string(n), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    }
    if (!h) *error = std::string(1, d.letter) + ": " + ErrorText(GetLastError());
  } else {
    h = CreateFile("\\\\.\\KVEmuDev" + std::to_string(d.number), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (!h) *error = "drive " + std::to_string(d.number) + ": " + ErrorText(GetLastError());
  }
  return h;
}

// Common start of every verb: parse, check the positional count, open the drive.
struct VerbStart {
  cli::Args args;
  DriveName drive;
  Handle handle;
  int exit = -1;  // set when the verb must end at once
  VerbStart(int argc, char** argv, const std::vector<std::string>& flags, const std::vector<std::string>& known,
            size_t positional)
      : args(argc, argv, flags) {
    if (!args.ok()) {
      exit = Usage(args.error());
      return;
    }
    if (auto unknown = args.Unknown(known); !unknown.empty()) {
      exit = Usage("unknown option --" + unknown[0]);
      return;
    }
    if (args.positional().size() != positional) {
      exit = Usage("wrong number of arguments (see --help)");
      return;
    }
    if (!ParseDrive(args.positional()[0], &drive)) {
      exit = Usage("'" + args.positional()[0] + "' is not a drive (a number 0-22 or a letter like E:)");
      return;
    }
    std::string error;
    handle = OpenDrive(drive, &error);
    if (!handle) exit = Fail(error);
  }
};

int Version(int argc, char** argv) {
  cli::Args a(argc, argv, {});
  std::vector<char*> v(argv, argv + argc);
  std::string zero = "0";
  if (a.positional().empty()) v.insert(v.begin(), zero.data());
  VerbStart s(static_cast<int>(v.size()), v.data(), {}, {}, 1);
  if (s.exit >= 0) return s.exit;
  uint32_t version = 0, n = 0;
  if (!DeviceIoControl(s.handle, IOCTL_CDEMU_GET_VERSION, nullptr, 0, &version, 4, &n) || n != 4)
    return Fail("version: " + ErrorText(GetLastError()));
  std::printf("%u\n", version);
  return kExitOk;
}

int Mount(int argc, char** argv) {
  VerbStart s(argc, argv, {}, MountOptionNames(), 2);
  if (s.exit >= 0) return s.exit;
  const std::string file = s.args.positional()[1];
  std::string error;
  std::string image, daaProblem;
  std::vector<uint8_t> buffer;
  switch (MountRequestFromOptions(s.args, file, &buffer, &image, &error, &daaProblem)) {
    case MountOptionsResult::kUsage:
      return Usage(error);
    case MountOptionsResult::kRefused:
      return Fail(error);
    case MountOptionsResult::kOk:
      break;
  }
  const auto* request = reinterpret_cast<const MountRequest*>(buffer.data());
  uint32_t mountError = 0, n = 0;
  if (!DeviceIoControl(s.handle, IOCTL_CDEMU_MOUNT_IMAGE, buffer.data(), static_cast<uint32_t>(buffer.size()),
                       &mountError, 4, &n))
    return Fail("mount " + file + ": " + ErrorText(GetLastError()));
  if (n >= 4 && mountError != 0) {
    std::string why = MountErrorText(mountError);
    if (!daaProblem.empty()) {
      why += ": " + daaProblem;
    } else if (mountError == kMountUnrecognised && request->TrackCount > 0) {
      // Say what is wrong with the layout when that is the reason.
      std::error_code ec;
      const auto size = std::filesystem::file_size(image, ec);
      auto table = std::make_unique<TrackTable>();
      TrackTableFromRequest(*request, table.get());
      if (const char* fault = ec ? nullptr : CheckTrackTable(*table, static_cast<int64_t>(size)))
        why += std::string(": ") + fault;
    } else if (mountError == kMountUnrecognised) {
      // An ISZ or UIF refusal names what is wrong with the image's tables when this process can tell.
      int errorNumber = 0;
      const std::string blockMap =
          ExplainBlockMapRefusal(OpenPosixFile(image, &errorNumber), request->Format, *request);
      if (!blockMap.empty()) why += ": " + blockMap;
    }
    return Fail(file + ": " + why);
  }
  return kExitOk;
}

int Unmount(int argc, char** argv) {
  VerbStart s(argc, argv, {}, {}, 1);
  if (s.exit >= 0) return s.exit;
  uint32_t n = 0;
  if (!DeviceIoControl(s.handle, IOCTL_CDEMU_UNMOUNT, nullptr, 0, nullptr, 0, &n))
    return Fail("unmount: " + ErrorText(GetLastError()));
  return kExitOk;
}

int Query(int argc, char** argv) {
  VerbStart s(argc, argv, {"json"}, {"json"}, 1);
  if (s.exit >= 0) return s.exit;
  std::vector<uint8_t> out(kDriveStatusQuerySizeLarge, 0);
  uint32_t n = 0;
  const uint32_t zero = 0;
  if (!DeviceIoControl(s.handle, IOCTL_CDEMU_QUERY_MOUNT, &zero, 4, out.data(), static_cast<uint32_t>(out.size()), &n))
    return Fail("query: " + ErrorText(GetLastError()));
  if (n < kDriveStatusFixedSize) return Fail("query: short answer of " + std::to_string(n) + " bytes");
  const auto* status = reinterpret_cast<const DriveStatus*>(out.data());
  const size_t nameLength = status->NameLength <= n - kDriveStatusFixedSize ? status->NameLength : 0;
  std::u16string name(nameLength / 2, u'\0');
  std::memcpy(name.data(), out.data() + offsetof(DriveStatus, Name), name.size() * 2);
  const std::string utf8 = Utf16ToUtf8(name);
  const bool mounted = status->NameLength != 0;
  if (s.args.Has("json")) {
    std::printf("{\"mounted\":%s,\"sizeBytes\":%llu,\"present\":%u,\"nameLength\":%u,\"name\":%s}\n",
                mounted ? "true" : "false", static_cast<unsigned long long>(mounted ? status->SizeBytes : 0),
                status->Present, status->NameLength, cli::JsonString(utf8).c_str());
  } else if (mounted) {
    std::printf("mounted: %s\nsize: %llu bytes (%llu sectors)\n", utf8.c_str(),
                static_cast<unsigned long long>(status->SizeBytes),
                static_cast<unsigned long long>(status->SizeBytes / kSectorSize));
  } else {
    std::printf("empty\n");
  }
  return kExitOk;
}

int Toc(int argc, char** argv) {
  VerbStart s(argc, argv, {"json"}, {"json"}, 1);
  if (s.exit >= 0) return s.exit;
  uint8_t toc[804] = {};
  uint32_t n = 0;
  if (!DeviceIoControl(s.handle, IOCTL_CDROM_READ_TOC, nullptr, 0, toc, sizeof toc, &n))
    return Fail("toc: " + ErrorText(GetLastError()));
  cli::PrintTableOfContents(toc, n < sizeof toc ? n : sizeof toc, s.args.Has("json"));
  return kExitOk;
}

bool WriteOut(const uint8_t* p, size_t n) {
  while (n) {
    const ssize_t w = write(1, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

int Read(int argc, char** argv) {
  VerbStart s(argc, argv, {"raw"}, {"first", "count", "raw"}, 1);
  if (s.exit >= 0) return s.exit;
  int64_t first = 0, count = -1;
  std::string error;
  // Raw reads of a track layout reach down to the first track's pregap.
  const int64_t lowest = s.args.Has("raw") ? -450150 : 0;
  if (!s.args.GetInt("first", lowest, INT64_MAX / kRawSectorSize, &first, &error) ||
      !s.args.GetInt("count", 0, INT64_MAX / kRawSectorSize, &count, &error))
    return Usage(error);
  if (count < 0) {
    // Up to the end of the medium.
    uint64_t capacity = 0;
    uint32_t n = 0;
    if (!DeviceIoControl(s.handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &capacity, 8, &n))
      return Fail("read: " + ErrorText(GetLastError()));
    count = static_cast<int64_t>(capacity / kSectorSize) - first;
    if (count < 0) count = 0;
  }
  const bool raw = s.args.Has("raw");
  const uint32_t sectorBytes = raw ? kRawSectorSize : kSectorSize;
  const uint32_t perRequest = raw ? 64 : 512;
  std::vector<uint8_t> buf(raw ? static_cast<size_t>(perRequest) * sectorBytes : 0);
  SharedRead shared;  // plain reads are written out from where the drive put them
  cli::Progress progress("reading", static_cast<uint64_t>(count));
  for (int64_t done = 0; done < count;) {
    const uint32_t now = static_cast<uint32_t>(count - done < perRequest ? count - done : perRequest);
    const int64_t sector = first + done;
    uint32_t n = 0;
    bool ok;
    if (raw) {
      struct {
        int64_t offset;
        uint32_t count;
        uint32_t mode;
      } in{sector * static_cast<int64_t>(kSectorSize), now, 0};
      static_assert(sizeof in == 16);
      ok = DeviceIoControl(s.handle, IOCTL_CDROM_RAW_READ, &in, 16, buf.data(), now * sectorBytes, &n);
    } else {
      ok = ReadFileShared(s.handle, static_cast<uint64_t>(sector) * kSectorSize, now * sectorBytes, &shared);
      n = shared.size();
    }
    if (!ok || n != now * sectorBytes)
      return Fail("read of sector " + std::to_string(sector) + ": " +
                  (ok ? std::string("short read") : ErrorText(GetLastError())));
    if (!WriteOut(raw ? buf.data() : shared.data(), n)) return Fail("read: cannot write to the output");
    done += now;
    progress.Update(static_cast<uint64_t>(done));
  }
  progress.Finish();
  return kExitOk;
}

int Letter(int argc, char** argv) {
  VerbStart s(argc, argv, {}, {}, 2);
  if (s.exit >= 0) return s.exit;
  DriveName l;
  if (!ParseDrive(s.args.positional()[1], &l) || !l.letter)
    return Usage("'" + s.args.positional()[1] + "' is not a letter");
  const char16_t letter = static_cast<char16_t>(l.letter);
  uint8_t out[4] = {};
  uint32_t n = 0;
  if (!DeviceIoControl(s.handle, IOCTL_CDEMU_CREATE_DRIVE_LETTER, &letter, 2, out, 4, &n))
    return Fail(std::string("letter ") + l.letter + ": " + ErrorText(GetLastError()));
  return kExitOk;
}

int NoLetter(int argc, char** argv) {
  VerbStart s(argc, argv, {}, {}, 1);
  if (s.exit >= 0) return s.exit;
  uint8_t out[4] = {};
  uint32_t n = 0;
  if (!DeviceIoControl(s.handle, IOCTL_CDEMU_DELETE_DRIVE_LETTER, nullptr, 0, out, 4, &n))
    return Fail("noletter: " + ErrorText(GetLastError()));
  return kExitOk;
}

int Drives(int argc, char** argv) {
  cli::Args args(argc, argv, {"json"});
  if (!args.ok()) return Usage(args.error());
  if (!args.positional().empty()) return Usage("drives takes no arguments");
  const uint32_t mask = GetLogicalDrives();
  for (char l = 'A'; l <= 'Z'; ++l) {
    if (!(mask & (1u << (l - 'A')))) continue;
    std::string target;
    QueryDosDevice(std::string(1, l) + ":", &target);
    const int drive = service::DriveIndexOfTarget(target);
    if (args.Has("json")) {
      std::printf("{\"letter\":\"%c:\",\"target\":%s,\"drive\":%d}\n", l, cli::JsonString(target).c_str(), drive);
    } else if (drive >= 0) {
      std::printf("%c:  %s  (drive %d)\n", l, target.c_str(), drive);
    } else {
      std::printf("%c:  %s\n", l, target.c_str());
    }
  }
  return kExitOk;
}

int Dev(int argc, char** argv) {
  static const std::vector<cli::Verb> verbs = {
      {"version", "driver version", "kvctl dev version [DRIVE]", Version},
      {"mount", "mount an image file with an explicit MountRequest",
       "kvctl dev mount DRIVE FILE [--format F] [--sector-size S] [--data-offset D] [--start-offset O]\n"
       "  [--track MODE:START:LENGTH:OFFSET:SECTORSIZE[:PREGAP:PREGAPINFILE:POSTGAP:POSTGAPINFILE]]...\n"
       "                [--password P | --password-file F]\n"
       "  Without --format, *.isz files are mounted as format 6, *.uif as 5, *.nrg as 3, anything else as 0;\n"
       "  a cue sheet or media descriptor (or a .bin/.mdf beside one) mounts with its track layout.\n"
       "  A DAA/GBI file is mounted as format 2 unless --format is given; give the first volume of a\n"
       "  split image (the driver opens the others); the password is the encrypted image's.",
       Mount},
      {"unmount", "remove the medium", "kvctl dev unmount DRIVE", Unmount},
      {"query", "print the DriveStatus", "kvctl dev query DRIVE [--json]", Query},
      {"toc", "print the table of contents", "kvctl dev toc DRIVE [--json]", Toc},
      {"read", "write sectors to stdout",
       "kvctl dev read DRIVE [--first S] [--count N] [--raw]   (count: to the end when omitted; --raw: 2352-byte "
       "sectors)",
       Read},
      {"letter", "give a drive a letter", "kvctl dev letter DRIVE X", Letter},
      {"noletter", "take a drive's letter away", "kvctl dev noletter DRIVE", NoLetter},
      {"drives", "every present letter and its target", "kvctl dev drives [--json]", Drives},
      {"serve", "mount an archive and serve its reads until interrupted", kDevServeUsage, DevServe},
  };
  // Dispatch expects the program name in front.
  std::vector<char*> v;
  std::string self = "dev";
  v.push_back(self.data());
  for (int i = 0; i < argc; ++i) v.push_back(argv[i]);
  return cli::Dispatch("kvctl dev", "the driver's devices (DRIVE: number 0-22 or letter E:)", verbs,
                       static_cast<int>(v.size()), v.data());
}

const cli::RegisterVerb kRegister(
    {"dev", "speak to the driver directly (mount, query, read, letters)",
     "kvctl dev VERB ...   DRIVE is a number 0-22 or a letter (E:)\n"
     "  version [DRIVE]\n"
     "  mount DRIVE FILE [--format F] [--sector-size S] [--data-offset D] [--start-offset O]\n"
     "        [--password P | --password-file F]\n"
     "  unmount DRIVE\n"
     "  query DRIVE [--json]\n"
     "  toc DRIVE [--json]\n"
     "  read DRIVE [--first S] [--count N] [--raw]   (to stdout; to the end without --count)\n"
     "  letter DRIVE X\n"
     "  noletter DRIVE\n"
     "  drives [--json]\n"
     "  serve DRIVE ARCHIVE [--password P | --password-file F] [--install-dir DIR]",
     Dev, /*group=*/true});

}  // namespace
}  // namespace kv::tools
