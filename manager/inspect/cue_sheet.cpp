// Cue sheets: lines of keywords, a state machine over FILE, TRACK and INDEX, the gaps between
// tracks, and the texts kept beside the layout.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <new>

#include "manager/inspect/disc_layout.h"
#include "platform/codepage.h"

namespace kv {
namespace {

constexpr size_t kLongestLine = 2048;
constexpr int32_t kNoPosition = -1;

enum CueState { CUE_START, CUE_FILE, CUE_TRACK, CUE_FLAGS, CUE_PREGAP, CUE_INDEX0, CUE_INDEX1, CUE_POSTGAP };

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}
bool EndsLine(char c) {
  return c == '\r' || c == '\n' || c == '\0';
}

// Tokens of one line; in time mode a colon is a token of its own.
class Tokens {
 public:
  explicit Tokens(const std::string& line) : line_(line) {}
  std::string Next(bool timeMode = false) {
    while (pos_ < line_.size() && (IsBlank(line_[pos_]) || line_[pos_] == '\r' || line_[pos_] == '\n')) ++pos_;
    std::string token;
    if (pos_ >= line_.size() || pos_ >= kLongestLine) return token;
    if (line_[pos_] == '"') {
      ++pos_;
      while (pos_ < line_.size() && line_[pos_] != '"' && !EndsLine(line_[pos_])) token += line_[pos_++];
      if (pos_ < line_.size()) ++pos_;
    } else if (timeMode && line_[pos_] == ':') {
      ++pos_;
      return ":";
    } else {
      while (pos_ < line_.size() && !IsBlank(line_[pos_]) && !EndsLine(line_[pos_])) {
        if (timeMode && line_[pos_] == ':') return token;
        token += line_[pos_++];
      }
      if (pos_ < line_.size()) ++pos_;
    }
    while (!token.empty() && (IsBlank(token.back()) || token.back() == '"')) token.pop_back();
    return token;
  }
  bool AtEnd() {
    const size_t keep = pos_;
    const bool end = Next().empty();
    pos_ = keep;
    return end;
  }

 private:
  const std::string& line_;
  size_t pos_ = 0;
};

bool Decimal(const std::string& s, int64_t maximum, int64_t* out) {
  if (s.empty() || s.size() > 10) return false;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v > maximum) return false;
  *out = v;
  return true;
}

// mm:ss:ff as sectors; false for any deviation.
bool TimeValue(Tokens& t, int32_t* sectors) {
  int64_t m = 0, s = 0, f = 0;
  if (!Decimal(t.Next(true), (INT32_MAX - 4499) / 4500, &m) || t.Next(true) != ":" || !Decimal(t.Next(true), 59, &s) ||
      t.Next(true) != ":" || !Decimal(t.Next(true), 74, &f))
    return false;
  *sectors = static_cast<int32_t>(m * 4500 + s * 75 + f);
  return true;
}

bool Is(const std::string& a, const char* b) {
  return strcasecmp(a.c_str(), b) == 0;
}

struct CurrentFile {
  OwnedFile file;
  std::string path;
  int64_t size = 0;
  int64_t dataOffset = 0;
  int32_t sectorSize = 0;  // 0 until the first TRACK of the file
  int64_t sectorCount = 0;
  int32_t lastPosition = kNoPosition;
  bool newFile = false;
};

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

bool PreadExact(int fd, void* out, size_t n, int64_t at) {
  return pread(fd, out, n, static_cast<off_t>(at)) == static_cast<ssize_t>(n);
}

// A RIFF WAVE file: the data chunk directly after the format chunk.
bool ReadWave(CurrentFile& f) {
  const size_t dot = f.path.find_last_of('.');
  uint8_t head[12];
  if (!PreadExact(f.file.get(), head, sizeof head, 0)) return false;
  const bool wavName = dot != std::string::npos && strcasecmp(f.path.c_str() + dot + 1, "wav") == 0;
  if (!wavName && std::memcmp(head, "RIFF", 4) != 0) return false;
  uint8_t fmt[8];
  if (std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0 ||
      !PreadExact(f.file.get(), fmt, sizeof fmt, 12) || std::memcmp(fmt, "fmt ", 4) != 0)
    return false;
  const int64_t formatSize = Le32(fmt + 4);
  uint8_t data[8];
  if (!PreadExact(f.file.get(), data, sizeof data, 20 + formatSize) || std::memcmp(data, "data", 4) != 0) return false;
  int64_t dataSize = Le32(data + 4);
  f.dataOffset = 28 + formatSize;
  if (f.dataOffset >= f.size) return false;
  if (f.dataOffset + dataSize > f.size) dataSize = f.size - f.dataOffset;
  f.sectorSize = static_cast<int32_t>(kRawSectorSize);
  f.sectorCount = (dataSize + kRawSectorSize - 1) / kRawSectorSize;
  return f.sectorCount > 0;
}

class CueParser {
 public:
  CueParser(DiscLayout& layout) : l_(layout) {}
  bool Line(const std::string& line);
  bool Finish();

 private:
  bool Catalog(Tokens& t);
  bool CdTextFile(Tokens& t);
  bool File(Tokens& t);
  bool Flags(Tokens& t);
  bool Track(Tokens& t);
  bool Isrc(Tokens& t);
  bool Text(Tokens& t, int k);
  bool Pregap(Tokens& t);
  bool Index(Tokens& t);
  bool Postgap(Tokens& t);
  bool InTrackHeader() const { return state_ >= CUE_TRACK && state_ <= CUE_PREGAP; }
  TrackInfo* Current() { return InfoFor(l_, l_.trackCount); }

  DiscLayout& l_;
  CueState state_ = CUE_START;
  CurrentFile file_;
};

bool CueParser::Line(const std::string& line) {
  Tokens t(line);
  const std::string keyword = t.Next();
  if (Is(keyword, "CATALOG")) return Catalog(t);
  if (Is(keyword, "CDTEXTFILE")) return CdTextFile(t);
  if (Is(keyword, "FILE")) return File(t);
  if (Is(keyword, "FLAGS")) return Flags(t);
  if (Is(keyword, "TRACK")) return Track(t);
  if (Is(keyword, "ISRC")) return Isrc(t);
  if (Is(keyword, "PERFORMER")) return Text(t, 1);
  if (Is(keyword, "TITLE")) return Text(t, 0);
  if (Is(keyword, "PREGAP")) return Pregap(t);
  if (Is(keyword, "INDEX")) return Index(t);
  if (Is(keyword, "POSTGAP")) return Postgap(t);
  if (Is(keyword, "SONGWRITER")) return Text(t, 2);
  if (Is(keyword, "COMPOSER")) return Text(t, 3);
  return true;  // REM and unknown keywords
}

bool CueParser::Catalog(Tokens& t) {
  if (state_ != CUE_START) return false;
  const std::string value = t.Next();
  if (value.empty()) return true;
  if (value.size() != 13) return false;
  for (char c : value)
    if (c < '0' || c > '9') return false;
  TrackInfo* info = InfoFor(l_, 0);
  if (!info) return false;
  info->text[14] = value;
  return true;
}

bool CueParser::CdTextFile(Tokens& t) {
  if (state_ != CUE_START) return false;
  const std::string path = ResolveDescriptorName(l_.descriptorPath, t.Next());
  if (path.empty()) return false;
  std::vector<uint8_t> bytes;
  OwnedFile f(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!f || fstat(f.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 18 || st.st_size > 65536) return false;
  bytes.resize(static_cast<size_t>(st.st_size));
  if (!PreadExact(f.get(), bytes.data(), bytes.size(), 0) || !ValidateCdText(bytes)) return false;
  l_.cdText = std::move(bytes);
  return true;
}

bool CueParser::File(Tokens& t) {
  if (state_ != CUE_START && state_ != CUE_INDEX1 && state_ != CUE_POSTGAP) return false;
  file_ = CurrentFile{};
  const std::string path = ResolveDescriptorName(l_.descriptorPath, t.Next());
  if (path.empty()) return false;
  file_.file = OwnedFile(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!file_.file || fstat(file_.file.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 2048) return false;
  file_.path = path;
  file_.size = st.st_size;
  const std::string type = t.Next();
  if (Is(type, "BINARY") || Is(type, "MOTOROLA")) {
    // MOTOROLA (big-endian audio) is served like BINARY.
  } else if (Is(type, "WAVE") || Is(type, "AIFF") || Is(type, "MP3")) {
    if (!ReadWave(file_)) return false;
  } else {
    return false;
  }
  if (!t.AtEnd()) return false;
  file_.lastPosition = kNoPosition;
  if (l_.trackCount == 0) l_.imagePath = path;
  file_.newFile = true;
  state_ = CUE_FILE;
  return true;
}

bool CueParser::Flags(Tokens& t) {
  if (!InTrackHeader()) return false;
  state_ = CUE_FLAGS;
  TrackInfo* info = Current();
  if (!info) return false;
  for (std::string flag = t.Next(); !flag.empty(); flag = t.Next()) {
    if (Is(flag, "DCP"))
      info->flags |= kFlagDcp;
    else if (Is(flag, "4CH"))
      info->flags |= kFlag4Ch;
    else if (Is(flag, "PRE"))
      info->flags |= kFlagPre;
    else if (Is(flag, "SCMS"))
      info->flags |= kFlagScms;
    else
      return false;
  }
  return true;
}

bool CueParser::Track(Tokens& t) {
  int64_t number = 0;
  if (!Decimal(t.Next(), 99, &number) || number != l_.trackCount + 1 || !file_.file) return false;
  const std::string kind = t.Next();
  uint8_t mode;
  int32_t size;
  if (Is(kind, "AUDIO")) {
    mode = TRACK_AUDIO, size = 2352;
  } else if (Is(kind, "MODE1/2352")) {
    mode = TRACK_MODE1_RAW, size = 2352;
  } else if (Is(kind, "MODE2/2352")) {
    mode = TRACK_MODE2_RAW, size = 2352;
  } else if (Is(kind, "MODE1/2048")) {
    mode = TRACK_MODE1_2048, size = 2048;
  } else if (Is(kind, "MODE2/2336")) {
    mode = TRACK_MODE2_2336, size = 2336;
  } else {
    return false;
  }
  if (file_.sectorSize == 0) {
    file_.sectorSize = size;
    file_.sectorCount = (file_.size - file_.dataOffset + size - 1) / size;
  } else if (file_.sectorSize != size) {
    return false;  // all tracks of one FILE share one sector size
  }
  const int slot = l_.trackCount;
  l_.mode[slot] = mode;
  l_.sectorSize[slot] = size;
  l_.fileEnd[slot] = file_.size;
  l_.trackFile[slot] = file_.path;
  // File names are case-sensitive here: "A.bin" and "a.bin" are two files.
  if (file_.path != l_.imagePath) {
    l_.trackOpenFile[slot] = OwnedFile(open(file_.path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!l_.trackOpenFile[slot]) return false;
  }
  ++l_.trackCount;
  if (!t.AtEnd()) return false;
  state_ = CUE_TRACK;
  return true;
}

bool CueParser::Isrc(Tokens& t) {
  if (!InTrackHeader()) return false;
  state_ = CUE_FLAGS;
  const std::string value = t.Next();
  if (value.empty()) return true;
  if (!t.AtEnd()) return false;
  // CC-XXX-YY-NNNNN with the hyphens optional.
  std::string plain;
  size_t at = 0;
  const size_t groups[] = {2, 3, 2, 5};
  for (size_t g = 0; g < 4; ++g) {
    if (g > 0 && at < value.size() && value[at] == '-') ++at;
    for (size_t k = 0; k < groups[g]; ++k, ++at) {
      if (at >= value.size()) return false;
      const char c = value[at];
      const bool digit = c >= '0' && c <= '9';
      if (g < 2 ? !(digit || (c >= 'A' && c <= 'Z')) : !digit) return false;
      plain += c;
    }
  }
  if (at != value.size()) return false;
  TrackInfo* info = Current();
  if (!info) return false;
  info->text[14] = plain;
  return true;
}

bool CueParser::Text(Tokens& t, int k) {
  if (state_ != CUE_START && !InTrackHeader()) return false;
  std::string value = t.Next();
  if (value.empty()) return true;
  if (!t.AtEnd()) return false;
  if (value.size() > 80) value.resize(80);
  TrackInfo* info = state_ == CUE_START ? InfoFor(l_, 0) : Current();
  if (!info) return false;
  info->text[k] = value;
  return true;
}

bool CueParser::Pregap(Tokens& t) {
  int32_t value = 0;
  if (!InTrackHeader() || !TimeValue(t, &value)) return true;
  const int slot = l_.trackCount - 1;
  if (l_.pregap[slot] == 0) {
    l_.pregap[slot] = value;
    state_ = CUE_PREGAP;
  }
  return true;
}

bool CueParser::Postgap(Tokens& t) {
  int32_t value = 0;
  if ((state_ != CUE_INDEX1 && state_ != CUE_POSTGAP) || !TimeValue(t, &value)) return true;
  const int slot = l_.trackCount - 1;
  if (l_.postgap[slot] == 0) {
    l_.postgap[slot] += value;
    state_ = CUE_POSTGAP;
  }
  return true;
}

bool CueParser::Index(Tokens& t) {
  int64_t n = 0;
  int32_t p = 0;
  if (!Decimal(t.Next(), 99, &n) || !TimeValue(t, &p)) return false;
  if (p >= file_.sectorCount || p <= file_.lastPosition || l_.trackCount == 0) return false;
  const int ti = l_.trackCount - 1, q = ti - 1;
  TrackInfo* existing = l_.info[l_.trackCount].get();
  if (InTrackHeader()) {
    if (n > 1) return false;
  } else if (state_ == CUE_INDEX0) {
    if (n != 1) return false;
  } else if (state_ == CUE_INDEX1) {
    if (n != (existing ? existing->lastIndex + 1 : 2)) return false;
  } else {
    return false;
  }
  if (n == 0) {
    if (ti > 0 && !file_.newFile && int64_t{p} - l_.index1Position[q] + l_.postgap[q] - l_.postgapInFile[q] < 150)
      return true;  // too close to the previous track's start: ignored
    TrackInfo* info = Current();
    if (!info) return false;
    info->indexPosition[0] = p;
    state_ = CUE_INDEX0;
  } else if (n == 1) {
    if (state_ == CUE_INDEX0) {
      TrackInfo* info = Current();
      const int32_t index0 = info->indexPosition[0];
      info->indexPosition[0] = index0 - p;
      l_.pregap[ti] += p - index0;
      // The sectors between INDEX 00 and INDEX 01 are in the file.
      l_.pregapInFile[ti] = p - index0;
      info->lastIndex = 1;
    } else if (existing) {
      existing->lastIndex = 1;
    }
    if (ti > 0 && !file_.newFile) {
      // The previous track ends where this track's stored pregap begins; gaps that are not in
      // the file take no sectors of it.
      l_.length[q] = p - l_.pregapInFile[ti] - l_.index1Position[q] - l_.postgapInFile[q];
      if (l_.length[q] < 0) return false;
    }
    const int64_t start = ti > 0 ? int64_t{l_.start[q]} + l_.length[q] + l_.postgap[q] + l_.pregap[ti] : l_.pregap[0];
    if (start > INT32_MAX) return false;
    l_.start[ti] = static_cast<int32_t>(start);
    l_.index1Position[ti] = p;
    l_.trackDataOffset[ti] = file_.dataOffset;
    l_.fileOffset[ti] = int64_t{l_.sectorSize[ti]} * p + file_.dataOffset;
    l_.length[ti] = static_cast<int32_t>(file_.sectorCount - p);
    state_ = CUE_INDEX1;
    file_.newFile = false;
  } else {
    TrackInfo* info = Current();
    if (!info) return false;
    info->indexPosition[n] = p - l_.index1Position[ti];
    info->lastIndex = static_cast<int32_t>(n);
  }
  if (!t.AtEnd()) return false;
  file_.lastPosition = p;
  return true;
}

bool CueParser::Finish() {
  file_ = CurrentFile{};
  if (l_.trackCount < 1 || l_.trackCount > kMaxTracks - 1) return false;
  if (state_ != CUE_INDEX1 && state_ != CUE_POSTGAP) return false;
  if (!l_.cdText.empty() && !DistributeCdText(l_)) return false;
  const uint32_t codePage = platform::AnsiCodePage();
  for (auto& info : l_.info) {
    if (!info) continue;
    for (int k = 0; k < kTrackTextCount; ++k) info->wideText[k] = platform::AnsiToWide(info->text[k], codePage);
  }
  return true;
}

}  // namespace

std::unique_ptr<DiscLayout> ParseCueSheet(const std::string& path) {
  std::vector<uint8_t> bytes;
  if (!ReadDescriptorFile(path, &bytes)) return nullptr;
  std::unique_ptr<DiscLayout> layout(new (std::nothrow) DiscLayout());
  if (!layout) return nullptr;
  layout->descriptorPath = path;
  const char* text = reinterpret_cast<const char*>(bytes.data());
  const size_t size = bytes.size() - 16;
  size_t pos = 0;
  if (size >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) pos = 3;  // a UTF-8 byte-order mark
  CueParser parser(*layout);
  for (;;) {
    while (pos < size && (text[pos] == '\r' || text[pos] == '\n' || IsBlank(text[pos]))) ++pos;
    if (pos >= size || text[pos] == '\0') break;
    const size_t begin = pos;
    while (pos < size && !EndsLine(text[pos])) ++pos;
    // An over-long line keeps its first 2048 characters; the rest of it is not a line of its own.
    std::string line(text + begin, std::min(pos - begin, kLongestLine));
    if (pos < size) ++pos;
    while (!line.empty() && IsBlank(line.back())) line.pop_back();
    if (!parser.Line(line)) {
      parser.Finish();
      return nullptr;
    }
  }
  if (!parser.Finish()) return nullptr;
  return layout;
}

}  // namespace kv
