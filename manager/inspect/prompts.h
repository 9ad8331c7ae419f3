// The questions the inspection asks the user while it opens a file: a password, missing volumes
// of a split image, and the archive comment shown before a mount. The tray's dialogs, the
// console of kvctl and the tests' script answer through the same interface.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv::inspect {

// The text of a number in the current language (the built-in English text when none is set).
using TextLookup = std::function<std::u16string(uint16_t id)>;
std::u16string DefaultTextLookup(uint16_t id);

struct MissingVolumes {
  std::string folder;                // of the first volume, ending with the separator
  std::vector<std::string> missing;  // names of the volumes that did not open, in volume order
};

struct VolumesAnswer {
  bool ok = false;    // false: Cancel
  bool skip = false;  // "Skip unaccessible volumes" ticked at OK
};

class Prompts {
 public:
  virtual ~Prompts() = default;
  // The password dialog: `prompt` above the file's name; nothing when cancelled.
  virtual std::optional<std::u16string> AskPassword(std::u16string_view prompt, const std::string& path) = 0;
  // The "wrong password" box with OK and Cancel: true for OK (ask again).
  virtual bool WrongPassword(std::u16string_view text) = 0;
  // The missing-volumes dialog; `explanation`, `folderLabel`, `listLabel`, `skipLabel` are its texts.
  virtual VolumesAnswer AskMissingVolumes(const MissingVolumes& volumes, bool skipAllowed,
                                          const std::vector<std::u16string>& texts) = 0;
  // The comment dialog.
  virtual void ShowComment(const std::string& comment) = 0;
  // An error message box.
  virtual void ShowError(const std::u16string& text) = 0;
};

// kvctl's prompts: the password from a file or read from the terminal without echo, the missing
// volumes printed with a "skip" answer read from the terminal, the comment printed.
class ConsolePrompts final : public Prompts {
 public:
  // `passwordFile`: when set, the answer to every password question (a wrong one is not asked
  // again). Without a terminal and without a file every question is cancelled.
  explicit ConsolePrompts(std::optional<std::string> passwordFromFile = std::nullopt)
      : passwordFromFile_(std::move(passwordFromFile)) {}
  std::optional<std::u16string> AskPassword(std::u16string_view prompt, const std::string& path) override;
  bool WrongPassword(std::u16string_view text) override;
  VolumesAnswer AskMissingVolumes(const MissingVolumes& volumes, bool skipAllowed,
                                  const std::vector<std::u16string>& texts) override;
  void ShowComment(const std::string& comment) override;
  void ShowError(const std::u16string& text) override;

 private:
  std::optional<std::string> passwordFromFile_;
  bool fileAnswerUsed_ = false;
};

// Answers from queues; everything shown is recorded. An empty queue answers Cancel.
class ScriptedPrompts final : public Prompts {
 public:
  std::deque<std::optional<std::u16string>> passwords;
  std::deque<bool> wrongPasswordAnswers;  // empty: OK
  std::deque<VolumesAnswer> volumeAnswers;
  std::vector<std::string> shown;  // "password: <path>", "wrong: <text>", "volumes: a,b", "comment: ...", "error: ..."

  std::optional<std::u16string> AskPassword(std::u16string_view prompt, const std::string& path) override;
  bool WrongPassword(std::u16string_view text) override;
  VolumesAnswer AskMissingVolumes(const MissingVolumes& volumes, bool skipAllowed,
                                  const std::vector<std::u16string>& texts) override;
  void ShowComment(const std::string& comment) override;
  void ShowError(const std::u16string& text) override;
};

}  // namespace kv::inspect
