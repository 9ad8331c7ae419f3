#include "archive/archive_messages.h"

#include "archive/codec_abi.h"

namespace kv::archive {

std::u16string DefaultText(uint32_t id) {
  switch (id) {
    case text_id::kErrorCreatingTemporaryFiles:
      return u"Error creating temporary files in '%s'.";
    case text_id::kErrorReadingTemporaryFiles:
      return u"Error reading temporary files in '%s'.";
    case text_id::kFailedReading:
      return u"Failed reading '%s'.%s%s";
    case text_id::kUnsupportedMethod:
      return u"Unsupported method!";
    case text_id::kCrcFailed:
      return u"CRC failed!";
    case text_id::kDataError:
      return u"Data error!";
    case text_id::kUnknownError:
      return u"Unknown error!";
    case text_id::kDataErrorOrWrongPassword:
      return u"Data error or wrong password!";
    default:
      return {};
  }
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

}  // namespace kv::archive
