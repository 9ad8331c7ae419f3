// The translators' text form of a language file:
//   # comment
//   langid 1031
//   name "Deutsch"            second-name "German"
//   font-face "Tahoma"        font-size 8
//   declared 90               (optional: the header's entry count; default: exact)
//   header-extra 0            (optional: the four header bytes at offset 11)
//   text 10 "&Archiv einbinden..."
//   dialog 200                (the control lines below belong to dialog 200)
//   control 1001 "Text"       control 0xFFFF "key" "Text"
// Texts are UTF-8 with the escapes \\ \" \r \n \t and \uXXXX (one UTF-16 code unit).
#include <cstdio>

#include "manager/language.h"
#include "platform/wide_text.h"

namespace kv::manager {

namespace {

class LineReader {
 public:
  explicit LineReader(std::string_view line) : s_(line) {}

  void SkipSpace() {
    while (p_ < s_.size() && (s_[p_] == ' ' || s_[p_] == '\t' || s_[p_] == '\r')) ++p_;
  }
  bool AtEnd() {
    SkipSpace();
    return p_ >= s_.size() || s_[p_] == '#';
  }
  bool Word(std::string* w) {
    SkipSpace();
    const size_t start = p_;
    while (p_ < s_.size() && s_[p_] != ' ' && s_[p_] != '\t' && s_[p_] != '\r' && s_[p_] != '"') ++p_;
    *w = std::string(s_.substr(start, p_ - start));
    return !w->empty();
  }
  bool Number(uint64_t maximum, uint64_t* v, std::string* error) {
    std::string w;
    if (!Word(&w)) {
      *error = "number expected";
      return false;
    }
    uint64_t value = 0;
    size_t i = 0;
    int base = 10;
    if (w.size() > 2 && w[0] == '0' && (w[1] == 'x' || w[1] == 'X')) {
      base = 16;
      i = 2;
    }
    for (; i < w.size(); ++i) {
      int d = -1;
      const char c = w[i];
      if (c >= '0' && c <= '9')
        d = c - '0';
      else if (base == 16 && c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
      else if (base == 16 && c >= 'A' && c <= 'F')
        d = c - 'A' + 10;
      if (d < 0 || value > (maximum - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) {
        *error = "bad number " + w;
        return false;
      }
      value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    *v = value;
    return true;
  }
  bool Quoted(std::u16string* out, std::string* error) {
    SkipSpace();
    if (p_ >= s_.size() || s_[p_] != '"') {
      *error = "quoted text expected";
      return false;
    }
    ++p_;
    out->clear();
    std::string run;  // plain UTF-8 bytes not yet converted
    auto flush = [&] {
      *out += platform::Utf8ToUtf16(run);
      run.clear();
    };
    while (p_ < s_.size()) {
      const char c = s_[p_++];
      if (c == '"') {
        flush();
        return true;
      }
      if (c != '\\') {
        run.push_back(c);
        continue;
      }
      if (p_ >= s_.size()) break;
      const char e = s_[p_++];
      switch (e) {
        case '\\':
        case '"':
          run.push_back(e);
          break;
        case 'n':
          run.push_back('\n');
          break;
        case 'r':
          run.push_back('\r');
          break;
        case 't':
          run.push_back('\t');
          break;
        case 'u': {
          if (s_.size() - p_ < 4) {
            *error = "\\u needs four hex digits";
            return false;
          }
          unsigned v = 0;
          for (int k = 0; k < 4; ++k) {
            const char h = s_[p_++];
            v <<= 4;
            if (h >= '0' && h <= '9')
              v |= static_cast<unsigned>(h - '0');
            else if (h >= 'a' && h <= 'f')
              v |= static_cast<unsigned>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F')
              v |= static_cast<unsigned>(h - 'A' + 10);
            else {
              *error = "\\u needs four hex digits";
              return false;
            }
          }
          flush();
          out->push_back(static_cast<char16_t>(v));
          break;
        }
        default:
          *error = std::string("unknown escape \\") + e;
          return false;
      }
    }
    *error = "text not closed with a double quote";
    return false;
  }

 private:
  std::string_view s_;
  size_t p_ = 0;
};

std::string Escape(const std::u16string& s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size(); ++i) {
    const char16_t c = s[i];
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    const bool pairOk = high && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF;
    if (c == u'\\')
      out += "\\\\";
    else if (c == u'"')
      out += "\\\"";
    else if (c == u'\n')
      out += "\\n";
    else if (c == u'\r')
      out += "\\r";
    else if (c == u'\t')
      out += "\\t";
    else if (c < 0x20 || c == 0x7F || (c >= 0xD800 && c <= 0xDFFF && !pairOk)) {
      char b[8];
      std::snprintf(b, sizeof b, "\\u%04X", static_cast<unsigned>(c));
      out += b;
    } else if (pairOk) {
      out += platform::Utf16ToUtf8(s.substr(i, 2));
      ++i;
    } else {
      out += platform::Utf16ToUtf8(std::u16string(1, c));
    }
  }
  return out + "\"";
}

}  // namespace

bool CompileLanguageSource(std::string_view source, LanguageTable* out, std::string* error) {
  LanguageTable t;
  uint16_t dialog = 0;
  size_t lineNumber = 0;
  size_t pos = 0;
  auto fail = [&](const std::string& what) {
    *error = "line " + std::to_string(lineNumber) + ": " + what;
    return false;
  };
  while (pos < source.size()) {
    size_t end = source.find('\n', pos);
    if (end == std::string_view::npos) end = source.size();
    LineReader r(source.substr(pos, end - pos));
    pos = end + 1;
    ++lineNumber;
    if (r.AtEnd()) continue;
    std::string keyword, why;
    r.Word(&keyword);
    uint64_t n = 0;
    std::u16string text;
    if (keyword == "langid") {
      if (!r.Number(0xFFFF, &n, &why)) return fail(why);
      t.langId = static_cast<uint16_t>(n);
    } else if (keyword == "name" || keyword == "second-name" || keyword == "font-face") {
      if (!r.Quoted(&text, &why)) return fail(why);
      if (text.size() > kMaxLanguagePropertyChars) return fail(keyword + " longer than 63 characters");
      (keyword == "name" ? t.displayName : keyword == "second-name" ? t.secondName : t.fontFace) = text;
    } else if (keyword == "font-size" || keyword == "declared" || keyword == "header-extra") {
      if (!r.Number(0xFFFFFFFF, &n, &why)) return fail(why);
      (keyword == "font-size"  ? t.fontSize
       : keyword == "declared" ? t.declaredEntries
                               : t.headerExtra) = static_cast<uint32_t>(n);
    } else if (keyword == "text") {
      LanguageEntry e;
      if (!r.Number(0xFFFF, &n, &why) || !r.Quoted(&e.text, &why)) return fail(why);
      e.id = static_cast<uint16_t>(n);
      t.entries.push_back(std::move(e));
    } else if (keyword == "dialog") {
      if (!r.Number(0xFFFF, &n, &why)) return fail(why);
      if (n < 2) return fail("dialog id must not be 0 or 1");
      dialog = static_cast<uint16_t>(n);
    } else if (keyword == "control") {
      if (!dialog) return fail("control before any dialog line");
      LanguageEntry e;
      e.dialogId = dialog;
      if (!r.Number(0xFFFF, &n, &why)) return fail(why);
      e.id = static_cast<uint16_t>(n);
      if (e.id == kNoKeyControlId && !r.Quoted(&e.key, &why)) return fail(why);
      if (!r.Quoted(&e.text, &why)) return fail(why);
      t.entries.push_back(std::move(e));
    } else {
      return fail("unknown directive " + keyword);
    }
    if (!r.AtEnd()) return fail("unexpected text after " + keyword);
  }
  if (t.declaredEntries != 0 && t.declaredEntries < t.entries.size()) {
    *error = "declared " + std::to_string(t.declaredEntries) + " entries but the source has " +
             std::to_string(t.entries.size());
    return false;
  }
  *out = std::move(t);
  return true;
}

std::string LanguageSource(const LanguageTable& t) {
  std::string o;
  o += "langid " + std::to_string(t.langId) + "\n";
  o += "name " + Escape(t.displayName) + "\n";
  o += "second-name " + Escape(t.secondName) + "\n";
  o += "font-face " + Escape(t.fontFace) + "\n";
  o += "font-size " + std::to_string(t.fontSize) + "\n";
  if (t.declaredEntries != t.entries.size()) o += "declared " + std::to_string(t.declaredEntries) + "\n";
  if (t.headerExtra != 0) o += "header-extra " + std::to_string(t.headerExtra) + "\n";
  uint16_t dialog = 0;
  for (const LanguageEntry& e : t.entries) {
    if (e.dialogId == 0) {
      o += "text " + std::to_string(e.id) + " " + Escape(e.text) + "\n";
      continue;
    }
    if (e.dialogId != dialog) {
      dialog = e.dialogId;
      o += "dialog " + std::to_string(dialog) + "\n";
    }
    o += "control " + std::to_string(e.id) + " ";
    if (e.id == kNoKeyControlId) o += Escape(e.key) + " ";
    o += Escape(e.text) + "\n";
  }
  return o;
}

}  // namespace kv::manager
