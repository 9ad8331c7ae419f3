// The archive prompts as dialogs: password, missing volumes, the wrong-password box and the
// archive comment, as logic over the dialogs' control models.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "manager/language.h"
#include "platform/ui/ui.h"

namespace kv::manager {

inline constexpr int kMissingVolumesDialogResource = 131;
inline constexpr int kPasswordDialogResource = 132;
inline constexpr int kCommentDialogResource = 143;

inline constexpr int kIdPromptLabel = 1036;
inline constexpr int kIdPasswordFileName = 1008;
inline constexpr int kIdPassword = 1006;
inline constexpr int kIdPasswordIcon = 1035;
inline constexpr int kIdVolumesNote = 1036;
inline constexpr int kIdVolumePathLabel = 1037;
inline constexpr int kIdVolumePath = 1000;
inline constexpr int kIdMissingLabel = 1038;
inline constexpr int kIdMissingList = 1001;
inline constexpr int kIdSkipVolumes = 1002;
inline constexpr int kIdCommentGroup = 1026;
inline constexpr int kIdComment = 1027;
inline constexpr int kIdCopyComment = 1028;

inline constexpr size_t kMaxCommentChars = 131072;

// First results of the prompts.
inline constexpr int kPromptOk = 1;
inline constexpr int kPromptCancel = 2;

platform::ui::DialogModel PasswordDialogTemplate();
platform::ui::DialogModel MissingVolumesDialogTemplate();
platform::ui::DialogModel CommentDialogTemplate();

struct PasswordAnswer {
  int result = kPromptCancel;  // kPromptOk or kPromptCancel (also when the dialog cannot be shown)
  std::u16string password;     // set on OK
};
// `prompt`: the label text the asker passes (text 560); `path`: the file, shown by its name.
PasswordAnswer AskPassword(platform::ui::Ui& ui, platform::ui::WindowId owner, const Languages& languages,
                           std::u16string_view prompt, std::u16string_view path);

struct VolumesAnswer {
  int result = kPromptCancel;
  bool skip = false;  // "Skip unaccessible volumes" ticked at OK
};
// `firstVolume`: the path of the set's first volume; `missing`: the derived names of the volumes
// that are missing or cannot be opened, in volume order.
VolumesAnswer AskMissingVolumes(platform::ui::Ui& ui, platform::ui::WindowId owner, const Languages& languages,
                                std::u16string_view firstVolume, const std::vector<std::u16string>& missing,
                                bool skipAllowed);

// Text 550 with OK and Cancel; the button pressed.
int AskAfterWrongPassword(platform::ui::Ui& ui, platform::ui::WindowId owner, const Languages& languages);

// The comment, given in the system code page.
void ShowComment(platform::ui::Ui& ui, platform::ui::WindowId owner, const Languages& languages,
                 std::string_view comment);

// The text after the last path separator, or all of it.
std::u16string FileNamePart(std::u16string_view path);

}  // namespace kv::manager
