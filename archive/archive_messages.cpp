#include "archive/archive_messages.h"

#include <cstdio>

#include "archive/codec_abi.h"
#include "archive/wide_text.h"

namespace kv::archive {

std::u16string DefaultText(uint32_t id) {
  return id > UINT16_MAX ? std::u16string() : std::u16string(texts::DefaultText(static_cast<uint16_t>(id)));
}

std::u16string FormatText(std::u16string_view format, std::initializer_list<std::u16string_view> args) {
  std::u16string out;
  auto next = args.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == u'%' && i + 1 < format.size() && (format[i + 1] == u's' || format[i + 1] == u'C')) {
      if (next != args.end()) out += *next++;
      ++i;
    } else {
      out += format[i];
    }
  }
  return out;
}

uint32_t ReasonForResult(int32_t result, bool encrypted) {
  switch (result) {
    case abi::kResultUnsupportedMethod:
      return text_id::kUnsupportedMethod;
    case abi::kResultDataError:
      return encrypted ? text_id::kDataErrorOrWrongPassword : text_id::kDataError;
    case abi::kResultCrcError:
      return text_id::kCrcFailed;
    case abi::kResultWrongPassword:
      return text_id::kDataErrorOrWrongPassword;
    default:
      return text_id::kUnknownError;
  }
}

void StderrMessageSink::Post(const ArchiveMessage& message) {
  std::fprintf(stderr, "%s%s\n", prefix_.c_str(), Utf16ToUtf8(message.text).c_str());
}

}  // namespace kv::archive
