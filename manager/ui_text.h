// Formatting of the manager's language texts ("%d", "%c", "%C", "%s", "%%") with arguments given
// in order. Texts come from language files, so a placeholder without an argument or of another
// kind is kept as it stands instead of reading something that is not there.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace kv::manager {

using TextArg = std::variant<int64_t, char16_t, std::u16string_view>;

std::u16string FormatUiText(std::u16string_view format, std::initializer_list<TextArg> args);

}  // namespace kv::manager
