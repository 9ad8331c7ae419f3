// Every user-visible text of the system: its number in the language files and its built-in English
// default. The manager and the service look texts up by these numbers (manager/language.h).
#pragma once
#include <cstdint>
#include <string_view>

namespace kv::texts {

struct TextDefault {
  uint16_t id;
  std::u16string_view text;
};

enum TextId : uint16_t {
  TEXT_MOUNT_ARCHIVE = 10,
  TEXT_UNMOUNT_ARCHIVE = 20,
  TEXT_NO_DRIVE = 30,
  TEXT_SET_NUMBER_OF_DRIVES = 40,
  TEXT_DISABLE = 50,
  TEXT_N_DRIVES = 60,
  TEXT_DRIVE_LETTER_ITEM = 70,
  TEXT_NO_MEDIA = 80,
  TEXT_UNMOUNT_ALL = 90,
  TEXT_OPTIONS = 100,
  TEXT_AUTOSTART_MENU = 110,
  TEXT_AUTOMOUNT_MENU = 120,
  TEXT_AUTO = 130,
  TEXT_PRODUCT_NAME = 140,
  TEXT_DRIVE = 150,
  TEXT_LETTER = 160,
  TEXT_DISABLED = 170,
  TEXT_MOUNT_ARCHIVE_TO_DRIVE = 180,
  TEXT_UNMOUNT_DRIVE = 190,
  TEXT_EDIT_LETTER_PROMPT = 220,
  TEXT_LETTER_ALREADY_ASSIGNED = 230,
  TEXT_LETTER_IN_USE = 240,
  TEXT_CHANGE_LETTER_NOW = 250,
  TEXT_PASSWORD_REQUIRED = 260,
  TEXT_FILE_TOO_LARGE = 270,
  TEXT_FORMAT_INVALID = 280,
  TEXT_CANNOT_READ_DIRECTORY = 290,
  TEXT_MOUNT_IMAGE_FAILED = 320,
  TEXT_ERROR_READING_ARCHIVE_NAMED = 350,
  TEXT_ERROR_EXTRACTING_ARCHIVE = 360,
  TEXT_ERROR_CREATING_TEMPORARY_FILES = 370,
  TEXT_ERROR_READING_TEMPORARY_FILES = 380,
  TEXT_FAILED_READING = 390,
  TEXT_ERROR_READING_ARCHIVE = 400,
  TEXT_FILE_VERSION_MISMATCH = 410,
  TEXT_REQUIRES_WINDOWS = 420,
  TEXT_NOT_INSTALLED_CORRECTLY = 430,
  TEXT_FAILED_TO_LOAD_DRIVE = 450,
  TEXT_FAILED_TO_SEND = 460,
  TEXT_ALL_FILES = 470,
  TEXT_ALL_SUPPORTED_FILES = 480,
  TEXT_ALL_IMAGE_FILES = 490,
  TEXT_ALL_ARCHIVES = 500,
  TEXT_MOUNTABLE_ARCHIVES = 510,
  TEXT_RAR_ARCHIVES = 520,
  TEXT_ZIP_ARCHIVES = 530,
  TEXT_7Z_ARCHIVES = 540,
  TEXT_PASSWORD_WRONG = 550,
  TEXT_INPUT_PASSWORD = 560,
  TEXT_NEED_VOLUME = 590,
  TEXT_VOLUMES_SAME_FOLDER = 600,
  TEXT_VOLUME_PATH = 610,
  TEXT_VOLUMES_MISSED = 620,
  TEXT_SKIP_VOLUMES = 630,
  TEXT_UNSUPPORTED_METHOD = 670,
  TEXT_CRC_FAILED = 680,
  TEXT_DATA_ERROR = 690,
  TEXT_UNKNOWN_ERROR = 700,
  TEXT_DATA_ERROR_OR_PASSWORD = 710,
  TEXT_OPEN_ARCHIVER = 720,
  TEXT_INSTALL_ARCHIVER = 730,
  TEXT_EXIT = 750,
  TEXT_CONFIGURATION_MENU = 760,
  TEXT_MORE = 770,
  TEXT_LANGUAGE = 810,
  TEXT_OUT_OF_MEMORY = 830,
  TEXT_OK = 850,
  TEXT_CANCEL = 860,
  TEXT_COMMENT = 870,
  TEXT_COPY_TO_CLIPBOARD = 880,
  TEXT_EDIT_DRIVE_LETTER = 890,
  TEXT_NEW_LETTER_ASSIGNMENT = 900,
  TEXT_CONFIGURATION_TITLE = 910,
  TEXT_DRIVE_OPTIONS = 920,
  TEXT_LETTER_ASSIGNMENT = 930,
  TEXT_TEMPORARY_FOLDER = 940,
  TEXT_MISCELLANEOUS = 950,
  TEXT_NUMBER_OF_DRIVES = 960,
  TEXT_AUTOSTART = 970,
  TEXT_AUTOMOUNT = 980,
  TEXT_EDIT = 990,
  TEXT_TEMPORARY_FOLDER_NOTE = 1000,
};

// Sorted by id.
inline constexpr TextDefault kTextDefaults[] = {
    {10, u"&Mount Archive..."},
    {20, u"&Unmount Archive"},
    {30, u"<No Drive>"},
    {40, u"&Set Number of Drives"},
    {50, u"Disable"},
    {60, u"%d Drives"},
    {70, u"Drive [%c:] "},
    {80, u"<No media>"},
    {90, u"&Unmount All Drives"},
    {100, u"&Options"},
    {110, u"Auto&start"},
    {120, u"Auto&mount"},
    {130, u"<Auto>"},
    {140, u"Korvendrake Virtual Drive"},
    {150, u"Drive"},
    {160, u"Letter"},
    {170, u"<Disabled>"},
    {180, u"Mount Archive to Drive [%c:] "},
    {190, u"Unmount Drive [%c:]"},
    {220, u"Edit the drive letter assignment for drive %d:"},
    {230, u"%C:\r\n\r\nThe drive letter has already been assigned to drive %d."},
    {240, u"Drive %d\r\n\r\nThe drive letter [%C:] is already in use. Korvendrake will use [%C:] for this drive."},
    {250, u"Drive %d\r\n\r\nThe drive letter is [%C:] , do you want to change it to [%C:] now?"},
    {260, u"You must input password to open this file."},
    {270, u"The file size is too large."},
    {280, u"The file format is invalid or unsupported."},
    {290, u"Can not read directory structure."},
    {320, u"Mount image failed."},
    {350, u"Error reading archive '%s'."},
    {360, u"Error extractting archive '%s'."},
    {370, u"Error creating temporary files in '%s'."},
    {380, u"Error reading temporary files in '%s'."},
    {390, u"Failed reading '%s'.%s%s"},
    {400, u"Error reading archive. "},
    {410, u"File version mismatch. To open this file, please visit our website to get the latest version."},
    {420, u"Korvendrake Virtual Drive requires windows2000/XP or above."},
    {430, u"Korvendrake Virtual Drive is not installed correctly.\r\n\r\nPlease reinstall it."},
    {450, u"Failed to load virtual drive."},
    {460, u"Failed to send message to the virtual drive."},
    {470, u"All Files"},
    {480, u"All Supported Files"},
    {490, u"All CD/DVD Image Files"},
    {500, u"All Archives"},
    {510, u"Mountable Archives"},
    {520, u"RAR Archives"},
    {530, u"Zip Archives"},
    {540, u"7z Archives"},
    {550, u"The password is wrong. "},
    {560, u"Please input the password:"},
    {590, u"You are ready to open a multi-volume archive. Korvendrake needs this volume to continue."},
    {600,
     u"Please put all volumes under the same folder before edit, convert, or mount a multi volume image file, and "
     u"make sure no volume is opened by other program."},
    {610, u"Volume path:"},
    {620, u"Volumes missed or can not be opened:"},
    {630, u"Skip unaccessible volumes"},
    {670, u"Unsupported method!"},
    {680, u"CRC failed!"},
    {690, u"Data error!"},
    {700, u"Unknown error!"},
    {710, u"Data error or wrong password!"},
    {720, u"Open &Korvendrake"},
    {730, u"Install &Korvendrake"},
    {750, u"&Exit"},
    {760, u"&Configuration..."},
    {770, u"More"},
    {810, u"Language:"},
    {830, u"Out of memory. Program abort."},
    {850, u"OK"},
    {860, u"Cancel"},
    {870, u"Comment:"},
    {880, u"Copy to Clipboard"},
    {890, u"Edit Drive Letter"},
    {900, u"New drive letter assignment:"},
    {910, u"Korvendrake Virtual Drive Configuration"},
    {920, u"Virtual Drive Options:"},
    {930, u"Virtual Drive Letter Assignment:"},
    {940, u"Temporary Folder:"},
    {950, u"Miscellaneous:"},
    {960, u"Number of Virtual Drives:"},
    {970, u"Autostart"},
    {980, u"Automount"},
    {990, u"Edit..."},
    {1000, u"Note: Leave blank if using system temporary folder."},
};

// The built-in English text of `id`; empty when the id is unknown.
constexpr std::u16string_view DefaultText(uint16_t id) {
  size_t lo = 0, hi = sizeof(kTextDefaults) / sizeof(kTextDefaults[0]);
  while (lo < hi) {
    const size_t mid = (lo + hi) / 2;
    if (kTextDefaults[mid].id == id) return kTextDefaults[mid].text;
    if (kTextDefaults[mid].id < id) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return {};
}

constexpr bool TextDefaultsSorted() {
  for (size_t i = 1; i < sizeof(kTextDefaults) / sizeof(kTextDefaults[0]); ++i) {
    if (kTextDefaults[i - 1].id >= kTextDefaults[i].id) return false;
  }
  return true;
}
static_assert(TextDefaultsSorted(), "text ids must be unique and sorted");
static_assert(DefaultText(TEXT_PRODUCT_NAME) == u"Korvendrake Virtual Drive");

}  // namespace kv::texts
