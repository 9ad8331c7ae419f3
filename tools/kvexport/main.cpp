// kvexport MOUNTPOINT: a read-only FUSE file system in which every drive letter that points to
// one of our drives is a file named by the letter, read through "\\.\X:" as a file system
// driver would read the drive. Follows the device-change broadcast.
#define FUSE_USE_VERSION 312
#include <errno.h>
#include <fuse_lowlevel.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
constexpr uint32_t kReadAheadWindow = 4 * kChunk;

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

// Every medium of a letter is a file of its own (node id: medium << 5 | letter), so the kernel
// may keep its pages and attributes for as long as it likes: they never change. When a letter's
// medium changes, the name is dropped from the kernel's cache (the next lookup finds the new
// node) and so are the old node's pages (its open files then read through to us and fail).
constexpr double kForever = 365.0 * 24 * 3600;

fuse_ino_t NodeOf(int letter, uint64_t medium) {
  return static_cast<fuse_ino_t>(medium << 5 | static_cast<uint64_t>(letter));
}

fuse_session* g_session = nullptr;

// Takes the letters as found (`fresh`; all absent when the host is gone). A letter named in
// `changed` (by a device-change event) has a new medium even when its size is the same.
void Update(std::array<LetterEntry, 26> fresh, uint32_t changed) {
  std::vector<std::pair<int, uint64_t>> gone;  // letter, old medium
  {
    std::lock_guard<std::mutex> g(g_state.mu);
    for (int i = 0; i < 26; ++i) {
      const LetterEntry& old = g_state.letters[i];
      const bool same = old.present && fresh[i].present && old.size == fresh[i].size && !(changed & (1u << i));
      fresh[i].since = same ? old.since : time(nullptr);
      fresh[i].medium = same ? old.medium : fresh[i].present ? ++g_state.lastMedium : 0;
      if (!same && old.present) gone.emplace_back(i, old.medium);
      if (g_state.verbose && (fresh[i].present != old.present || !same))
        std::fprintf(stderr, "kvexport: %c: %s, %llu bytes\n", 'A' + i, fresh[i].present ? "present" : "gone",
                     static_cast<unsigned long long>(fresh[i].size));
    }
    g_state.letters = fresh;
  }
  // Outside the lock: dropping pages waits for reads in flight, which take the lock.
  if (g_session == nullptr) return;
  for (auto [i, medium] : gone) {
    const char name[2] = {static_cast<char>('A' + i), '\0'};
    // Pages first: once a lookup can find the new node, the old one's files read through to us.
    fuse_lowlevel_notify_inval_inode(g_session, NodeOf(i, medium), 0, 0);
    fuse_lowlevel_notify_inval_entry(g_session, FUSE_ROOT_ID, name, 1);
  }
}

void Refresh(uint32_t changed) {
  std::array<LetterEntry, 26> fresh{};
  const uint32_t mask = GetLogicalDrives();
  for (char l = 'A'; l <= 'Z'; ++l) {
    if (!(mask & (1u << (l - 'A')))) continue;
    std::string target;
    if (!QueryDosDevice(std::string(1, l) + ":", &target) || !IsOurDrive(target)) continue;
    fresh[l - 'A'].present = true;
    fresh[l - 'A'].size = MediumSize(l);
  }
  Update(fresh, changed);
}

// Follows the broadcast; when the host goes away (or is not there yet) every letter goes and it
// retries. A look every second besides catches a medium the driver dropped on its own.
void Watch() {
  while (!g_state.stop) {
    DeviceChangeSubscription events;
    if (!events.Open()) {
      Update({}, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      continue;
    }
    Refresh(0);
    auto next = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!g_state.stop && events.connected()) {
      DeviceChange change;
      if (events.Next(&change, 250)) {
        Refresh(change.unitMask);
        next = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      } else if (std::chrono::steady_clock::now() >= next) {
        Refresh(0);
        next = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      }
    }
  }
}

void RootAttributes(struct stat* st) {
  static const uid_t uid = getuid();
  static const gid_t gid = getgid();
  std::memset(st, 0, sizeof *st);
  st->st_uid = uid;
  st->st_gid = gid;
  st->st_ino = FUSE_ROOT_ID;
  st->st_mode = S_IFDIR | 0555;
  st->st_nlink = 2;
}

// Attributes of the letter's current medium; false when `node` is not it (any more).
bool LetterAttributes(fuse_ino_t node, struct stat* st) {
  const int i = static_cast<int>(node & 31);
  if (node == FUSE_ROOT_ID || i >= 26) return false;
  RootAttributes(st);
  std::lock_guard<std::mutex> g(g_state.mu);
  const LetterEntry& e = g_state.letters[i];
  if (!e.present || NodeOf(i, e.medium) != node) return false;
  st->st_ino = node;
  st->st_mode = S_IFREG | 0444;
  st->st_nlink = 1;
  st->st_size = static_cast<off_t>(e.size);
  st->st_blksize = 2048;
  st->st_mtime = st->st_ctime = st->st_atime = e.since;
  st->st_blocks = static_cast<blkcnt_t>((e.size + 511) / 512);
  return true;
}

void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  fuse_entry_param e{};
  const bool letter = parent == FUSE_ROOT_ID && name[0] >= 'A' && name[0] <= 'Z' && name[1] == '\0';
  if (letter) {
    std::lock_guard<std::mutex> g(g_state.mu);
    const LetterEntry& l = g_state.letters[name[0] - 'A'];
    if (l.present) e.ino = NodeOf(name[0] - 'A', l.medium);
  }
  if (e.ino == 0 || !LetterAttributes(e.ino, &e.attr)) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  e.attr_timeout = kForever;
  e.entry_timeout = kForever;
  fuse_reply_entry(req, &e);
}

void GetAttr(fuse_req_t req, fuse_ino_t node, fuse_file_info*) {
  struct stat st;
  if (node == FUSE_ROOT_ID) {
    // Never cached: a stat of the mount point must see a dead kvexport (a stale mount).
    RootAttributes(&st);
    fuse_reply_attr(req, &st, 0);
  } else if (LetterAttributes(node, &st)) {
    fuse_reply_attr(req, &st, kForever);
  } else {
    fuse_reply_err(req, ENOMEDIUM);  // a file of a medium that is gone
  }
}

void ReadDir(fuse_req_t req, fuse_ino_t node, size_t size, off_t offset, fuse_file_info*) {
  if (node != FUSE_ROOT_ID) {
    fuse_reply_err(req, ENOTDIR);
    return;
  }
  std::vector<std::pair<std::string, fuse_ino_t>> names = {{".", FUSE_ROOT_ID}, {"..", FUSE_ROOT_ID}};
  {
    std::lock_guard<std::mutex> g(g_state.mu);
    for (int i = 0; i < 26; ++i)
      if (g_state.letters[i].present)
        names.emplace_back(std::string(1, char('A' + i)), NodeOf(i, g_state.letters[i].medium));
  }
  std::vector<char> buf(size);
  size_t used = 0;
  for (size_t k = static_cast<size_t>(std::max<off_t>(offset, 0)); k < names.size(); ++k) {
    struct stat st {};
    st.st_ino = names[k].second;
    st.st_mode = k < 2 ? S_IFDIR : S_IFREG;
    const size_t n =
        fuse_add_direntry(req, buf.data() + used, size - used, names[k].first.c_str(), &st, static_cast<off_t>(k + 1));
    if (n > size - used) break;
    used += n;
  }
  fuse_reply_buf(req, buf.data(), used);
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

void Open(fuse_req_t req, fuse_ino_t node, fuse_file_info* fi) {
  const int i = static_cast<int>(node & 31);
  if (node == FUSE_ROOT_ID || i >= 26) {
    fuse_reply_err(req, EISDIR);
    return;
  }
  if ((fi->flags & O_ACCMODE) != O_RDONLY) {
    fuse_reply_err(req, EROFS);
    return;
  }
  auto drive = std::make_unique<OpenDrive>();
  {
    std::lock_guard<std::mutex> g(g_state.mu);
    const LetterEntry& e = g_state.letters[i];
    if (!e.present || NodeOf(i, e.medium) != node) {
      fuse_reply_err(req, ENOMEDIUM);
      return;
    }
    drive->size = e.size;
    drive->medium = e.medium;
  }
  drive->handle = CreateFile(std::string("\\\\.\\") + static_cast<char>('A' + i) + ":", GENERIC_READ, FILE_SHARE_READ,
                             FILE_FLAG_NO_BUFFERING);
  if (!drive->handle) {
    fuse_reply_err(req, GetLastError() == ERROR_ACCESS_DENIED ? EACCES : ENOENT);
    return;
  }
  drive->letter = i;
  fi->fh = reinterpret_cast<uint64_t>(drive.release());
  // The node's pages are its medium's bytes for as long as it exists.
  fi->keep_cache = 1;
  if (fuse_reply_open(req, fi) != 0) delete reinterpret_cast<OpenDrive*>(fi->fh);
}

void Release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  delete reinterpret_cast<OpenDrive*>(fi->fh);
  fuse_reply_err(req, 0);
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

// The drive reads whole 2048-byte sectors; the request is widened to them and the reply is sent
// from where the drive put the bytes (memory shared with the host).
void Read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
  auto* drive = reinterpret_cast<OpenDrive*>(fi->fh);
  if (offset < 0) return static_cast<void>(fuse_reply_err(req, EINVAL));
  if (!MediumStillThere(*drive)) return static_cast<void>(fuse_reply_err(req, ENOMEDIUM));
  const uint64_t start = static_cast<uint64_t>(offset);
  if (start >= drive->size) return static_cast<void>(fuse_reply_buf(req, nullptr, 0));
  const uint64_t end = std::min<uint64_t>(start + std::min<size_t>(size, kChunk), drive->size);
  const uint64_t alignedStart = start / kv::kSectorSize * kv::kSectorSize;
  const uint64_t alignedEnd = (end + kv::kSectorSize - 1) / kv::kSectorSize * kv::kSectorSize;
  const auto length = static_cast<uint32_t>(alignedEnd - alignedStart);
  SharedRead bytes;
  if (!ReadFileShared(drive->handle, alignedStart, length, &bytes) || bytes.size() != length)
    return static_cast<void>(fuse_reply_err(req, ErrnoOf(GetLastError())));
  // Bytes of a medium that replaced ours are not this file's.
  if (!MediumStillThere(*drive)) return static_cast<void>(fuse_reply_err(req, ENOMEDIUM));
  fuse_reply_buf(req, reinterpret_cast<const char*>(bytes.data()) + (start - alignedStart), end - start);
}

void Init(void*, fuse_conn_info* conn) {
  conn->max_read = kChunk;
  conn->max_readahead = kReadAheadWindow;
  // The data of a node never changes, so the kernel need not check its attributes before reads.
  conn->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
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

// The mount point as the mount table names it: its folder resolved, its own name as given, since
// the mount point itself cannot be resolved while its file system does not answer (a stale mount,
// or ours before its loop runs). Empty when the folder cannot be resolved.
std::string AbsoluteMountPoint(const std::string& mountpoint) {
  const size_t slash = mountpoint.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : mountpoint.substr(0, slash);
  const std::string name = slash == std::string::npos ? mountpoint : mountpoint.substr(slash + 1);
  char resolved[PATH_MAX];
  if (realpath(folder.c_str(), resolved) == nullptr) return {};
  return std::string(resolved) + (std::string(resolved) == "/" ? "" : "/") + name;
}

// The device ("major:minor") of the last kvexport mount at `absolute`; empty when there is none.
std::string OurMountDevice(const std::string& absolute) {
  FILE* table = std::fopen("/proc/self/mountinfo", "r");
  if (table == nullptr) return {};
  std::string device;
  char* line = nullptr;
  size_t capacity = 0;
  while (getline(&line, &capacity, table) > 0) {
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
    if (type == "fuse.kvexport" && Unescape(fields[4]) == absolute) device = fields[2];
  }
  free(line);
  std::fclose(table);
  return device;
}

// A kvexport killed without unmounting leaves its mount behind ("Transport endpoint is not
// connected"); such a mount of ours at the mount point is cleared before mounting again.
void ClearStaleMount(const std::string& mountpoint) {
  struct stat st {};
  if (stat(mountpoint.c_str(), &st) == 0 || errno != ENOTCONN) return;
  const std::string absolute = AbsoluteMountPoint(mountpoint);
  if (absolute.empty() || OurMountDevice(absolute).empty()) return;
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

// The kernel reads ahead of a reader in windows of its default 128 KiB, whatever the requests
// allow; where we may (the system's administrator), the window takes four requests, so that the
// next ones are under way while the reader copies. The kernel keeps the smaller of this and what
// Init offers, whichever comes first. The device comes from the mount table: a stat of the mount
// point would wait for our own loop.
void WidenReadAhead(const std::string& mountpoint) {
  const std::string absolute = AbsoluteMountPoint(mountpoint);
  const std::string device = absolute.empty() ? std::string() : OurMountDevice(absolute);
  if (device.empty() || device.find_first_not_of("0123456789:") != std::string::npos) return;
  if (FILE* f = std::fopen(("/sys/class/bdi/" + device + "/read_ahead_kb").c_str(), "w")) {
    std::fprintf(f, "%u\n", kReadAheadWindow >> 10);
    std::fclose(f);
  }
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

  fuse_lowlevel_ops ops{};
  ops.init = Init;
  ops.lookup = Lookup;
  ops.getattr = GetAttr;
  ops.readdir = ReadDir;
  ops.open = Open;
  ops.release = Release;
  ops.read = Read;

  std::vector<std::string> options = {"kvexport", "-o",
                                      "ro,fsname=kvexport,subtype=kvexport,max_read=" + std::to_string(kChunk)};
  if (allowOther) options.back() += ",allow_other";
  std::vector<char*> fuseArgv;
  for (auto& o : options) fuseArgv.push_back(o.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(fuseArgv.size()), fuseArgv.data());
  fuse_session* se = fuse_session_new(&args, &ops, sizeof ops, nullptr);
  if (se == nullptr) {
    std::fprintf(stderr, "kvexport: cannot create the file system\n");
    return 1;
  }
  if (fuse_session_mount(se, mountpoint.c_str()) != 0) {
    std::fprintf(stderr, "kvexport: %s: cannot mount\n", mountpoint.c_str());
    fuse_session_destroy(se);
    return 1;
  }
  fuse_set_signal_handlers(se);
  WidenReadAhead(mountpoint);
  g_session = se;
  Refresh(0);
  std::thread watcher(Watch);
  std::fprintf(stderr, "kvexport: serving %s\n", mountpoint.c_str());
  fuse_loop_config* loop = fuse_loop_cfg_create();
  fuse_loop_cfg_set_clone_fd(loop, 0);
  fuse_loop_cfg_set_max_threads(loop, 8);
  const int result = fuse_session_loop_mt(se, loop);
  fuse_loop_cfg_destroy(loop);
  g_state.stop = true;
  watcher.join();
  g_session = nullptr;
  fuse_remove_signal_handlers(se);
  fuse_session_unmount(se);
  fuse_session_destroy(se);
  fuse_opt_free_args(&args);
  // Ending on SIGINT/SIGTERM is the normal way out (the loop reports the signal).
  const bool interrupted = result == SIGINT || result == SIGTERM || result == -SIGINT || result == -SIGTERM;
  if (result != 0 && !interrupted) std::fprintf(stderr, "kvexport: the file system loop failed (%d)\n", result);
  return result == 0 || interrupted ? 0 : 1;
}
