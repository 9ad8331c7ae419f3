// Language files (".lng" in the "Lang" folder of the install folder), the list of languages, the
// current language with its dialog font, and text lookup by id with the built-in English texts.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/config_names.h"
#include "common/texts.h"
#include "manager/config_store.h"

namespace kv::manager {

inline constexpr size_t kLanguageHeaderSize = 15;
inline constexpr size_t kMaxLanguageFileSize = 0x1FFFFF;  // 2,097,151 bytes
inline constexpr size_t kMaxLanguagePropertyChars = 63;
inline constexpr size_t kMaxLanguageEntriesPerRecord = 0xFFF;
inline constexpr size_t kMaxLanguages = 50;
inline constexpr size_t kMaxLanguageFileNameChars = 63;
inline constexpr uint8_t kLanguageFormatVersion = 2;
inline constexpr uint16_t kNoKeyControlId = 0xFFFF;  // control id followed by a key text

inline constexpr uint8_t kRecordProperty = 0x10;
inline constexpr uint8_t kRecordTexts = 0x20;
inline constexpr uint8_t kRecordDialog = 0x40;
inline constexpr uint8_t kPropertyLangId = 1;
inline constexpr uint8_t kPropertyDisplayName = 2;
inline constexpr uint8_t kPropertyFontFace = 3;
inline constexpr uint8_t kPropertyFontSize = 4;
inline constexpr uint8_t kPropertySecondName = 5;

struct LanguageEntry {
  uint16_t dialogId = 0;  // 0 for plain texts
  uint16_t id = 0;        // text id or control id
  std::u16string key;     // only for control id 0xFFFF
  std::u16string text;
};

// One parsed language file.
struct LanguageTable {
  uint16_t langId = 0;
  std::u16string displayName;
  std::u16string secondName;
  std::u16string fontFace;
  uint32_t fontSize = 0;
  uint32_t declaredEntries = 0;
  uint32_t headerExtra = 0;  // the four bytes at offset 11, kept as they are
  std::vector<LanguageEntry> entries;

  // The first plain text with `id`; null when there is none or it is empty.
  const std::u16string* FindText(uint16_t id) const;
};

enum class LanguageFileError {
  None,
  Size,            // outside 1..2,097,151 bytes
  Header,          // shorter than the header, wrong magic, first-record offset or version
  RecordKind,      // a kind other than 0x10, 0x20, 0x40
  PropertyNumber,  // a property other than 1..5
  PropertyLength,  // a property text of 64 or more characters
  DialogId,        // dialog id 0 or 1
  TooManyEntries,  // more entries than the header declares
  Truncated,       // a record or text runs past the end of the file
  Unreadable,      // the file cannot be opened or read
};
const char* LanguageFileErrorText(LanguageFileError e);

LanguageFileError ParseLanguageFile(const uint8_t* data, size_t size, LanguageTable* out);
LanguageFileError LoadLanguageFile(const std::string& path, LanguageTable* out);
// The file bytes of `table`: properties that are set, then the entries in order, consecutive plain
// texts and consecutive controls of one dialog sharing a record. `declaredEntries` 0 means exact.
std::vector<uint8_t> SerializeLanguageFile(const LanguageTable& table);

// The readable source form used by translators (see tools/kvlang): one directive per line.
bool CompileLanguageSource(std::string_view source, LanguageTable* out, std::string* error);
std::string LanguageSource(const LanguageTable& table);

// ---- Dialog font rules ----------------------------------------------------------------------

struct DialogFont {
  std::u16string face;
  uint32_t pointSize = 0;
  bool operator==(const DialogFont&) const = default;
};
inline constexpr std::u16string_view kDefaultFontFace = u"Tahoma";
inline constexpr uint32_t kDefaultFontSize = 8;
inline constexpr std::u16string_view kReplacedFontFace = u"MS Sans Serif";  // compared without case
// Also the font tried once more when creating the chosen one fails.
DialogFont DefaultDialogFont();
// Face and size from properties 3 and 4, with the replacement rules; the default without a table.
DialogFont ChooseDialogFont(const LanguageTable* table);
// Logical font height: -(size x dpi / 72), rounded; size 0 gives 0.
int32_t FontHeight(uint32_t pointSize, int32_t verticalDpi);

// ---- Languages ------------------------------------------------------------------------------

struct LanguageListEntry {
  std::u16string displayName;
  std::u16string secondName;
  std::u16string fileName;  // empty for the built-in English
  uint16_t langId = 0;
};

struct LanguageList {
  std::vector<LanguageListEntry> entries;
  int current = 0;
};

// English (1033) and every valid "*.lng" of `langFolder` whose LANGID is new, at most 50 entries,
// sorted by display name (ordinal). Files are taken in ordinal name order.
LanguageList BuildLanguageList(const std::string& langFolder);

// What a dialog gets when it opens.
struct DialogTexts {
  DialogFont font;
  std::optional<std::u16string> okText;      // set when the OK button said "OK"
  std::optional<std::u16string> cancelText;  // set when the Cancel button said "Cancel"
  std::u16string caption;
};

// The current language of a program: list, table, font; rebuilt on load, switch and reload.
class Languages {
 public:
  explicit Languages(ConfigStore& config);

  // Rebuilds the list from the install folder's "Lang" and makes the configured language current.
  void Load();
  // The text of `id` in the current table, else `defaultText`. Valid until the next load or switch.
  std::u16string_view Text(uint16_t id, std::u16string_view defaultText) const;
  // The same with the built-in English text as default.
  std::u16string_view Text(uint16_t id) const { return Text(id, texts::DefaultText(id)); }
  // Ignored (false) when `index` is outside the list. `sendLanguageCommand` tells the service.
  bool Switch(int index, const std::function<void(uint16_t)>& sendLanguageCommand = {});
  // Loads again when the configured language differs from the current one; true when it did.
  bool ReloadIfChanged();
  DialogTexts ApplyToDialog(std::u16string_view okButtonText, std::u16string_view cancelButtonText) const;

  const LanguageList& list() const { return list_; }
  uint16_t currentLangId() const { return currentLangId_; }
  const LanguageTable* table() const { return table_ ? &*table_ : nullptr; }
  const DialogFont& font() const { return font_; }
  std::string languageFolder() const;

 private:
  void MakeCurrent(int index);

  ConfigStore& config_;
  LanguageList list_;
  std::optional<LanguageTable> table_;
  uint16_t currentLangId_ = config::kEnglishLangId;
  DialogFont font_;
};

}  // namespace kv::manager
