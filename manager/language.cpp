#include "manager/language.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "platform/wide_text.h"

namespace kv::manager {

using platform::Utf16ToUtf8;
using platform::Utf8ToUtf16;

namespace {

// Reads with every bound checked; a failed read leaves the cursor unusable (ok() false).
class Cursor {
 public:
  Cursor(const uint8_t* d, size_t n) : d_(d), n_(n) {}
  bool done() const { return p_ >= n_; }
  bool U8(uint8_t* v) {
    if (n_ - p_ < 1) return false;
    *v = d_[p_++];
    return true;
  }
  bool U16(uint16_t* v) {
    if (n_ - p_ < 2) return false;
    *v = static_cast<uint16_t>(d_[p_] | (d_[p_ + 1] << 8));
    p_ += 2;
    return true;
  }
  bool U32(uint32_t* v) {
    if (n_ - p_ < 4) return false;
    *v = d_[p_] | (d_[p_ + 1] << 8) | (d_[p_ + 2] << 16) | (static_cast<uint32_t>(d_[p_ + 3]) << 24);
    p_ += 4;
    return true;
  }
  // A zero-terminated UTF-16 text; false when the terminator is missing.
  bool Text(std::u16string* out) {
    out->clear();
    while (n_ - p_ >= 2) {
      const char16_t c = static_cast<char16_t>(d_[p_] | (d_[p_ + 1] << 8));
      p_ += 2;
      if (c == 0) return true;
      out->push_back(c);
    }
    return false;
  }

 private:
  const uint8_t* d_;
  size_t n_;
  size_t p_ = 0;
};

void PutU16(std::vector<uint8_t>* o, uint16_t v) {
  o->push_back(static_cast<uint8_t>(v));
  o->push_back(static_cast<uint8_t>(v >> 8));
}
void PutU32(std::vector<uint8_t>* o, uint32_t v) {
  for (int i = 0; i < 4; ++i) o->push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutText(std::vector<uint8_t>* o, std::u16string_view s) {
  for (char16_t c : s) PutU16(o, c);
  PutU16(o, 0);
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - 32);
    if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - 32);
    if (x != y) return false;
  }
  return true;
}

bool HasLngExtension(const std::string& name) {
  if (name.size() < 4) return false;
  std::string ext = name.substr(name.size() - 4);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == ".lng";
}

}  // namespace

const std::u16string* LanguageTable::FindText(uint16_t id) const {
  for (const LanguageEntry& e : entries) {
    if (e.dialogId == 0 && e.id == id) return e.text.empty() ? nullptr : &e.text;
  }
  return nullptr;
}

const char* LanguageFileErrorText(LanguageFileError e) {
  switch (e) {
    case LanguageFileError::None:
      return "valid";
    case LanguageFileError::Size:
      return "file size outside 1..2097151 bytes";
    case LanguageFileError::Header:
      return "bad header (magic, first-record offset or version)";
    case LanguageFileError::RecordKind:
      return "unknown record kind";
    case LanguageFileError::PropertyNumber:
      return "unknown property number";
    case LanguageFileError::PropertyLength:
      return "property text of 64 or more characters";
    case LanguageFileError::DialogId:
      return "dialog id 0 or 1";
    case LanguageFileError::TooManyEntries:
      return "more entries than the header declares";
    case LanguageFileError::Truncated:
      return "record runs past the end of the file";
    case LanguageFileError::Unreadable:
      return "cannot be read";
  }
  return "invalid";
}

LanguageFileError ParseLanguageFile(const uint8_t* data, size_t size, LanguageTable* out) {
  *out = LanguageTable{};
  if (size < 1 || size > kMaxLanguageFileSize || !data) return LanguageFileError::Size;
  if (size < kLanguageHeaderSize) return LanguageFileError::Header;
  if (std::memcmp(data, "LANG", 4) != 0) return LanguageFileError::Header;
  if ((data[4] | (data[5] << 8)) != kLanguageHeaderSize || data[6] != kLanguageFormatVersion) {
    return LanguageFileError::Header;
  }
  LanguageTable t;
  Cursor header(data + 7, 8);
  header.U32(&t.declaredEntries);
  header.U32(&t.headerExtra);
  // Every entry takes at least 4 bytes, so the file bounds what a declared count can need.
  t.entries.reserve(std::min<size_t>(t.declaredEntries, size / 4));

  Cursor c(data + kLanguageHeaderSize, size - kLanguageHeaderSize);
  auto addEntry = [&](LanguageEntry&& e) {
    if (t.entries.size() >= t.declaredEntries) return false;
    t.entries.push_back(std::move(e));
    return true;
  };
  while (!c.done()) {
    uint8_t tag = 0;
    c.U8(&tag);
    const uint8_t kind = tag & 0xF0;
    const uint8_t low = tag & 0x0F;
    if (kind == kRecordProperty) {
      switch (low) {
        case kPropertyLangId:
          if (!c.U16(&t.langId)) return LanguageFileError::Truncated;
          break;
        case kPropertyFontSize:
          if (!c.U32(&t.fontSize)) return LanguageFileError::Truncated;
          break;
        case kPropertyDisplayName:
        case kPropertyFontFace:
        case kPropertySecondName: {
          std::u16string s;
          if (!c.Text(&s)) return LanguageFileError::Truncated;
          if (s.size() > kMaxLanguagePropertyChars) return LanguageFileError::PropertyLength;
          (low == kPropertyDisplayName ? t.displayName
           : low == kPropertyFontFace  ? t.fontFace
                                       : t.secondName) = std::move(s);
          break;
        }
        default:
          return LanguageFileError::PropertyNumber;
      }
    } else if (kind == kRecordTexts || kind == kRecordDialog) {
      uint8_t countLow = 0;
      if (!c.U8(&countLow)) return LanguageFileError::Truncated;
      const uint32_t count = (static_cast<uint32_t>(low) << 8) | countLow;
      uint16_t dialogId = 0;
      if (kind == kRecordDialog) {
        if (!c.U16(&dialogId)) return LanguageFileError::Truncated;
        if (dialogId == 0 || dialogId == 1) return LanguageFileError::DialogId;
      }
      for (uint32_t i = 0; i < count; ++i) {
        LanguageEntry e;
        e.dialogId = dialogId;
        if (!c.U16(&e.id)) return LanguageFileError::Truncated;
        if (kind == kRecordDialog && e.id == kNoKeyControlId && !c.Text(&e.key)) return LanguageFileError::Truncated;
        if (!c.Text(&e.text)) return LanguageFileError::Truncated;
        if (!addEntry(std::move(e))) return LanguageFileError::TooManyEntries;
      }
    } else {
      return LanguageFileError::RecordKind;
    }
  }
  *out = std::move(t);
  return LanguageFileError::None;
}

LanguageFileError LoadLanguageFile(const std::string& path, LanguageTable* out) {
  *out = LanguageTable{};
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return LanguageFileError::Unreadable;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return LanguageFileError::Unreadable;
  }
  if (st.st_size < 1 || static_cast<uint64_t>(st.st_size) > kMaxLanguageFileSize) {
    close(fd);
    return LanguageFileError::Size;
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  if (got != bytes.size()) return LanguageFileError::Unreadable;
  return ParseLanguageFile(bytes.data(), bytes.size(), out);
}

std::vector<uint8_t> SerializeLanguageFile(const LanguageTable& t) {
  std::vector<uint8_t> o = {'L', 'A', 'N', 'G'};
  PutU16(&o, kLanguageHeaderSize);
  o.push_back(kLanguageFormatVersion);
  PutU32(&o, t.declaredEntries ? t.declaredEntries : static_cast<uint32_t>(t.entries.size()));
  PutU32(&o, t.headerExtra);
  o.push_back(kRecordProperty | kPropertyLangId);
  PutU16(&o, t.langId);
  auto textProperty = [&](uint8_t number, const std::u16string& s) {
    if (s.empty()) return;
    o.push_back(kRecordProperty | number);
    PutText(&o, s);
  };
  textProperty(kPropertyDisplayName, t.displayName);
  textProperty(kPropertySecondName, t.secondName);
  textProperty(kPropertyFontFace, t.fontFace);
  if (t.fontSize) {
    o.push_back(kRecordProperty | kPropertyFontSize);
    PutU32(&o, t.fontSize);
  }
  size_t i = 0;
  while (i < t.entries.size()) {
    const uint16_t dialog = t.entries[i].dialogId;
    size_t end = i;
    while (end < t.entries.size() && t.entries[end].dialogId == dialog && end - i < kMaxLanguageEntriesPerRecord) {
      ++end;
    }
    const size_t count = end - i;
    o.push_back(static_cast<uint8_t>((dialog ? kRecordDialog : kRecordTexts) | (count >> 8)));
    o.push_back(static_cast<uint8_t>(count & 0xFF));
    if (dialog) PutU16(&o, dialog);
    for (; i < end; ++i) {
      const LanguageEntry& e = t.entries[i];
      PutU16(&o, e.id);
      if (dialog && e.id == kNoKeyControlId) PutText(&o, e.key);
      PutText(&o, e.text);
    }
  }
  return o;
}

// ---- Dialog font --------------------------------------------------------------------------------

DialogFont DefaultDialogFont() {
  return DialogFont{std::u16string(kDefaultFontFace), kDefaultFontSize};
}

DialogFont ChooseDialogFont(const LanguageTable* table) {
  if (!table || table->fontFace.empty()) return DefaultDialogFont();
  if (EqualsNoCase(table->fontFace, kReplacedFontFace)) {
    return DialogFont{std::u16string(kDefaultFontFace), table->fontSize};
  }
  return DialogFont{table->fontFace, table->fontSize};
}

int32_t FontHeight(uint32_t pointSize, int32_t verticalDpi) {
  // MulDiv: the exact quotient rounded half away from zero.
  const int64_t num = static_cast<int64_t>(static_cast<int32_t>(pointSize)) * verticalDpi;
  const int64_t q = num >= 0 ? (num + 36) / 72 : -((-num + 36) / 72);
  if (q > INT32_MAX || q < -INT32_MAX) return 0;
  return static_cast<int32_t>(-q);
}

// ---- Language list --------------------------------------------------------------------------

LanguageList BuildLanguageList(const std::string& langFolder) {
  LanguageList list;
  list.entries.push_back(LanguageListEntry{u"English", u"English", u"", config::kEnglishLangId});
  std::vector<std::string> names;
  std::error_code ec;
  std::filesystem::directory_iterator it(langFolder, ec);
  // A hostile folder may hold any number of names; a bounded look is enough for 50 languages.
  constexpr size_t kMaxNamesLooked = 4096;
  for (size_t looked = 0; !ec && it != std::filesystem::directory_iterator() && looked < kMaxNamesLooked;
       it.increment(ec), ++looked) {
    const std::string name = it->path().filename().string();
    if (!HasLngExtension(name)) continue;
    if (Utf8ToUtf16(name).size() > kMaxLanguageFileNameChars) continue;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (list.entries.size() >= kMaxLanguages) break;
    LanguageTable t;
    if (LoadLanguageFile(langFolder + "/" + name, &t) != LanguageFileError::None) continue;
    const bool known = std::any_of(list.entries.begin(), list.entries.end(),
                                   [&](const LanguageListEntry& e) { return e.langId == t.langId; });
    if (known) continue;
    list.entries.push_back(LanguageListEntry{t.displayName, t.secondName, Utf8ToUtf16(name), t.langId});
  }
  std::stable_sort(
      list.entries.begin(), list.entries.end(),
      [](const LanguageListEntry& a, const LanguageListEntry& b) { return a.displayName < b.displayName; });
  return list;
}

// ---- Current language -----------------------------------------------------------------------

Languages::Languages(ConfigStore& config) : config_(config), font_(DefaultDialogFont()) {
  list_.entries.push_back(LanguageListEntry{u"English", u"English", u"", config::kEnglishLangId});
}

std::string Languages::languageFolder() const {
  return Utf16ToUtf8(JoinFolder(config_.InstallFolder(), config::kLanguageFolder));
}

void Languages::MakeCurrent(int index) {
  table_.reset();
  list_.current = index;
  const LanguageListEntry& e = list_.entries[static_cast<size_t>(index)];
  currentLangId_ = e.langId;
  if (!e.fileName.empty()) {
    LanguageTable t;
    if (LoadLanguageFile(languageFolder() + "/" + Utf16ToUtf8(e.fileName), &t) == LanguageFileError::None) {
      table_ = std::move(t);
    } else {
      // The file went away or changed since the list was built: English, truthfully reported.
      for (size_t i = 0; i < list_.entries.size(); ++i) {
        if (list_.entries[i].fileName.empty()) list_.current = static_cast<int>(i);
      }
      currentLangId_ = config::kEnglishLangId;
    }
  }
  font_ = ChooseDialogFont(table());
}

void Languages::Load() {
  table_.reset();
  const uint16_t configured = config_.Language();
  list_ = BuildLanguageList(languageFolder());
  int index = -1;
  int english = 0;
  for (size_t i = 0; i < list_.entries.size(); ++i) {
    if (list_.entries[i].langId == configured && index < 0) index = static_cast<int>(i);
    if (list_.entries[i].fileName.empty()) english = static_cast<int>(i);
  }
  MakeCurrent(index >= 0 ? index : english);
}

std::u16string_view Languages::Text(uint16_t id, std::u16string_view defaultText) const {
  if (table_) {
    if (const std::u16string* s = table_->FindText(id)) return *s;
  }
  return defaultText;
}

bool Languages::Switch(int index, const std::function<void(uint16_t)>& sendLanguageCommand) {
  if (index < 0 || static_cast<size_t>(index) >= list_.entries.size()) return false;
  const uint16_t langId = list_.entries[static_cast<size_t>(index)].langId;
  config_.WriteLanguage(langId);
  MakeCurrent(index);
  if (sendLanguageCommand) sendLanguageCommand(langId);
  return true;
}

bool Languages::ReloadIfChanged() {
  if (config_.Language() == currentLangId_) return false;
  Load();
  return true;
}

DialogTexts Languages::ApplyToDialog(std::u16string_view okButtonText, std::u16string_view cancelButtonText) const {
  DialogTexts d;
  d.font = font_;
  if (okButtonText == u"OK") d.okText = std::u16string(Text(texts::TEXT_OK));
  if (cancelButtonText == u"Cancel") d.cancelText = std::u16string(Text(texts::TEXT_CANCEL));
  d.caption = std::u16string(Text(texts::TEXT_PRODUCT_NAME));
  return d;
}

}  // namespace kv::manager
