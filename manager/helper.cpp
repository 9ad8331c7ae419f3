#include "manager/helper.h"

#include <sys/wait.h>
#include <unistd.h>

#include "common/config_names.h"
#include "common/texts.h"
#include "manager/archive_dialogs.h"
#include "manager/config_dialog.h"
#include "manager/dialog_common.h"
#include "manager/mount_flow.h"
#include "manager/tray_commands.h"
#include "platform/shell.h"
#include "platform/wide_text.h"
#include "platform/window_class.h"

namespace kv::manager {

using namespace kv::platform::ui;
namespace cfg = kv::config;

std::optional<std::u16string> UiPrompts::AskPassword(std::u16string_view prompt, const std::string& path) {
  PasswordAnswer a = manager::AskPassword(ui_, *owner_, languages_, prompt, platform::Utf8ToUtf16(path));
  if (a.result != kPromptOk) return std::nullopt;
  return std::move(a.password);
}

bool UiPrompts::WrongPassword(std::u16string_view text) {
  return ManagerMessageBox(ui_, *owner_, languages_, text, MB_OKCANCEL | MB_ICONERROR) == IDOK;
}

inspect::VolumesAnswer UiPrompts::AskMissingVolumes(const inspect::MissingVolumes& volumes, bool skipAllowed,
                                                    const std::vector<std::u16string>&) {
  std::vector<std::u16string> missing;
  for (const std::string& name : volumes.missing) missing.push_back(platform::Utf8ToUtf16(name));
  // The dialog shows the folder of the first volume it is given.
  const VolumesAnswer a =
      manager::AskMissingVolumes(ui_, *owner_, languages_, platform::Utf8ToUtf16(volumes.folder), missing, skipAllowed);
  return {a.result == kPromptOk, a.skip};
}

void UiPrompts::ShowComment(const std::string& comment) {
  manager::ShowComment(ui_, *owner_, languages_, comment);
}

void UiPrompts::ShowError(const std::u16string& text) {
  ManagerMessageBox(ui_, *owner_, languages_, text, MB_OK | MB_ICONERROR);
}

std::string FileOfStoredImage(const std::u16string& stored) {
  if (!stored.empty() && stored[0] == u'/') return platform::Utf16ToUtf8(stored);
  return FileOfDisplayName(stored);
}

namespace {

struct FilterEntry {
  uint16_t text;
  const char16_t* patterns;
};

constexpr char16_t kArchivePatterns[] =
    u"*.zip;*.rar;*.7z;*.mzp;*.001;*.arj;*.bz2;*.bzip2;*.cab;*.cpio;*.deb;*.gz;*.gzip;*.lha;*.lzh;*.rpm;*.split;"
    u"*.swm;*.tar;*.taz;*.tbz;*tbz2;*.tgz;*.tpz;*.wim;*.z";
constexpr char16_t kImagePatterns[] =
    u"*.iso;*.daa;*.bin;*.cue;*.mdf;*.mds;*.gbi;*.gbp;*.ashdisc;*.bwi;*.b5i;*.lcd;*.img;*.cdi;*.cif;*.p01;*.pdi;"
    u"*.nrg;*.ncd;*.pxi;*.gi;*.fcd;*.vcd;*.c2d;*.dmg;*.bif;*.ima;*.flp;*.uif";
constexpr char16_t kAllSupportedPatterns[] =
    u"*.zip;*.rar;*.7z;*.mzp;*.iso;*.001;*.arj;*.bz2;*.bzip2;*.cab;*.cpio;*.deb;*.gz;*.gzip;*.lha;*.lzh;*.rpm;"
    u"*.split;*.swm;*.tar;*.taz;*.tbz;*tbz2;*.tgz;*.tpz;*.wim;*.z;*.daa;*.bin;*.cue;*.mdf;*.mds;*.gbi;*.gbp;"
    u"*.ashdisc;*.bwi;*.b5i;*.lcd;*.img;*.cdi;*.cif;*.p01;*.pdi;*.nrg;*.ncd;*.pxi;*.gi;*.fcd;*.vcd;*.c2d;*.dmg;"
    u"*.bif;*.ima;*.flp;*.uif";

constexpr FilterEntry kFilters[] = {
    {480, kAllSupportedPatterns}, {530, u"*.zip"},       {520, u"*.rar"}, {540, u"*.7z"}, {510, u"*.mzp"},
    {500, kArchivePatterns},      {490, kImagePatterns}, {470, u"*.*"},
};

}  // namespace

std::vector<FileFilter> MountFileFilters(const Languages& languages) {
  std::vector<FileFilter> filters;
  for (const FilterEntry& f : kFilters) {
    const std::u16string_view label = languages.Text(f.text);
    if (label.size() > 255) continue;
    filters.push_back({std::u16string(label) + u" (" + f.patterns + u")", f.patterns});
  }
  return filters;
}

Helper::Helper(Ui& ui, ConfigStore& config, Languages& languages)
    : ui_(ui),
      config_(config),
      languages_(languages),
      drives_([this](uint16_t id) { return std::u16string(languages_.Text(id)); },
              [this](const std::u16string& text, MessageKind kind) { Message(text, kind); }),
      prompts_(ui, languages, &window_) {
  context_.prompts = &prompts_;
  context_.text = [this](uint16_t id) { return std::u16string(languages_.Text(id)); };
  context_.installDir = platform::Utf16ToUtf8(config_.InstallFolder());
}

Helper::~Helper() = default;

void Helper::Message(const std::u16string& text, MessageKind kind) {
  uint32_t style = MB_OK;
  if (kind == MessageKind::kInformation) style |= MB_ICONINFORMATION;
  if (kind == MessageKind::kError) style |= MB_ICONERROR;
  if (kind == MessageKind::kQuestion) style |= MB_ICONQUESTION;
  ManagerMessageBox(ui_, window_, languages_, text, style);
}

std::vector<MenuDrive> Helper::MenuDrives() {
  std::vector<MenuDrive> out;
  const DriveList list = drives_.BuildDriveList();
  // Positions in the list are the drive numbers of the commands.
  for (size_t i = 0; i < list.size(); ++i)
    out.push_back({static_cast<int>(i), static_cast<char16_t>(list[i].letter()), drives_.QueryImage(list, i)});
  return out;
}

TrayServices Helper::Services() {
  TrayServices s;
  s.driverCheck = [this] { return drives_.DriverInstalled(); };
  s.driveList = [this] { return MenuDrives(); };
  s.setDriveCount = [this](int n) { drives_.SetDriveCount(n); };
  s.mount = [this](int d) { MountCommand(d); };
  s.unmount = [this](int d) { drives_.Unmount(d); };
  s.changeLetter = [this](int d, char16_t letter) {
    MachineLetterFollows(d, letter);
    std::u16string letters = config_.DriveLetters();
    if (d >= 0 && static_cast<size_t>(d) < letters.size()) letters[static_cast<size_t>(d)] = letter;
    drives_.ChangeLetter(drives_.BuildDriveList(), d, letters, [this](int drive, const std::u16string& image) {
      const std::string file = FileOfStoredImage(image);
      return !file.empty() && MountPath(drive, file);
    });
  };
  s.sendLanguage = [this](uint16_t id) { drives_.SetLanguage(id); };
  return s;
}

bool Helper::MachineLetterFollows(int drive, char16_t letter) {
  const auto holds = [&] {
    const std::u16string letters = config_.DriveLetters();
    return drive >= 0 && static_cast<size_t>(drive) < letters.size() && letters[static_cast<size_t>(drive)] == letter;
  };
  // The service takes the letter from the machine's DriveLetter. On Vista and later the dialog has
  // written the user's value only, which the apply step copies - so it runs now, not only after
  // the moves, or the drive would get its old letter again.
  if (holds() || !IsVistaOrLater(config_.facts())) return holds();
  pid_t step = -1;
  if (!StartElevatedApplyStep(config_, &step) || step <= 0) return false;
  int status = 0;
  for (int i = 0; i < 1000 && waitpid(step, &status, WNOHANG) == 0; ++i) usleep(10000);
  return holds();
}

bool Helper::Start(int* exitCode) {
  *exitCode = kHelperExitOk;
  // One manager per desktop; the one running is not disturbed.
  if (platform::FindWindowByClass(cfg::kManagerWindowClass)) return false;
  if (IsVistaOrLater(config_.facts())) config_.DeleteVirtualStoreCopies();
  if (!drives_.WindowsSupported(true)) return false;
  if (drives_.DriverInstalled()) SetUpDrives();
  if (outOfMemory_) {
    *exitCode = kHelperExitOutOfMemory;
    return false;
  }
  tray_ = std::make_unique<TrayApp>(ui_, config_, languages_, Services());
  if (!tray_->Start()) {
    tray_.reset();
    return false;
  }
  window_ = tray_->window();
  return true;
}

int Helper::Run() {
  int code = kHelperExitOk;
  if (!Start(&code)) return code;
  if (!tray_->ended()) ui_.RunLoop();
  tray_.reset();
  window_ = kNoWindow;
  return outOfMemory_ ? kHelperExitOutOfMemory : kHelperExitOk;
}

void Helper::SetUpDrives() {
  const int wanted = config_.DiskCount();
  DriveList list = drives_.BuildDriveList();
  if (static_cast<int>(list.size()) != wanted) {
    drives_.SetDriveCount(wanted);
    list = drives_.BuildDriveList();
  }
  if (!(config_.Flags() & cfg::FLAG_AUTOMOUNT)) return;
  for (size_t d = 0; d < list.size() && !outOfMemory_; ++d) {
    const int drive = static_cast<int>(d);
    const std::u16string stored = config_.ImageName(drive);
    if (stored.empty()) {
      drives_.Unmount(drive);
      continue;
    }
    const std::string file = FileOfStoredImage(stored);
    if (file.empty() || !MountPath(drive, file)) config_.SetImageName(drive, u"");
  }
}

void Helper::MountCommand(int drive) {
  const DriveList list = drives_.BuildDriveList();
  if (drive < 0 || static_cast<size_t>(drive) >= list.size()) return;
  OpenFileRequest request;
  request.owner = window_;
  request.filters = MountFileFilters(languages_);
  request.filterIndex = 1;
  request.defaultExtension = u".mzp";
  request.maxPathChars = 261;
  request.pathMustExist = true;
  const std::optional<std::u16string> picked = ui_.OpenFile(request);
  if (!picked || picked->empty()) return;
  if (!drives_.Unmount(drive)) return;
  // The service announces the removal before the new medium arrives.
  if (mountDelayMs_) usleep(mountDelayMs_ * 1000);
  MountPath(drive, platform::Utf16ToUtf8(*picked));
}

bool Helper::MountPath(int drive, const std::string& path) {
  const MountResult r = MountFile(drives_, drive, path, context_);
  if (r.outcome == MountOutcome::kMounted) return true;
  ShowMountFailure(path, r);
  return false;
}

void Helper::ShowMountFailure(const std::string& path, const MountResult& r) {
  const std::u16string file = platform::Utf8ToUtf16(path);
  switch (r.outcome) {
    case MountOutcome::kFailed:
      ManagerMessageBox(ui_, window_, languages_,
                        std::u16string(languages_.Text(320)) + u"\r\n\r\n" +
                            (r.sent.empty() ? file : platform::Utf8ToUtf16(r.sent)) + u"\r\n",
                        MB_OK | MB_ICONERROR);
      return;
    case MountOutcome::kRefused:
      break;
    default:  // given up, or already told by the drive control client
      return;
  }
  if (r.osError != 0) {
    ManagerMessageBox(ui_, window_, languages_, r.message, MB_OK | MB_ICONINFORMATION);
    return;
  }
  switch (r.inspectResult) {
    case 1:  // the user cancelled
      return;
    case inspect::kOpenNoMemory:
      ManagerMessageBox(ui_, window_, languages_, languages_.Text(830), MB_OK | MB_ICONERROR);
      outOfMemory_ = true;
      if (tray_) tray_->RunCommand(kCmdExit);
      return;
    case inspect::kOpenVersionUnsupported:
      if (ManagerMessageBox(ui_, window_, languages_, file + u"\r\n\r\n" + r.message, MB_OKCANCEL | MB_ICONERROR) ==
          IDOK)
        platform::ShellExecute(u"open", ArchiverDownloadAddress(languages_.currentLangId()), u"");
      return;
    default:
      ManagerMessageBox(ui_, window_, languages_, file + u"\r\n\r\n" + r.message, MB_OK | MB_ICONERROR);
  }
}

}  // namespace kv::manager
