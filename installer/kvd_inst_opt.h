// KvdInstOpt: the installer's options page (drive count, autostart, automount), the option writes,
// registering and starting the driver and the service, the autostart entry, and removal.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "installer/nsis_plugin.h"

namespace kv::installer {

// Page resource and its controls.
inline constexpr int kPageResource = 101;
inline constexpr int kDriveCountList = 1225;
inline constexpr int kDriveCountLabel = 1227;
inline constexpr int kAutostartBox = 1228;
inline constexpr int kAutomountBox = 1229;

inline constexpr size_t kTextBufferBytes = 512;
inline constexpr int kTextCount = 9;
// The texts of Dialog, in the order it pops them.
enum TextIndex {
  kRebootCaption,
  kRebootQuestion,
  kDriveItemFormat,
  kItemOneText,
  kItemZeroText,
  kAutomountLabel,
  kAutostartLabel,
  kDriveCountLabelText,
  kInstallerLanguage,
};

inline constexpr char16_t kArchiveServiceName[] = u"Korvendrake Service";
inline constexpr char16_t kDriverServiceName[] = u"kvemu";
inline constexpr char kControlDevice[] = "\\\\.\\KVEmuDev0";
inline constexpr uint32_t kManagerEndMessage = 0x421;

// LANGID for an installer language name; 1033 for a name not in the table.
uint16_t LanguageIdForInstallerName(std::string_view name);
// `text` cut to fit a buffer of `bufferBytes` with its terminator; a UTF-8 character is never split.
std::string CutToBuffer(std::string_view text, size_t bufferBytes, bool utf8);
// The drive count item for `count`: the first "%d" (or "%i", "%u") of `format` becomes the number,
// "%%" becomes "%", every other character stays as it is.
std::u16string FormatDriveItem(std::u16string_view format, int count);

struct PageLayoutRects {
  PageRect label;
  PageRect list;
  PageRect autostart;
  PageRect automount;
};
// Where the page's controls go on a placeholder `width` wide.
PageLayoutRects PageLayout(int width);

// The two locations derived from the install folder.
std::u16string ArchiveServiceBinary(std::u16string_view installFolder);
std::u16string DriverBinary(std::u16string_view installFolder);

}  // namespace kv::installer
