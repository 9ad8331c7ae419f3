// kvexport MOUNTPOINT: a read-only FUSE file system in which every drive letter that points to
// one of our drives is a file named by the letter, read through "\\.\X:" as a file system
// driver would read the drive. Follows the device-change broadcast.
#define FUSE_USE_VERSION 312
#include <errno.h>
#include <fuse.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/ioctl.h"
#include "common/mount_request.h"
#include "platform/devio.h"

namespace {

using namespace kv::platform;

constexpr const char* kDevicePrefix = "\\Device\\KVEmu\\KVEmuCd";
constexpr uint32_t kChunk = 1u << 20;

struct LetterEntry {
  bool present = false;
  uint64_t size = 0;
  time_t since = 0;     // when this medium appeared
  uint64_t medium = 0;  // changes whenever the medium (or the letter) changes
};

struct State {
  std::mutex mu;
  std::array<LetterEntry, 26> letters{};
  std::atomic<bool> stop{false};
  bool verbose = false;
  uint64_t lastMedium = 0;
};

State g_state;

bool IsOurDrive(const std::string& target) {
  const std::string prefix = kDevicePrefix;
  if (target.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string rest = target.substr(prefix.size());
  if (rest.empty() || rest.size() > 2 || rest.find_first_not_of("0123456789") != std::string::npos) return false;
  return std::stoi(rest) < kv::kDriveCount;
}

// Capacity of the medium in the drive behind the letter; 0 when it has none.
uint64_t MediumSize(char letter) {
  Handle h = CreateFile(std::string("\\\\.\\") + letter + ":", 0, FILE_SHARE_READ, FILE_FLAG_NO_BUFFERING);
  uint64_t size = 0;
  uint32_t n = 0;
  if (!h || !DeviceIoControl(h, kv::IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &size, 8, &n) || n != 8) return 0;
  return size;
}

void Refresh() {
  std::array<LetterEntry, 26> fresh{};
  const uint32_t mask = GetLogicalDrives();
  for (char l = 'A'; l <= 'Z'; ++l) {
    if (!(mask & (1u << (l - 'A')))) continue;
    std::string target;
    if (!QueryDosDevice(std::string(1, l) + ":", &target) || !IsOurDrive(target)) continue;
    fresh[l - 'A'].present = true;
    fresh[l - 'A'].size = MediumSize(l);
  }
  std::lock_guard<std::mutex> g(g_state.mu);
  for (int i = 0; i < 26; ++i) {
    const LetterEntry& old = g_state.letters[i];
    const bool same = old.present && fresh[i].present && old.size == fresh[i].size;
    fresh[i].since = same ? old.since : time(nullptr);
    fresh[i].medium = same ? old.medium : ++g_state.lastMedium;
  }
  if (g_state.verbose) {
    for (int i = 0; i < 26; ++i)
      if (fresh[i].present != g_state.letters[i].present || fresh[i].size != g_state.letters[i].size)
        std::fprintf(stderr, "kvexport: %c: %s, %llu bytes\n", 'A' + i, fresh[i].present ? "present" : "gone",
                     static_cast<unsigned long long>(fresh[i].size));
  }
  g_state.letters = fresh;
}

// Follows the broadcast; when the host goes away (or is not there yet) it retries.
void Watch() {
  while (!g_state.stop) {
    DeviceChangeSubscription events;
    if (!events.Open()) {
      {
        std::lock_guard<std::mutex> g(g_state.mu);
        g_state.letters = {};
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      continue;
    }
    Refresh();
    while (!g_state.stop && events.connected()) {
      DeviceChange change;
      if (events.Next(&change, 250)) Refresh();
    }
  }
}

int LetterOfPath(const char* path) {
  if (path[0] != '/' || path[1] < 'A' || path[1] > 'Z' || path[2] != '\0') return -1;
  return path[1] - 'A';
}

int GetAttr(const char* path, struct stat* st, fuse_file_info*) {
  // Asked before every read of an open file (attributes are never cached): no system calls here.
  static const uid_t uid = getuid();
  static const gid_t gid = getgid();
  std::memset(st, 0, sizeof *st);
  st->st_uid = uid;
  st->st_gid = gid;
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0555;
    st->st_nlink = 2;
    return 0;
  }
  const int i = LetterOfPath(path);
  std::lock_guard<std::mutex> g(g_state.mu);
  if (i < 0 || !g_state.letters[i].present) return -ENOENT;
  st->st_mode = S_IFREG | 0444;
  st->st_nlink = 1;
  st->st_size = static_cast<off_t>(g_state.letters[i].size);
  st->st_blksize = 2048;
  st->st_mtime = st->st_ctime = st->st_atime = g_state.letters[i].since;
  st->st_blocks = static_cast<blkcnt_t>((g_state.letters[i].size + 511) / 512);
  return 0;
}

int ReadDir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
  if (std::strcmp(path, "/") != 0) return -ENOENT;
  fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  std::lock_guard<std::mutex> g(g_state.mu);
  for (int i = 0; i < 26; ++i) {
    if (!g_state.letters[i].present) continue;
    const char name[2] = {static_cast<char>('A' + i), '\0'};
    fill(buf, name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  }
  return 0;
}

// An open file belongs to the medium it was opened on: once that medium is gone, its reads fail.
struct OpenDrive {
  Handle handle;
  int letter = 0;
  uint64_t size = 0;
  uint64_t medium = 0;
};

bool MediumStillThere(const OpenDrive& drive) {
  std::lock_guard<std::mutex> g(g_state.mu);
  const LetterEntry& now = g_state.letters[drive.letter];
  return now.present && now.medium == drive.medium;
}

int Open(const char* path, fuse_file_info* fi) {
  const int i = LetterOfPath(path);
  if (i < 0) return -ENOENT;
  if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
  uint64_t size;
  uint64_t medium;
  {
    std::lock_guard<std::mutex> g(g_state.mu);
    if (!g_state.letters[i].present) return -ENOENT;
    size = g_state.letters[i].size;
    medium = g_state.letters[i].medium;
  }
  auto drive = std::make_unique<OpenDrive>();
  drive->handle = CreateFile(std::string("\\\\.\\") + static_cast<char>('A' + i) + ":", GENERIC_READ, FILE_SHARE_READ,
                             FILE_FLAG_NO_BUFFERING);
  if (!drive->handle) return GetLastError() == ERROR_ACCESS_DENIED ? -EACCES : -ENOENT;
  drive->letter = i;
  drive->size = size;
  drive->medium = medium;
  fi->fh = reinterpret_cast<uint64_t>(drive.release());
  fi->keep_cache = 0;
  // Every read comes here, even when the size has changed since: the kernel would otherwise end
  // a read of a removed medium at the new size as a normal end of file.
  fi->direct_io = 1;
  return 0;
}

int Release(const char*, fuse_file_info* fi) {
  delete reinterpret_cast<OpenDrive*>(fi->fh);
  return 0;
}

int ErrnoOf(LSTATUS e) {
  switch (e) {
    case ERROR_NO_MEDIA_IN_DRIVE:
      return ENOMEDIUM;
    case ERROR_ACCESS_DENIED:
      return EACCES;
    case ERROR_BROKEN_PIPE:
      return ENODEV;
    default:
      return EIO;
  }
}

// The drive reads whole 2048-byte sectors; the request is widened to them and cut back.
int Read(const char*, char* out, size_t size, off_t offset, fuse_file_info* fi) {
  auto* drive = reinterpret_cast<OpenDrive*>(fi->fh);
  if (offset < 0) return -EINVAL;
  if (!MediumStillThere(*drive)) return -ENOMEDIUM;
  const uint64_t start = static_cast<uint64_t>(offset);
  if (start >= drive->size) return 0;
  const uint64_t end = std::min<uint64_t>(start + size, drive->size);
  const uint64_t alignedStart = start / kv::kSectorSize * kv::kSectorSize;
  const uint64_t alignedEnd = (end + kv::kSectorSize - 1) / kv::kSectorSize * kv::kSectorSize;
  const bool direct = alignedStart == start && alignedEnd == end;
  std::vector<uint8_t> bounce;
  if (!direct) bounce.resize(std::min<uint64_t>(alignedEnd - alignedStart, kChunk));
  size_t copied = 0;
  for (uint64_t at = alignedStart; at < alignedEnd;) {
    const uint32_t now = static_cast<uint32_t>(std::min<uint64_t>(alignedEnd - at, kChunk));
    uint8_t* dest = direct ? reinterpret_cast<uint8_t*>(out) + (at - start) : bounce.data();
    uint32_t n = 0;
    if (!ReadFile(drive->handle, at, dest, now, &n) || n != now)
      return copied ? static_cast<int>(copied) : -ErrnoOf(GetLastError());
    // Bytes of a medium that replaced ours are not this file's.
    if (!MediumStillThere(*drive)) return copied ? static_cast<int>(copied) : -ENOMEDIUM;
    if (direct) {
      copied += n;
    } else {
      const uint64_t from = std::max(at, start);
      const uint64_t to = std::min<uint64_t>(at + now, end);
      std::memcpy(out + (from - start), bounce.data() + (from - at), to - from);
      copied += to - from;
    }
    at += now;
  }
  return static_cast<int>(copied);
}

void* Init(fuse_conn_info*, fuse_config* config) {
  // Media come and go: never trust cached names, sizes or pages.
  config->entry_timeout = 0;
  config->attr_timeout = 0;
  config->negative_timeout = 0;
  config->kernel_cache = 0;
  return nullptr;
}

// Mount point (as the mount table writes it, with \040 for a space etc.) unescaped.
std::string Unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string digits = field.substr(i + 1, 3);
      if (digits.find_first_not_of("01234567") == std::string::npos) {
        out += static_cast<char>(std::stoi(digits, nullptr, 8));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

// A kvexport killed without unmounting leaves its mount behind ("Transport endpoint is not
// connected"); such a mount of ours at the mount point is cleared before mounting again.
void ClearStaleMount(const std::string& mountpoint) {
  struct stat st {};
  if (stat(mountpoint.c_str(), &st) == 0 || errno != ENOTCONN) return;
  // The mount point itself cannot be resolved (that is the fault); its folder can.
  const size_t slash = mountpoint.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : mountpoint.substr(0, slash);
  const std::string name = slash == std::string::npos ? mountpoint : mountpoint.substr(slash + 1);
  char resolved[PATH_MAX];
  if (realpath(folder.c_str(), resolved) == nullptr) return;
  const std::string absolute = std::string(resolved) + (std::string(resolved) == "/" ? "" : "/") + name;
  FILE* table = std::fopen("/proc/self/mountinfo", "r");
  if (table == nullptr) return;
  bool ours = false;
  char* line = nullptr;
  size_t capacity = 0;
  while (!ours && getline(&line, &capacity, table) > 0) {
    // ID parent major:minor root MOUNTPOINT options ... - FSTYPE SOURCE ...
    std::string text(line);
    const size_t dash = text.find(" - ");
    if (dash == std::string::npos) continue;
    size_t at = 0;
    std::string fields[5];
    for (std::string& f : fields) {
      const size_t end = text.find(' ', at);
      if (end == std::string::npos || end > dash) break;
      f = text.substr(at, end - at);
      at = end + 1;
    }
    const std::string type = text.substr(dash + 3, text.find(' ', dash + 3) - (dash + 3));
    ours = type == "fuse.kvexport" && Unescape(fields[4]) == absolute;
  }
  free(line);
  std::fclose(table);
  if (!ours) return;
  std::fprintf(stderr, "kvexport: %s: clearing the mount of an earlier kvexport that ended without unmounting\n",
               mountpoint.c_str());
  if (umount2(mountpoint.c_str(), MNT_DETACH) == 0) return;
  // Without the right to unmount, the FUSE helper does it for the user who mounted.
  const pid_t pid = fork();
  if (pid == 0) {
    execlp("fusermount3", "fusermount3", "-u", "-z", mountpoint.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid > 0) waitpid(pid, nullptr, 0);
}

void Usage(FILE* out) {
  std::fprintf(out,
               "Usage: kvexport MOUNTPOINT [--allow-other] [--verbose]\n"
               "Shows every drive letter of a virtual drive as a read-only file MOUNTPOINT/X whose size is the\n"
               "medium's capacity. Runs in the foreground until interrupted (SIGINT/SIGTERM) or unmounted.\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string mountpoint;
  bool allowOther = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    }
    if (a == "--allow-other") {
      allowOther = true;
    } else if (a == "--verbose") {
      g_state.verbose = true;
    } else if (!a.empty() && a[0] != '-' && mountpoint.empty()) {
      mountpoint = a;
    } else {
      Usage(stderr);
      return 2;
    }
  }
  if (mountpoint.empty()) {
    Usage(stderr);
    return 2;
  }
  if (access("/dev/fuse", R_OK | W_OK) != 0) {
    std::fprintf(stderr, "kvexport: /dev/fuse: %s\n", std::strerror(errno));
    return 1;
  }

  ClearStaleMount(mountpoint);

  fuse_operations ops{};
  ops.getattr = GetAttr;
  ops.readdir = ReadDir;
  ops.open = Open;
  ops.release = Release;
  ops.read = Read;
  ops.init = Init;

  std::vector<std::string> options = {"kvexport", "-o", "ro,fsname=kvexport,subtype=kvexport"};
  if (allowOther) options.back() += ",allow_other";
  std::vector<char*> fuseArgv;
  for (auto& o : options) fuseArgv.push_back(o.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(fuseArgv.size()), fuseArgv.data());
  fuse* fs = fuse_new(&args, &ops, sizeof ops, nullptr);
  if (fs == nullptr) {
    std::fprintf(stderr, "kvexport: cannot create the file system\n");
    return 1;
  }
  if (fuse_mount(fs, mountpoint.c_str()) != 0) {
    std::fprintf(stderr, "kvexport: %s: cannot mount\n", mountpoint.c_str());
    fuse_destroy(fs);
    return 1;
  }
  fuse_set_signal_handlers(fuse_get_session(fs));
  Refresh();
  std::thread watcher(Watch);
  std::fprintf(stderr, "kvexport: serving %s\n", mountpoint.c_str());
  fuse_loop_config* loop = fuse_loop_cfg_create();
  fuse_loop_cfg_set_clone_fd(loop, 0);
  fuse_loop_cfg_set_max_threads(loop, 8);
  const int result = fuse_loop_mt(fs, loop);
  fuse_loop_cfg_destroy(loop);
  g_state.stop = true;
  watcher.join();
  fuse_remove_signal_handlers(fuse_get_session(fs));
  fuse_unmount(fs);
  fuse_destroy(fs);
  fuse_opt_free_args(&args);
  // Ending on SIGINT/SIGTERM is the normal way out (the loop reports the signal).
  const bool interrupted = result == SIGINT || result == SIGTERM || result == -SIGINT || result == -SIGTERM;
  if (result != 0 && !interrupted) std::fprintf(stderr, "kvexport: the file system loop failed (%d)\n", result);
  return result == 0 || interrupted ? 0 : 1;
}
