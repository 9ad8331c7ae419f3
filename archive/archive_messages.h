// Messages about archive access for the user (balloon texts sent by the service), with their
// language-file text ids and English defaults.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace kv::archive {

namespace text_id {
inline constexpr uint32_t kErrorCreatingTemporaryFiles = 370;  // "Error creating temporary files in '%s'."
inline constexpr uint32_t kErrorReadingTemporaryFiles = 380;   // "Error reading temporary files in '%s'."
inline constexpr uint32_t kFailedReading = 390;                // "Failed reading '%s'.%s%s"
inline constexpr uint32_t kUnsupportedMethod = 670;            // "Unsupported method!"
inline constexpr uint32_t kCrcFailed = 680;                    // "CRC failed!"
inline constexpr uint32_t kDataError = 690;                    // "Data error!"
inline constexpr uint32_t kUnknownError = 700;                 // "Unknown error!"
inline constexpr uint32_t kDataErrorOrWrongPassword = 710;     // "Data error or wrong password!"
}  // namespace text_id

// Built-in English text of a text id of this module; empty for ids it does not know.
std::u16string DefaultText(uint32_t id);

// One message: the text id of its frame (370, 380, 390), the text id of the reason inside it
// (0 when none) and the finished text.
struct ArchiveMessage {
  uint32_t textId = 0;
  uint32_t reasonTextId = 0;
  std::u16string text;
};

// Receives the messages (the service forwards them to its message pipe). Called from the
// extraction worker or the reading thread; implementations synchronise themselves.
class MessageSink {
 public:
  virtual ~MessageSink() = default;
  // The text of `id` in the current language; the default answers the built-in English text.
  virtual std::u16string Text(uint32_t id) { return DefaultText(id); }
  virtual void Post(const ArchiveMessage& message) = 0;
};

// Replaces the "%s" (and one "%C") placeholders of `format` in order with `args`.
std::u16string FormatText(std::u16string_view format, std::initializer_list<std::u16string_view> args);

// Reason text id for an extraction result other than 0. The library reports a wrong password
// as result 9 (zip); it reads as "Data error or wrong password!" like a data error of an
// encrypted item.
uint32_t ReasonForResult(int32_t result, bool encrypted);

}  // namespace kv::archive
