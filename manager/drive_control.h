// The manager's side of the drives: the drive list from the letters' device targets, what a
// drive holds, and every change sent as a command to the service.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/service_command.h"

namespace kv::manager {

struct DriveEntry {
  std::string devicePath;  // "\\.\E:"
  int number = 0;          // 0..22
  char letter() const { return devicePath.size() > 4 ? devicePath[4] : '?'; }
};
using DriveList = std::vector<DriveEntry>;

// The drive number of a device target ("\Device\KVEmu\KVEmuCd<n>", n of one or two digits,
// 0..22), or -1.
int DriveNumberOfTarget(const std::string& target);

// Where the client's messages go (boxes in the tray, stderr for kvctl); the text and its kind.
enum class MessageKind { kPlain, kInformation, kError, kQuestion };
using MessageSink = std::function<void(const std::u16string& text, MessageKind kind)>;
using TextOf = std::function<std::u16string(uint16_t id)>;

class DriveControl {
 public:
  DriveControl(TextOf text, MessageSink message);

  DriveList BuildDriveList() const;
  // The display name of the medium at list position `position`; empty for none and any failure.
  std::u16string QueryImage(const DriveList& list, size_t position) const;
  // False (with text 430 shown) when the driver's control device cannot be opened.
  bool DriverInstalled() const;
  // False (with text 420 shown when asked) on systems older than Windows 2000.
  bool WindowsSupported(bool showMessage) const;
  // One command through the service's area; false when it could not be sent (texts 450/460).
  bool SendCommand(const std::vector<uint8_t>& record, ServiceReply* reply);
  bool Unmount(int drive);
  void UnmountAll();
  void SetDriveCount(int count);
  // The letter drive `drive` gets: its configured letter when free, else the first free one.
  std::optional<char> ChooseLetter(int drive, const std::u16string& configuredLetters) const;
  // Letter change of `drive`; `remount` mounts the previous image again (the mount flow).
  bool ChangeLetter(const DriveList& list, int drive, const std::u16string& configuredLetters,
                    const std::function<bool(int drive, const std::u16string& image)>& remount);
  void SetLanguage(uint16_t langId);
  // Sends a built mount command (archive or image); the reply's arrived letters in *arrived.
  bool Mount(const std::vector<uint8_t>& record, uint32_t* arrived);

 private:
  TextOf text_;
  MessageSink message_;
  struct Area;
  std::shared_ptr<Area> area_;
};

}  // namespace kv::manager
