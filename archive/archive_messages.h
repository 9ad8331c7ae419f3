// Messages about archive access for the user (balloon texts sent by the service), with their
// language-file text ids and English defaults.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "common/texts.h"

namespace kv::archive {

namespace text_id {
inline constexpr uint32_t kErrorCreatingTemporaryFiles = texts::TEXT_ERROR_CREATING_TEMPORARY_FILES;  // 370
inline constexpr uint32_t kErrorReadingTemporaryFiles = texts::TEXT_ERROR_READING_TEMPORARY_FILES;    // 380
inline constexpr uint32_t kFailedReading = texts::TEXT_FAILED_READING;                                // 390
inline constexpr uint32_t kUnsupportedMethod = texts::TEXT_UNSUPPORTED_METHOD;                        // 670
inline constexpr uint32_t kCrcFailed = texts::TEXT_CRC_FAILED;                                        // 680
inline constexpr uint32_t kDataError = texts::TEXT_DATA_ERROR;                                        // 690
inline constexpr uint32_t kUnknownError = texts::TEXT_UNKNOWN_ERROR;                                  // 700
inline constexpr uint32_t kDataErrorOrWrongPassword = texts::TEXT_DATA_ERROR_OR_PASSWORD;             // 710
}  // namespace text_id

// Built-in English text of a text id; empty for ids that do not exist.
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

// Messages as lines on stderr, each after `prefix`: the command-line tools' sink.
class StderrMessageSink : public MessageSink {
 public:
  explicit StderrMessageSink(std::string prefix = {}) : prefix_(std::move(prefix)) {}
  void Post(const ArchiveMessage& message) override;

 private:
  std::string prefix_;
};

// Replaces the "%s" (and one "%C") placeholders of `format` in order with `args`.
std::u16string FormatText(std::u16string_view format, std::initializer_list<std::u16string_view> args);

// Reason text id for an extraction result other than 0. The library reports a wrong password
// as result 9 (zip); it reads as "Data error or wrong password!" like a data error of an
// encrypted item.
uint32_t ReasonForResult(int32_t result, bool encrypted);

}  // namespace kv::archive
