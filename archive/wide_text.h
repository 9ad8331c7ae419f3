// Conversions between the library's wide strings (wchar_t, 4 bytes here), UTF-16 and UTF-8.
#pragma once
#include <string>
#include <string_view>

namespace kv::archive {

std::u16string WideToUtf16(std::wstring_view s);
std::wstring Utf16ToWide(std::u16string_view s);
std::string Utf16ToUtf8(std::u16string_view s);
std::u16string Utf8ToUtf16(std::string_view s);
std::string WideToUtf8(std::wstring_view s);
std::wstring Utf8ToWide(std::string_view s);

// ASCII-only case folding, enough for format names and extensions.
std::u16string AsciiLower(std::u16string_view s);
bool EqualsIgnoreAsciiCase(std::u16string_view a, std::u16string_view b);

}  // namespace kv::archive
