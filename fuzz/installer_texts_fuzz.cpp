// Hostile installer texts: the first byte is the string size, the rest are stack entries split at
// newlines. Whatever a host pushes, popped texts stay within the string size, cut texts within
// their buffer, and a drive count format never reads past its text.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "installer/kvd_inst_opt.h"
#include "platform/codepage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kv::installer;
  if (size == 0) return 0;
  const int stringSize = data[0];
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  StackEntry* stack = nullptr;
  size_t pushed = 0;
  for (size_t at = 0; at <= rest.size() && pushed < 64;) {
    const size_t end = std::min(rest.find('\n', at), rest.size());
    if (PushString(&stack, stringSize, rest.substr(at, end - at))) ++pushed;
    at = end + 1;
  }
  std::string text;
  size_t popped = 0;
  while (PopString(&stack, stringSize, &text)) {
    ++popped;
    if (text.size() >= static_cast<size_t>(stringSize)) std::abort();
    for (const size_t buffer : {size_t{0}, size_t{1}, size_t{16}, kTextBufferBytes}) {
      for (const bool utf8 : {false, true}) {
        const std::string cut = CutToBuffer(text, buffer, utf8);
        if ((buffer == 0 && !cut.empty()) || (buffer > 0 && cut.size() >= buffer)) std::abort();
        if (text.compare(0, cut.size(), cut) != 0) std::abort();
      }
    }
    const std::u16string format = kv::platform::AnsiToWide(text, 1252);
    (void)FormatDriveItem(format, 23);
    (void)LanguageIdForInstallerName(text);
  }
  if (popped != pushed || stack) std::abort();
  return 0;
}
