#include "manager/ui_text.h"

#include <vector>

namespace kv::manager {

std::u16string FormatUiText(std::u16string_view format, std::initializer_list<TextArg> args) {
  const std::vector<TextArg> list(args);
  size_t next = 0;
  std::u16string out;
  for (size_t i = 0; i < format.size(); ++i) {
    const char16_t c = format[i];
    if (c != u'%' || i + 1 == format.size()) {
      out += c;
      continue;
    }
    const char16_t kind = format[i + 1];
    if (kind == u'%') {
      out += u'%';
      ++i;
      continue;
    }
    const TextArg* arg = next < list.size() ? &list[next] : nullptr;
    bool used = false;
    if (arg && kind == u'd') {
      int64_t v = 0;
      if (const auto* n = std::get_if<int64_t>(arg)) v = *n;
      if (const auto* ch = std::get_if<char16_t>(arg)) v = *ch;
      if (!std::holds_alternative<std::u16string_view>(*arg)) {
        const std::string digits = std::to_string(v);
        out.append(digits.begin(), digits.end());
        used = true;
      }
    } else if (arg && (kind == u'c' || kind == u'C')) {
      if (const auto* ch = std::get_if<char16_t>(arg)) {
        out += *ch;
        used = true;
      }
    } else if (arg && kind == u's') {
      if (const auto* s = std::get_if<std::u16string_view>(arg)) {
        out += *s;
        used = true;
      }
    }
    if (used) {
      ++next;
      ++i;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace kv::manager
