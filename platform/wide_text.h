// UTF-8 <-> UTF-16 conversion for texts that the Windows-facing interfaces keep as UTF-16.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace kv::platform {

// Invalid sequences become U+FFFD; never reads outside the input.
inline std::u16string Utf8ToUtf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    const uint8_t c = static_cast<uint8_t>(s[i]);
    uint32_t cp = 0xFFFD;
    size_t need = 0;
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F, need = 1;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F, need = 2;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07, need = 3;
    }
    ++i;
    if (need != 0) {
      bool ok = i + need <= s.size();
      for (size_t k = 0; ok && k < need; ++k) {
        const uint8_t d = static_cast<uint8_t>(s[i + k]);
        if ((d & 0xC0) != 0x80) ok = false;
        cp = (cp << 6) | (d & 0x3F);
      }
      if (ok) {
        i += need;
        static constexpr uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[need] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
      } else {
        cp = 0xFFFD;
      }
    } else if (c >= 0x80) {
      cp = 0xFFFD;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

// Unpaired surrogates become U+FFFD.
inline std::string Utf16ToUtf8(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

}  // namespace kv::platform
