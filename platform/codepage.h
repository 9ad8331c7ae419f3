// The system's ANSI code page and conversions through it, as Windows programs see them.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace kv::platform {

// The ANSI code page of the system (Windows' ACP): KV_ANSI_CODEPAGE when set to a number the
// platform can convert, else 1252.
uint32_t AnsiCodePage();

// Wide (UTF-16) text to the code page; characters it cannot represent, and unpaired surrogates,
// become "?".
std::string WideToAnsi(std::u16string_view text, uint32_t codePage);
// Code-page text to wide; bytes that form no character become "?".
std::u16string AnsiToWide(std::string_view text, uint32_t codePage);
// Upper-cases wide text as the code page's upper-casing would, for the characters the code page
// can represent (others are left as they are).
std::u16string UpperCaseForCodePage(std::u16string_view text, uint32_t codePage);
// Wide text to the code page, upper-cased.
std::string WideToAnsiUpper(std::u16string_view text, uint32_t codePage);

}  // namespace kv::platform
