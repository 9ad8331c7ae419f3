#include "platform/codepage.h"

#include <errno.h>
#include <iconv.h>
#include <locale.h>
#include <wctype.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <utility>

namespace kv::platform {
namespace {

constexpr uint32_t kDefaultCodePage = 1252;

std::string IconvName(uint32_t codePage) {
  if (codePage == 65001) return "UTF-8";
  return "CP" + std::to_string(codePage);
}

class Iconv {
 public:
  Iconv(const std::string& to, const std::string& from) : cd_(iconv_open(to.c_str(), from.c_str())) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

// Converters are not thread-safe; each thread keeps its own, per code page and direction.
iconv_t Converter(uint32_t codePage, bool toWide) {
  thread_local std::map<std::pair<uint32_t, bool>, std::unique_ptr<Iconv>> cache;
  auto& slot = cache[{codePage, toWide}];
  if (!slot) {
    const std::string cp = IconvName(codePage);
    slot = toWide ? std::make_unique<Iconv>("UTF-16LE", cp) : std::make_unique<Iconv>(cp, "UTF-16LE");
  }
  return slot->ok() ? slot->get() : reinterpret_cast<iconv_t>(-1);
}

bool IsAscii(std::u16string_view text) {
  for (char16_t c : text)
    if (c >= 0x80) return false;
  return true;
}

locale_t Utf8Locale() {
  static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return loc;
}

}  // namespace

uint32_t AnsiCodePage() {
  const char* v = std::getenv("KV_ANSI_CODEPAGE");
  if (v == nullptr || *v == '\0') return kDefaultCodePage;
  char* end = nullptr;
  const unsigned long n = std::strtoul(v, &end, 10);
  if (*end != '\0' || n == 0 || n > 65535) return kDefaultCodePage;
  if (Converter(static_cast<uint32_t>(n), false) == reinterpret_cast<iconv_t>(-1)) return kDefaultCodePage;
  return static_cast<uint32_t>(n);
}

std::string WideToAnsi(std::u16string_view text, uint32_t codePage) {
  std::string out;
  if (IsAscii(text)) {
    out.assign(text.begin(), text.end());
    return out;
  }
  iconv_t cd = Converter(codePage, false);
  if (cd == reinterpret_cast<iconv_t>(-1)) cd = Converter(kDefaultCodePage, false);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  // Host byte order is little-endian on every platform we build for.
  char* in = const_cast<char*>(reinterpret_cast<const char*>(text.data()));
  size_t inLeft = text.size() * 2;
  out.resize(text.size() * 4 + 16);
  size_t used = 0;
  while (inLeft > 0) {
    char* o = out.data() + used;
    size_t outLeft = out.size() - used;
    const size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
    used = out.size() - outLeft;
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    if (used + 1 > out.size()) out.resize(out.size() * 2);
    out[used++] = '?';
    if (errno == EILSEQ) {
      char16_t c;
      std::memcpy(&c, in, 2);
      size_t skip = 2;
      if (c >= 0xD800 && c <= 0xDBFF && inLeft >= 4) {
        char16_t d;
        std::memcpy(&d, in + 2, 2);
        if (d >= 0xDC00 && d <= 0xDFFF) skip = 4;
      }
      in += skip;
      inLeft -= skip;
    } else {
      break;  // incomplete character at the end
    }
  }
  out.resize(used);
  return out;
}

std::u16string AnsiToWide(std::string_view text, uint32_t codePage) {
  std::u16string out;
  bool ascii = true;
  for (char c : text) ascii = ascii && static_cast<uint8_t>(c) < 0x80;
  if (ascii) {
    out.assign(text.begin(), text.end());
    return out;
  }
  iconv_t cd = Converter(codePage, true);
  if (cd == reinterpret_cast<iconv_t>(-1)) cd = Converter(kDefaultCodePage, true);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  std::string buffer(text.size() * 4 + 16, '\0');
  size_t used = 0;
  auto putQuestion = [&] {
    if (used + 2 > buffer.size()) buffer.resize(buffer.size() * 2);
    buffer[used++] = '?';
    buffer[used++] = '\0';
  };
  while (inLeft > 0) {
    char* o = buffer.data() + used;
    size_t outLeft = buffer.size() - used;
    const size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
    used = buffer.size() - outLeft;
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    putQuestion();
    if (errno != EILSEQ) break;
    ++in;
    --inLeft;
  }
  out.resize(used / 2);
  std::memcpy(out.data(), buffer.data(), out.size() * 2);
  return out;
}

std::u16string UpperCaseForCodePage(std::u16string_view text, uint32_t codePage) {
  std::u16string out(text);
  for (char16_t& c : out) {
    if (c < 0x80) {
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 0x20);
      continue;
    }
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const locale_t loc = Utf8Locale();
    if (loc == static_cast<locale_t>(0)) continue;
    const wint_t up = towupper_l(static_cast<wint_t>(c), loc);
    if (up == static_cast<wint_t>(c) || up > 0xFFFF || up < 0x80) continue;
    const char16_t pair[2] = {c, static_cast<char16_t>(up)};
    // Only when both the character and its upper-case form exist in the code page.
    const std::string a = WideToAnsi(std::u16string_view(pair, 1), codePage);
    const std::string b = WideToAnsi(std::u16string_view(pair + 1, 1), codePage);
    if (a != "?" && b != "?") c = static_cast<char16_t>(up);
  }
  return out;
}

std::string WideToAnsiUpper(std::u16string_view text, uint32_t codePage) {
  return WideToAnsi(UpperCaseForCodePage(text, codePage), codePage);
}

}  // namespace kv::platform
