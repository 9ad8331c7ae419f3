#include "archive/wide_text.h"

#include <cstdint>
#include <vector>

namespace kv::archive {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsScalar(char32_t c) {
  return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

void AppendUtf16(std::u16string& out, char32_t c) {
  if (!IsScalar(c)) c = kReplacement;
  if (c >= 0x10000) {
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(c));
  }
}

void AppendUtf8(std::string& out, char32_t c) {
  if (!IsScalar(c)) c = kReplacement;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Decodes UTF-16 into code points; unpaired surrogates become U+FFFD.
template <typename F>
void ForEachUtf16(std::u16string_view s, F f) {
  for (size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    f(c);
  }
}

template <typename F>
void ForEachUtf8(std::string_view s, F f) {
  size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<uint8_t>(s[i]);
    int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    if (extra < 0 || (extra > 0 && i + static_cast<size_t>(extra) >= s.size())) {
      f(kReplacement);
      ++i;
      continue;
    }
    char32_t c = extra == 0 ? b : (b & (0x3F >> extra));
    bool good = true;
    for (int k = 1; k <= extra; ++k) {
      const auto t = static_cast<uint8_t>(s[i + static_cast<size_t>(k)]);
      if ((t & 0xC0) != 0x80) {
        good = false;
        break;
      }
      c = (c << 6) | (t & 0x3F);
    }
    if (!good) {
      f(kReplacement);
      ++i;
      continue;
    }
    f(c);
    i += static_cast<size_t>(extra) + 1;
  }
}

}  // namespace

std::u16string WideToUtf16(std::wstring_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (wchar_t w : s) AppendUtf16(out, static_cast<char32_t>(w));
  return out;
}

std::wstring Utf16ToWide(std::u16string_view s) {
  std::wstring out;
  out.reserve(s.size());
  ForEachUtf16(s, [&](char32_t c) { out.push_back(static_cast<wchar_t>(c)); });
  return out;
}

std::string Utf16ToUtf8(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  ForEachUtf16(s, [&](char32_t c) { AppendUtf8(out, c); });
  return out;
}

std::u16string Utf8ToUtf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  ForEachUtf8(s, [&](char32_t c) { AppendUtf16(out, c); });
  return out;
}

std::string WideToUtf8(std::wstring_view s) {
  std::string out;
  out.reserve(s.size());
  for (wchar_t w : s) AppendUtf8(out, static_cast<char32_t>(w));
  return out;
}

std::wstring Utf8ToWide(std::string_view s) {
  std::wstring out;
  out.reserve(s.size());
  ForEachUtf8(s, [&](char32_t c) { out.push_back(static_cast<wchar_t>(c)); });
  return out;
}

std::u16string AsciiLower(std::u16string_view s) {
  std::u16string out(s);
  for (auto& c : out)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  return out;
}

bool EqualsIgnoreAsciiCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  return AsciiLower(a) == AsciiLower(b);
}

}  // namespace kv::archive
