// Cue sheets: a line-by-line state machine over the 14 keywords.
#include <algorithm>
#include <cstring>
#include <new>

#include "manager/inspect/descriptor_file.h"
#include "platform/codepage.h"

namespace kv::inspect {
namespace {

constexpr size_t kLineLimit = 2048;
constexpr size_t kTextLimit = 80;

enum CueState { CUE_START, CUE_FILE, CUE_TRACK, CUE_FLAGS, CUE_PREGAP, CUE_INDEX0, CUE_INDEX1, CUE_POSTGAP };

bool IsBlank(char c) {
  return c == '\r' || c == '\n' || c == ' ' || c == '\t';
}

// One line's tokens, read again from the start by each handler.
class Tokens {
 public:
  explicit Tokens(const std::string& line) : line_(line) {}

  std::string Next(bool timeMode = false) {
    while (pos_ < line_.size() && IsBlank(line_[pos_])) ++pos_;
    std::string token;
    if (pos_ >= line_.size() || pos_ >= kLineLimit) return token;
    if (line_[pos_] == '"') {
      ++pos_;
      while (pos_ < line_.size() && line_[pos_] != '"' && line_[pos_] != '\r' && line_[pos_] != '\n')
        Append(&token, line_[pos_++]);
      if (pos_ < line_.size()) ++pos_;
    } else if (timeMode && line_[pos_] == ':') {
      ++pos_;
      return ":";
    } else {
      while (pos_ < line_.size() && !IsBlank(line_[pos_])) {
        if (timeMode && line_[pos_] == ':') return Trim(token);
        Append(&token, line_[pos_++]);
      }
      if (pos_ < line_.size()) ++pos_;
    }
    return Trim(token);
  }

 private:
  static void Append(std::string* token, char c) {
    if (token->size() < kLineLimit) token->push_back(c);
  }
  static std::string Trim(std::string token) {
    while (!token.empty() && (token.back() == ' ' || token.back() == '\t' || token.back() == '"')) token.pop_back();
    return token;
  }
  const std::string& line_;
  size_t pos_ = 0;
};

// Strict decimal: digits only, at most 9 of them.
bool ParseDecimal(const std::string& s, int32_t* value) {
  if (s.empty() || s.size() > 9) return false;
  int32_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *value = v;
  return true;
}

// mm:ss:ff in sectors; -1 when malformed. Minutes are capped so the value stays an i32.
int64_t ReadTime(Tokens* tokens) {
  int32_t m = 0, s = 0, f = 0;
  if (!ParseDecimal(tokens->Next(true), &m) || tokens->Next(true) != ":" || !ParseDecimal(tokens->Next(true), &s) ||
      tokens->Next(true) != ":" || !ParseDecimal(tokens->Next(true), &f))
    return -1;
  if (m > 400000 || s > 59 || f > 74) return -1;
  return static_cast<int64_t>(m) * 4500 + s * 75 + f;
}

uint32_t ReadLE32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool ValidIsrc(const std::string& value, std::string* normalised) {
  if (value.size() < 12 || value.size() > 15) return false;
  // Groups of 2, 3, 2 and 5 characters, each but the first optionally preceded by a hyphen.
  static constexpr int kGroup[4] = {2, 3, 2, 5};
  size_t pos = 0;
  std::string out;
  for (int g = 0; g < 4; ++g) {
    if (g > 0 && pos < value.size() && value[pos] == '-') ++pos;
    for (int i = 0; i < kGroup[g]; ++i, ++pos) {
      if (pos >= value.size()) return false;
      const char c = value[pos];
      const bool digit = c >= '0' && c <= '9';
      if (!(digit || (g < 2 && c >= 'A' && c <= 'Z'))) return false;
      out.push_back(c);
    }
  }
  if (pos != value.size()) return false;
  *normalised = out;
  return true;
}

class CueParser {
 public:
  CueParser(DiscLayout* layout, ParseFailure* failure, bool utf8)
      : L_(*layout), failure_(failure), codePage_(utf8 ? 65001 : platform::AnsiCodePage()) {}

  bool Line(const std::string& line, int number) {
    lineNumber_ = number;
    Tokens tokens(line);
    const std::string keyword = tokens.Next();
    static constexpr const char* kKeywords[14] = {"CATALOG", "CDTEXTFILE", "FILE",     "FLAGS",  "TRACK",
                                                  "ISRC",    "PERFORMER",  "TITLE",    "PREGAP", "INDEX",
                                                  "POSTGAP", "SONGWRITER", "COMPOSER", "REM"};
    int k = 0;
    while (k < 14 && !EqualsIgnoringCase(keyword, kKeywords[k])) ++k;
    switch (k) {
      case 0:
        return Catalog(&tokens);
      case 1:
        return CdTextFile(&tokens);
      case 2:
        return File(&tokens);
      case 3:
        return Flags(&tokens);
      case 4:
        return Track(&tokens);
      case 5:
        return Isrc(&tokens);
      case 6:
        return Text(&tokens, kTextPerformer, keyword);
      case 7:
        return Text(&tokens, kTextTitle, keyword);
      case 8:
        return Pregap(&tokens);
      case 9:
        return Index(&tokens);
      case 10:
        return Postgap(&tokens);
      case 11:
        return Text(&tokens, kTextSongwriter, keyword);
      case 12:
        return Text(&tokens, kTextComposer, keyword);
      default:
        return true;  // REM and unknown keywords
    }
  }

  bool Finish() {
    file_.reset();
    lineNumber_ = 0;
    if (L_.trackCount < 1 || L_.trackCount > kMaxLayoutTracks) return Error("no TRACK");
    if (state_ != CUE_INDEX1 && state_ != CUE_POSTGAP)
      return Error("track " + std::to_string(L_.trackCount) + " has no INDEX 01");
    for (int t = 0; t < L_.trackCount; ++t)
      if (L_.length[t] < 0 || L_.pregap[t] < 0)
        return Error("track " + std::to_string(t + 1) + " has a negative length or pregap");
    if (!L_.cdText.empty() && !DistributeCdText(L_.cdText, &L_)) return Error("out of memory");
    for (auto& info : L_.info) {
      if (!info) continue;
      for (int k = 0; k < kTrackTextCount; ++k)
        if (!info->text[k].empty()) info->wideText[k] = platform::AnsiToWide(info->text[k], codePage_);
    }
    return true;
  }

 private:
  bool Error(const std::string& reason) {
    return Fail(failure_, lineNumber_ > 0 ? "line " + std::to_string(lineNumber_) + ": " + reason : reason);
  }
  bool InTrackHeader() const { return state_ >= CUE_TRACK && state_ <= CUE_PREGAP; }
  int Slot() const { return L_.trackCount - 1; }
  std::u16string Resolve(const std::string& name) {
    return ResolveDescriptorName(L_.descriptorPath, platform::AnsiToWide(name, codePage_));
  }

  bool Catalog(Tokens* t) {
    if (state_ != CUE_START) return Error("CATALOG after the first FILE or TRACK");
    const std::string value = t->Next();
    if (value.empty()) return true;
    if (value.size() != 13 || value.find_first_not_of("0123456789") != std::string::npos)
      return Error("CATALOG is not 13 digits");
    TrackInfo* info = L_.Info(0);
    if (!info) return Error("out of memory");
    info->text[kTextCode] = value;
    return true;
  }

  bool CdTextFile(Tokens* t) {
    if (state_ != CUE_START) return Error("CDTEXTFILE after the first FILE or TRACK");
    const std::string name = t->Next();
    if (name.empty()) return Error("CDTEXTFILE without a name");
    const std::u16string path = Resolve(name);
    if (path.empty()) return Error("CDTEXTFILE name cannot be resolved");
    std::string why;
    auto file = OpenWidePath(path, &why);
    if (!file) return Error(why);
    const int64_t size = file->Size();
    if (size < 18 || size > 65536) return Error("CD-TEXT file of " + std::to_string(size) + " bytes");
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    uint32_t got = 0;
    if (!file->Read(0, static_cast<uint32_t>(size), bytes.data(), &got) || got != size)
      return Error("cannot read the CD-TEXT file");
    if (!ValidateCdText(bytes, &L_.cdText, &why)) return Error("CD-TEXT file: " + why);
    return true;
  }

  bool File(Tokens* t) {
    if (state_ != CUE_START && state_ != CUE_INDEX1 && state_ != CUE_POSTGAP)
      return Error("FILE before the previous track has an INDEX 01");
    file_.reset();
    const std::string name = t->Next();
    if (name.empty()) return Error("FILE without a name");
    filePath_ = Resolve(name);
    if (filePath_.empty()) return Error("FILE name cannot be resolved");
    std::string why;
    file_ = OpenWidePath(filePath_, &why);
    if (!file_) return Error(why);
    fileSize_ = file_->Size();
    if (fileSize_ < 2048) return Error(Narrow(filePath_) + " is shorter than 2048 bytes");
    const std::string type = t->Next();
    if (EqualsIgnoringCase(type, "BINARY") || EqualsIgnoringCase(type, "MOTOROLA")) {
      dataOffset_ = 0;
      fileSectorSize_ = 0;
      fileSectorCount_ = 0;
    } else if (EqualsIgnoringCase(type, "WAVE") || EqualsIgnoringCase(type, "AIFF") ||
               EqualsIgnoringCase(type, "MP3")) {
      if (!Wave()) return false;
    } else {
      return Error("FILE type \"" + type + "\" is not BINARY, MOTOROLA, WAVE, AIFF or MP3");
    }
    if (!t->Next().empty()) return Error("FILE line has more than a name and a type");
    lastIndex_ = -1;
    if (L_.trackCount == 0) L_.imagePath = filePath_;
    newFile_ = true;
    state_ = CUE_FILE;
    return true;
  }

  // RIFF WAVE with the data chunk right after the format chunk.
  bool Wave() {
    uint8_t head[20];
    uint32_t got = 0;
    if (!file_->Read(0, sizeof head, head, &got) || got != sizeof head || std::memcmp(head, "RIFF", 4) != 0 ||
        std::memcmp(head + 8, "WAVE", 4) != 0 || std::memcmp(head + 12, "fmt ", 4) != 0)
      return Error(Narrow(filePath_) + " is not a RIFF WAVE file");
    const int64_t formatSize = ReadLE32(head + 16);
    const int64_t dataOffset = 28 + formatSize;
    uint8_t data[8];
    if (dataOffset >= fileSize_ || !file_->Read(20 + formatSize, sizeof data, data, &got) || got != sizeof data ||
        std::memcmp(data, "data", 4) != 0)
      return Error(Narrow(filePath_) + ": the WAVE data chunk does not follow the format chunk");
    int64_t dataSize = ReadLE32(data + 4);
    if (dataOffset + dataSize > fileSize_) dataSize = fileSize_ - dataOffset;
    dataOffset_ = dataOffset;
    fileSectorSize_ = 2352;
    fileSectorCount_ = (dataSize + 2351) / 2352;
    if (fileSectorCount_ == 0) return Error(Narrow(filePath_) + " holds no audio");
    return true;
  }

  bool Flags(Tokens* t) {
    if (!InTrackHeader()) return Error("FLAGS outside a track's header");
    state_ = CUE_FLAGS;
    TrackInfo* info = L_.Info(L_.trackCount);
    if (!info) return Error("out of memory");
    for (std::string flag = t->Next(); !flag.empty(); flag = t->Next()) {
      if (EqualsIgnoringCase(flag, "DCP"))
        info->flags |= kFlagDcp;
      else if (EqualsIgnoringCase(flag, "4CH"))
        info->flags |= kFlag4Channel;
      else if (EqualsIgnoringCase(flag, "PRE"))
        info->flags |= kFlagPreEmphasis;
      else if (EqualsIgnoringCase(flag, "SCMS"))
        info->flags |= kFlagScms;
      else
        return Error("unknown flag " + flag);
    }
    return true;
  }

  bool Track(Tokens* t) {
    int32_t number = 0;
    if (!ParseDecimal(t->Next(), &number) || number != L_.trackCount + 1)
      return Error("TRACK numbers must run 1, 2, 3 ... (expected " + std::to_string(L_.trackCount + 1) + ")");
    if (number > kMaxLayoutTracks) return Error("more than 99 tracks");
    if (!file_) return Error("TRACK before any FILE");
    const std::string modeName = t->Next();
    static constexpr struct {
      const char* name;
      uint8_t mode;
      int32_t size;
    } kModes[] = {{"AUDIO", TRACK_AUDIO, 2352},
                  {"MODE1/2352", TRACK_MODE1_RAW, 2352},
                  {"MODE2/2352", TRACK_MODE2_RAW, 2352},
                  {"MODE1/2048", TRACK_MODE1_2048, 2048},
                  {"MODE2/2336", TRACK_MODE2_2336, 2336}};
    const auto* mode = std::begin(kModes);
    while (mode != std::end(kModes) && !EqualsIgnoringCase(modeName, mode->name)) ++mode;
    if (mode == std::end(kModes)) return Error("unknown track mode \"" + modeName + "\"");
    const int slot = L_.trackCount;
    L_.mode[slot] = mode->mode;
    L_.sectorSize[slot] = mode->size;
    if (fileSectorSize_ == 0) {
      fileSectorSize_ = mode->size;
      fileSectorCount_ = (fileSize_ - dataOffset_ + mode->size - 1) / mode->size;
    } else if (fileSectorSize_ != mode->size) {
      return Error("track " + std::to_string(number) + " has another sector size than the tracks before it in " +
                   Narrow(filePath_));
    }
    L_.fileEnd[slot] = fileSize_;
    L_.trackFilePath[slot] = filePath_;
    if (filePath_ != L_.imagePath) {
      std::string why;
      L_.trackFile[slot] = OpenWidePath(filePath_, &why);
      if (!L_.trackFile[slot]) return Error(why);
    }
    ++L_.trackCount;
    state_ = CUE_TRACK;
    if (!t->Next().empty()) return Error("TRACK line has more than a number and a mode");
    return true;
  }

  bool Isrc(Tokens* t) {
    if (!InTrackHeader()) return Error("ISRC outside a track's header");
    const std::string value = t->Next();
    if (value.empty()) return true;
    state_ = CUE_FLAGS;
    std::string normalised;
    if (!ValidIsrc(value, &normalised)) return Error("ISRC \"" + value + "\" is not valid");
    if (!t->Next().empty()) return Error("ISRC line has more than one value");
    TrackInfo* info = L_.Info(L_.trackCount);
    if (!info) return Error("out of memory");
    info->text[kTextCode] = normalised;
    return true;
  }

  bool Text(Tokens* t, int k, const std::string& keyword) {
    int slot;
    if (state_ == CUE_START)
      slot = 0;
    else if (InTrackHeader())
      slot = L_.trackCount;
    else
      return Error(keyword + " outside the disc's or a track's header");
    std::string value = t->Next();
    if (value.empty()) return true;
    if (!t->Next().empty()) return Error(keyword + " value with more than one word needs quotes");
    if (value.size() > kTextLimit) value.resize(kTextLimit);
    TrackInfo* info = L_.Info(slot);
    if (!info) return Error("out of memory");
    info->text[k] = value;
    return true;
  }

  bool Pregap(Tokens* t) {
    if (!InTrackHeader()) return true;
    const int64_t value = ReadTime(t);
    if (value < 0 || L_.pregap[Slot()] != 0) return true;
    L_.pregap[Slot()] = static_cast<int32_t>(value);
    state_ = CUE_PREGAP;
    return true;
  }

  bool Postgap(Tokens* t) {
    if (state_ != CUE_INDEX1 && state_ != CUE_POSTGAP) return true;
    const int64_t value = ReadTime(t);
    if (value < 0 || L_.postgap[Slot()] != 0) return true;
    L_.postgap[Slot()] = static_cast<int32_t>(value);
    state_ = CUE_POSTGAP;
    return true;
  }

  bool Index(Tokens* tokens) {
    int32_t n = 0;
    if (!ParseDecimal(tokens->Next(), &n) || n > 99) return Error("INDEX number is not 0..99");
    const int64_t p = ReadTime(tokens);
    if (p < 0) return Error("INDEX time is not mm:ss:ff");
    if (L_.trackCount < 1) return Error("INDEX before any TRACK");
    if (p >= fileSectorCount_) return Error("INDEX lies beyond the end of " + Narrow(filePath_));
    if (p <= lastIndex_) return Error("INDEX positions must increase within a FILE");
    const int t = Slot();
    TrackInfo* existing = L_.info[L_.trackCount].get();
    bool allowed = false;
    if (InTrackHeader())
      allowed = n == 0 || n == 1;
    else if (state_ == CUE_INDEX0)
      allowed = n == 1;
    else if (state_ == CUE_INDEX1)
      allowed = n == (existing ? existing->lastIndex : 1) + 1;
    if (!allowed) return Error("INDEX " + std::to_string(n) + " is out of order");
    const int q = t - 1;
    const auto pos = static_cast<int32_t>(p);

    if (n == 0) {
      // A track-1 tail shorter than two seconds is no gap of the next track.
      if (t > 0 && !newFile_ && p - L_.trackIndex1Position[q] + L_.postgap[q] - L_.postgapInFile[q] < 150) return true;
      TrackInfo* info = L_.Info(L_.trackCount);
      if (!info) return Error("out of memory");
      info->indexPosition[0] = pos;
      state_ = CUE_INDEX0;
    } else if (n == 1) {
      if (state_ == CUE_INDEX0) {
        TrackInfo* info = L_.Info(L_.trackCount);
        const int32_t index0 = info->indexPosition[0];
        info->indexPosition[0] = index0 - pos;
        if (!Add(&L_.pregap[t], int64_t{pos} - index0)) return Error("pregap too long");
        // The sectors from INDEX 00 to INDEX 01 are stored in the file: the drive reads them.
        L_.pregapInFile[t] = pos - index0;
        info->lastIndex = 1;
      } else if (existing) {
        existing->lastIndex = 1;
      }
      if (t > 0 && !newFile_) {
        // The previous track ends where this one's stored pregap begins; PREGAP and POSTGAP
        // sectors are not in the file and take none of its sectors.
        const int64_t length = p - L_.pregapInFile[t] - L_.trackIndex1Position[q] - L_.postgapInFile[q];
        if (length < 0) return Error("the gaps of track " + std::to_string(t + 1) + " overlap the track before it");
        L_.length[q] = static_cast<int32_t>(length);
      }
      const int64_t start = t > 0 ? int64_t{L_.start[q]} + L_.length[q] + L_.postgap[q] + L_.pregap[t] : L_.pregap[0];
      const int64_t length = fileSectorCount_ - p;
      if (start > INT32_MAX || length > INT32_MAX) return Error("the disc is longer than a disc can be");
      L_.start[t] = static_cast<int32_t>(start);
      L_.trackIndex1Position[t] = pos;
      L_.trackDataOffset[t] = dataOffset_;
      L_.fileOffset[t] = int64_t{L_.sectorSize[t]} * p + dataOffset_;
      L_.length[t] = static_cast<int32_t>(length);
      state_ = CUE_INDEX1;
      newFile_ = false;
    } else {
      TrackInfo* info = L_.Info(L_.trackCount);
      if (!info) return Error("out of memory");
      info->indexPosition[n] = pos - L_.trackIndex1Position[t];
      info->lastIndex = n;
    }
    if (!tokens->Next().empty()) return Error("INDEX line has more than a number and a time");
    lastIndex_ = p;
    return true;
  }

  static bool Add(int32_t* target, int64_t value) {
    const int64_t sum = *target + value;
    if (sum < INT32_MIN || sum > INT32_MAX) return false;
    *target = static_cast<int32_t>(sum);
    return true;
  }

  DiscLayout& L_;
  ParseFailure* failure_;
  uint32_t codePage_;
  int lineNumber_ = 0;
  CueState state_ = CUE_START;
  std::unique_ptr<RawFile> file_;
  std::u16string filePath_;
  int64_t fileSize_ = 0;
  int64_t dataOffset_ = 0;
  int32_t fileSectorSize_ = 0;
  int64_t fileSectorCount_ = 0;
  int64_t lastIndex_ = -1;
  bool newFile_ = false;
};

}  // namespace

std::unique_ptr<DiscLayout> ParseCueSheet(const std::u16string& path, ParseFailure* failure) {
  std::vector<uint8_t> data;
  size_t size = 0;
  std::string why;
  if (!ReadDescriptorFile(path, &data, &size, &why)) {
    Fail(failure, why);
    return nullptr;
  }
  std::unique_ptr<DiscLayout> layout(new (std::nothrow) DiscLayout());
  if (!layout) return nullptr;
  layout->descriptorPath = path;
  const char* text = reinterpret_cast<const char*>(data.data());
  size_t pos = 0;
  // A UTF-8 byte order mark says the names and texts are UTF-8, whatever the system code page.
  const bool utf8 = size >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0;
  if (utf8) pos = 3;
  CueParser parser(layout.get(), failure, utf8);
  int lineNumber = 0;
  std::string line;
  while (pos < size) {
    while (pos < size && IsBlank(text[pos])) {
      if (text[pos] == '\n' || (text[pos] == '\r' && text[pos + 1] != '\n')) ++lineNumber;
      ++pos;
    }
    if (pos >= size || text[pos] == '\0') break;
    const size_t begin = pos;
    while (pos < size && text[pos] != '\r' && text[pos] != '\n' && text[pos] != '\0') ++pos;
    // The tail of an overlong line is dropped, never read as a line of its own.
    line.assign(text + begin, std::min(pos - begin, kLineLimit));
    const int current = lineNumber + 1;
    if (pos < size) {
      if (text[pos] == '\n' || (text[pos] == '\r' && text[pos + 1] != '\n')) ++lineNumber;
      ++pos;
    }
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
    if (!parser.Line(line, current)) return nullptr;
  }
  if (!parser.Finish()) return nullptr;
  return layout;
}

}  // namespace kv::inspect
