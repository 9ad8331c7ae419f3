// Split images (the first volume of a picked later volume, the names and the check of all
// volumes) and the password question with each reader's check.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "formats/daa/daa_image.h"
#include "formats/mzp/mzp_container.h"
#include "manager/inspect/image_probe.h"
#include "platform/wide_text.h"

namespace kv::inspect {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return s;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Opens for reading without blocking on a FIFO or a device; -1 with errno when it fails.
int OpenRegularForReading(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

bool CanOpen(const std::string& path, int* error) {
  const int fd = OpenRegularForReading(path);
  if (fd < 0) {
    if (error) *error = errno;
    return false;
  }
  close(fd);
  return true;
}

// ".partNN" / ".partNNN" just before the extension at `dot`: the position of the digits, or npos.
size_t PartDigits(const std::string& lower, size_t dot, size_t* count) {
  const size_t previous = dot == 0 ? std::string::npos : lower.rfind('.', dot - 1);
  if (previous == std::string::npos) return std::string::npos;
  const size_t length = dot - previous - 1;
  if ((length != 6 && length != 7) || lower.compare(previous + 1, 4, "part") != 0) return std::string::npos;
  for (size_t i = previous + 5; i < dot; ++i)
    if (!IsDigit(lower[i])) return std::string::npos;
  *count = length - 4;
  return previous + 5;
}

// The first volume's name by the rules of the family ("daa"/"gbi" or "mzp").
std::string FirstVolumeFor(const std::string& picked, bool mzp) {
  std::string out = picked;
  const std::string lower = Lower(picked);
  const size_t slash = lower.rfind('/');
  const size_t dot = lower.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || lower.size() - dot != 4) return out;
  const std::string ext = lower.substr(dot + 1);
  if (!mzp && (ext[0] == 'd' || ext[0] == 'g') && IsDigit(ext[1]) && IsDigit(ext[2])) {
    out.replace(dot + 1, 3, ext[0] == 'd' ? "daa" : "gbi");
    return out;
  }
  if ((mzp && ext == "mzp") || (!mzp && (ext == "daa" || ext == "gbi"))) {
    size_t count = 0;
    const size_t at = PartDigits(lower, dot, &count);
    if (at != std::string::npos) out.replace(at, count, count == 2 ? "01" : "001");
  }
  return out;
}

}  // namespace

std::string ToSystemCodePage(const std::u16string& text, size_t limit, bool* truncated) {
  // The system code page of this platform is UTF-8.
  std::string s = platform::Utf16ToUtf8(text);
  *truncated = s.size() > limit;
  if (*truncated) {
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
    s.resize(cut);
  }
  return s;
}

bool RequestPassword(ImageProbe& probe, InspectContext& context, size_t limit,
                     const std::function<bool(const std::string&)>& check) {
  return RequestPassword(probe, context, limit, [&check](const std::string& password) {
    return check(password) ? PasswordCheck::kRight : PasswordCheck::kWrong;
  });
}

bool RequestPassword(ImageProbe& probe, InspectContext& context, size_t limit,
                     const std::function<PasswordCheck(const std::string&)>& check) {
  if (probe.isArchive) {
    probe.archivePasswordAsked = true;
    if (probe.archivePassword) return true;
  }
  for (;;) {
    std::optional<std::u16string> entered;
    if (context.prompts) entered = context.prompts->AskPassword(context.text(560), probe.imagePath);
    if (!entered) return false;
    bool truncated = false;
    if (probe.isArchive) {
      probe.archivePassword = *entered;
      probe.password = ToSystemCodePage(*entered, kPasswordLimit, &truncated);
      probe.passwordKnown = true;
      return true;
    }
    // Every byte counts: a password longer than the reader takes is wrong, never cut.
    const std::string password = ToSystemCodePage(*entered, SIZE_MAX, &truncated);
    const PasswordCheck verdict = password.empty() || password.size() > limit ? PasswordCheck::kWrong : check(password);
    if (verdict == PasswordCheck::kGiveUp) return false;
    if (verdict == PasswordCheck::kRight) {
      probe.password = password;
      probe.passwordKnown = true;
      probe.encrypted = true;
      return true;
    }
    if (!context.prompts->WrongPassword(context.text(550))) return false;
  }
}

std::string VolumeName(const std::string& base, uint32_t index, uint32_t scheme) {
  const std::string lower = Lower(base);
  const size_t dot = lower.rfind('.');
  if (dot == std::string::npos || lower.size() - dot != 4) return {};
  const std::string ext = lower.substr(dot + 1);
  if (ext == "mzp") return platform::Utf16ToUtf8(mzp::MzpVolumeName(platform::Utf8ToUtf16(base), scheme, index));
  if (ext != "daa" && ext != "gbi" && ext != "exe") return {};
  const std::u16string name = daa::VolumeName(platform::Utf8ToUtf16(base), scheme, index, ext == "gbi");
  return platform::Utf16ToUtf8(name);
}

std::string FindFirstVolume(const std::string& picked, InspectContext& context) {
  uint8_t head[40] = {};
  const int fd = OpenRegularForReading(picked);
  if (fd < 0) return picked;
  const ssize_t got = pread(fd, head, sizeof head, 0);
  close(fd);
  if (got < 8) return picked;
  std::string first;
  if (std::memcmp(head, "DAA VOL", 8) == 0 || std::memcmp(head, "GBI VOL", 8) == 0)
    first = FirstVolumeFor(picked, false);
  else if (std::memcmp(head, "MZP VOL", 8) == 0)
    first = FirstVolumeFor(picked, true);
  else
    return picked;
  if (Lower(first) == Lower(picked)) return picked;
  int error = 0;
  if (CanOpen(first, &error)) return first;
  std::string exe = first;
  exe.replace(exe.size() - 3, 3, "exe");
  if (CanOpen(exe, nullptr)) return exe;
  if (context.prompts)
    context.prompts->ShowError(platform::Utf8ToUtf16(first) + u"\r\n\r\n" +
                               platform::Utf8ToUtf16(std::strerror(error)) + u"\r\n" + context.text(590));
  return {};
}

bool OpenAllVolumes(SplitVolumes& volumes, const std::string& firstVolume, InspectContext& context) {
  bool all = true;
  volumes.names.resize(volumes.count);
  volumes.opened.assign(volumes.count, false);
  for (uint32_t i = 0; i < volumes.count; ++i) {
    if (volumes.names[i].empty()) volumes.names[i] = VolumeName(firstVolume, i, volumes.scheme);
    int error = ENOENT;
    volumes.opened[i] = !volumes.names[i].empty() && CanOpen(volumes.names[i], &error);
    if (!volumes.opened[i]) {
      all = false;
      if (error != ENOENT && context.prompts)
        context.prompts->ShowError(platform::Utf8ToUtf16(volumes.names[i]) + u"\r\n\r\n" +
                                   platform::Utf8ToUtf16(std::strerror(error)));
    }
  }
  return all;
}

VolumeDecision ConfirmVolumes(ImageProbe& probe, bool skipAllowed, InspectContext& context) {
  if (!probe.volumes) return VolumeDecision::kContinue;
  for (;;) {
    if (OpenAllVolumes(*probe.volumes, probe.imagePath, context)) return VolumeDecision::kContinue;
    MissingVolumes shown;
    const size_t slash = probe.imagePath.rfind('/');
    shown.folder = slash == std::string::npos ? std::string() : probe.imagePath.substr(0, slash + 1);
    for (uint32_t i = 0; i < probe.volumes->count; ++i)
      if (!probe.volumes->opened[i]) {
        const std::string& name = probe.volumes->names[i];
        const size_t s = name.rfind('/');
        shown.missing.push_back(name.empty()             ? "#" + std::to_string(i + 1)
                                : s == std::string::npos ? name
                                                         : name.substr(s + 1));
      }
    if (!context.prompts) return VolumeDecision::kGiveUp;
    const VolumesAnswer answer = context.prompts->AskMissingVolumes(
        shown, skipAllowed, {context.text(600), context.text(610), context.text(620), context.text(630)});
    if (!answer.ok) return VolumeDecision::kGiveUp;
    if (answer.skip && skipAllowed) return VolumeDecision::kContinue;
  }
}

}  // namespace kv::inspect
