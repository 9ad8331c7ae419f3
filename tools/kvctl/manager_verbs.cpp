// kvctl list, mount, unmount, identify, drives, letter, language, messages: the manager's own
// operations from the command line, with the system's texts in the configured language.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/config_names.h"
#include "common/service_command.h"
#include "manager/config_store.h"
#include "manager/drive_control.h"
#include "manager/language.h"
#include "manager/mount_flow.h"
#include "platform/wide_text.h"
#include "tools/cli/cli.h"

namespace kv::tools {
namespace {

using cli::kExitFailure;
using cli::kExitOk;
using cli::kExitUsage;

std::string Terminal(std::u16string_view text) {
  std::string out;
  for (char c : platform::Utf16ToUtf8(text))
    if (c != '\r') out += c;
  return out;
}

// The configured language, the install folder and the drive control client of one verb.
struct Manager {
  manager::ConfigStore config{manager::ConfigProgram::Manager};
  manager::Languages languages{config};
  manager::DriveControl drives;
  inspect::InspectContext context;

  Manager()
      : drives([this](uint16_t id) { return std::u16string(languages.Text(id)); },
               [](const std::u16string& text, manager::MessageKind) {
                 std::fprintf(stderr, "kvctl: %s\n", Terminal(text).c_str());
               }) {
    languages.Load();
    context.text = [this](uint16_t id) { return std::u16string(languages.Text(id)); };
    context.installDir = platform::Utf16ToUtf8(config.InstallFolder());
  }
};

int Usage(const std::string& verb, const std::string& what) {
  std::fprintf(stderr, "kvctl %s: %s (see kvctl %s --help)\n", verb.c_str(), what.c_str(), verb.c_str());
  return kExitUsage;
}

bool CheckArgs(const cli::Args& args, const std::string& verb, const std::vector<std::string>& known, size_t minimum,
               size_t maximum, int* exit) {
  if (!args.ok()) {
    *exit = Usage(verb, args.error());
  } else if (auto unknown = args.Unknown(known); !unknown.empty()) {
    *exit = Usage(verb, "unknown option --" + unknown[0]);
  } else if (args.positional().size() < minimum || args.positional().size() > maximum) {
    *exit = Usage(verb, "wrong number of arguments");
  } else {
    return true;
  }
  return false;
}

// A drive by list position (0-22) or by its letter ("E" or "E:").
bool ParseDrive(const std::string& s, const manager::DriveList& list, int* drive, std::string* error) {
  if (!s.empty() && s.size() <= 2 && s.find_first_not_of("0123456789") == std::string::npos) {
    *drive = std::stoi(s);
    if (*drive < kDriveCount) return true;
  } else if ((s.size() == 1 || (s.size() == 2 && s[1] == ':')) && std::isalpha(static_cast<unsigned char>(s[0]))) {
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(s[0])));
    for (size_t i = 0; i < list.size(); ++i)
      if (list[i].letter() == letter) {
        *drive = static_cast<int>(i);
        return true;
      }
    *error = std::string(1, letter) + ": is not a virtual drive";
    return false;
  }
  *error = "'" + s + "' is not a drive (a number 0-22 or a letter like E:)";
  return false;
}

int List(int argc, char** argv) {
  cli::Args args(argc, argv, {"json"});
  int exit = 0;
  if (!CheckArgs(args, "list", {"json"}, 0, 0, &exit)) return exit;
  Manager m;
  if (!m.drives.DriverInstalled()) return kExitFailure;
  const manager::DriveList list = m.drives.BuildDriveList();
  const bool json = args.Has("json");
  if (json) std::printf("[");
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string image = Terminal(m.drives.QueryImage(list, i));
    if (json) {
      std::printf("%s{\"drive\":%zu,\"number\":%d,\"letter\":\"%c:\",\"image\":%s}", i ? "," : "", i, list[i].number,
                  list[i].letter(), image.empty() ? "null" : cli::JsonString(image).c_str());
    } else {
      std::printf("%zu %c: %s\n", i, list[i].letter(),
                  image.empty() ? Terminal(m.languages.Text(80)).c_str() : image.c_str());
    }
  }
  if (json) std::printf("]\n");
  return kExitOk;
}

std::optional<std::string> PasswordFile(const cli::Args& args, std::string* error, bool* bad) {
  std::optional<std::string> password;
  *bad = !args.GetPassword(&password, error);
  return password;
}

int Mount(int argc, char** argv) {
  cli::Args args(argc, argv, {});
  int exit = 0;
  if (!CheckArgs(args, "mount", {"password-file"}, 1, 2, &exit)) return exit;
  std::string error;
  bool bad = false;
  inspect::ConsolePrompts prompts(PasswordFile(args, &error, &bad));
  if (bad) return Usage("mount", error);
  Manager m;
  m.context.prompts = &prompts;
  int drive = -1;
  const auto& p = args.positional();
  if (p.size() == 2 && !ParseDrive(p[0], m.drives.BuildDriveList(), &drive, &error)) return Usage("mount", error);
  const manager::MountResult r = manager::MountFile(m.drives, drive, p.back(), m.context);
  switch (r.outcome) {
    case manager::MountOutcome::kMounted:
      if (r.letter)
        std::printf("%c:\n", r.letter);
      else
        std::printf("drive %d\n", r.drive);
      return kExitOk;
    case manager::MountOutcome::kNoDrive:
      std::fprintf(stderr, "kvctl mount: no drive is empty (kvctl drives N makes more)\n");
      return kExitFailure;
    case manager::MountOutcome::kAbandoned:
    case manager::MountOutcome::kSendFailed:
      return kExitFailure;
    default:
      std::fprintf(stderr, "kvctl mount: %s\n", Terminal(r.message).c_str());
      return kExitFailure;
  }
}

int Unmount(int argc, char** argv) {
  cli::Args args(argc, argv, {"all"});
  int exit = 0;
  if (!CheckArgs(args, "unmount", {"all"}, args.Has("all") ? 0 : 1, args.Has("all") ? 0 : 1, &exit)) return exit;
  Manager m;
  if (!m.drives.DriverInstalled()) return kExitFailure;
  if (args.Has("all")) {
    m.drives.UnmountAll();
    return kExitOk;
  }
  int drive = -1;
  std::string error;
  if (!ParseDrive(args.positional()[0], m.drives.BuildDriveList(), &drive, &error)) return Usage("unmount", error);
  return m.drives.Unmount(drive) ? kExitOk : kExitFailure;
}

int Identify(int argc, char** argv) {
  cli::Args args(argc, argv, {"json"});
  int exit = 0;
  if (!CheckArgs(args, "identify", {"json", "password-file"}, 1, 1, &exit)) return exit;
  std::string error;
  bool bad = false;
  inspect::ConsolePrompts prompts(PasswordFile(args, &error, &bad));
  if (bad) return Usage("identify", error);
  Manager m;
  m.context.prompts = &prompts;
  manager::Inspection in = manager::InspectFile(args.positional()[0], m.context);
  if (in.abandoned) return kExitFailure;
  if (in.osError) {
    std::fprintf(stderr, "kvctl identify: %s: %s\n", in.image.c_str(), std::strerror(in.osError));
    return kExitFailure;
  }
  if (in.result != inspect::kOpenOk) {
    const uint16_t text = inspect::OpenResultText(in.result);
    std::fprintf(stderr, "kvctl identify: %s\n", Terminal(m.languages.Text(text ? text : 280)).c_str());
    if (args.Has("json")) std::printf("{\"result\":%d}\n", in.result);
    return kExitFailure;
  }
  inspect::ImageProbe& p = *in.probe;
  std::string volumes;
  if (p.volumes)
    for (size_t i = 0; i < p.volumes->names.size(); ++i)
      volumes += (i ? "," : "") + cli::JsonString(p.volumes->names[i]);
  const int tracks = p.layout ? p.layout->trackCount : 0;
  if (args.Has("json")) {
    std::printf(
        "{\"result\":0,\"image\":%s,\"descriptor\":%s,\"format\":%d,\"formatName\":\"%s\",\"sectorSize\":%d,"
        "\"dataOffset\":%d,\"startOffset\":%d,\"sectorCount\":%d,\"tracks\":%d,\"volumes\":[%s],"
        "\"encrypted\":%s,\"passwordGiven\":%s,\"archiveFormat\":%s,\"items\":%u,\"comment\":%s}\n",
        cli::JsonString(in.image).c_str(), in.descriptor.empty() ? "null" : cli::JsonString(in.descriptor).c_str(),
        p.format, inspect::FormatLabel(p.format).c_str(), p.sectorSize, p.dataOffset, p.startOffset, p.sectorCount,
        tracks, volumes.c_str(), p.encrypted ? "true" : "false", p.passwordKnown ? "true" : "false",
        p.isArchive ? cli::JsonString(p.archiveFormat).c_str() : "null", p.archiveItems,
        cli::JsonString(p.comment).c_str());
  } else {
    std::printf("image: %s\n", in.image.c_str());
    if (!in.descriptor.empty()) std::printf("descriptor: %s\n", in.descriptor.c_str());
    std::printf("format: %d (%s)\n", p.format, inspect::FormatLabel(p.format).c_str());
    if (p.isArchive) {
      std::printf("archive: %s, %u items\n", p.archiveFormat.c_str(), p.archiveItems);
    } else {
      std::printf("geometry: sector size %d, data offset %d, start offset %d\nsectors: %d\n", p.sectorSize,
                  p.dataOffset, p.startOffset, p.sectorCount);
    }
    if (tracks) std::printf("tracks: %d\n", tracks);
    if (p.volumes) std::printf("volumes: %u\n", p.volumes->count);
    if (p.mzp)
      std::printf("container: %s, content %s\n",
                  p.mzp->keyBits ? ("AES-" + std::to_string(p.mzp->keyBits)).c_str() : "not encrypted",
                  p.marfs ? "a MARFS volume" : "a disc file system");
    if (p.encrypted) std::printf("encrypted: password %s\n", p.passwordKnown ? "accepted" : "not given");
    if (!p.comment.empty()) std::printf("comment:\n%s\n", p.comment.c_str());
  }
  return kExitOk;
}

int Drives(int argc, char** argv) {
  cli::Args args(argc, argv, {});
  int exit = 0;
  if (!CheckArgs(args, "drives", {}, 1, 1, &exit)) return exit;
  const std::string& text = args.positional()[0];
  if (text.empty() || text.size() > 2 || text.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(text) > kDriveCount)
    return Usage("drives", "N is a number from 0 to 23");
  Manager m;
  if (!m.drives.DriverInstalled()) return kExitFailure;
  m.drives.SetDriveCount(std::stoi(text));
  return static_cast<int>(m.drives.BuildDriveList().size()) == std::stoi(text) ? kExitOk : kExitFailure;
}

int Letter(int argc, char** argv) {
  cli::Args args(argc, argv, {});
  int exit = 0;
  if (!CheckArgs(args, "letter", {}, 2, 2, &exit)) return exit;
  const std::string& x = args.positional()[1];
  const char wanted = x.empty() ? 0 : static_cast<char>(std::toupper(static_cast<unsigned char>(x[0])));
  if (x.size() > 2 || (x.size() == 2 && x[1] != ':') || ((wanted < 'D' || wanted > 'Z') && wanted != 'A'))
    return Usage("letter", "X is a letter D-Z, or A for automatic");
  Manager m;
  if (!m.drives.DriverInstalled()) return kExitFailure;
  const manager::DriveList list = m.drives.BuildDriveList();
  int drive = -1;
  std::string error;
  if (!ParseDrive(args.positional()[0], list, &drive, &error)) return Usage("letter", error);
  // The service takes the letter from the configuration: store it first.
  std::u16string letters = m.config.DriveLetters();
  letters[static_cast<size_t>(drive)] = static_cast<char16_t>(wanted);
  if (!m.config.WriteString(config::kDriveLetter, letters) || !m.config.ApplyElevated()) {
    std::fprintf(stderr, "kvctl letter: the drive letters cannot be stored\n");
    return kExitFailure;
  }
  const bool ok = m.drives.ChangeLetter(list, drive, letters, [&](int d, const std::u16string& image) {
    return manager::MountFile(m.drives, d, manager::FileOfDisplayName(image), m.context).outcome ==
           manager::MountOutcome::kMounted;
  });
  return ok ? kExitOk : kExitFailure;
}

int Language(int argc, char** argv) {
  cli::Args args(argc, argv, {});
  int exit = 0;
  if (!CheckArgs(args, "language", {}, 1, 1, &exit)) return exit;
  Manager m;
  const std::string& want = args.positional()[0];
  const auto& entries = m.languages.list().entries;
  int index = -1;
  for (size_t i = 0; i < entries.size() && index < 0; ++i) {
    const std::string id = std::to_string(entries[i].langId);
    if (want == id || want == platform::Utf16ToUtf8(entries[i].displayName) ||
        want == platform::Utf16ToUtf8(entries[i].secondName))
      index = static_cast<int>(i);
  }
  if (index < 0) {
    std::fprintf(stderr, "kvctl language: no language '%s'; there are:\n", want.c_str());
    for (const auto& e : entries)
      std::fprintf(stderr, "  %u %s\n", e.langId, platform::Utf16ToUtf8(e.displayName).c_str());
    return kExitUsage;
  }
  if (!m.drives.DriverInstalled()) return kExitFailure;
  const bool ok = m.languages.Switch(index, [&](uint16_t langId) { m.drives.SetLanguage(langId); });
  return ok ? kExitOk : kExitFailure;
}

// The balloon tips of the tray for a terminal: the service's message pipe, as kvctl svc reads it.
int Messages(int argc, char** argv) {
  for (const cli::Verb& verb : cli::Registry()) {
    if (verb.name != "svc") continue;
    std::string name = "messages";
    std::vector<char*> v{name.data()};
    for (int i = 0; i < argc; ++i) v.push_back(argv[i]);
    return verb.run(static_cast<int>(v.size()), v.data());
  }
  return kExitFailure;
}

const cli::RegisterVerb kList({"list", "the drives, their letters and what each holds", "kvctl list [--json]", List});
const cli::RegisterVerb kMount({"mount", "mount a file as the manager does (identify, ask, send)",
                                "kvctl mount [DRIVE] FILE [--password-file F]\n"
                                "  DRIVE: number 0-22 or letter (E:); the first empty drive when omitted.\n"
                                "  Prints the drive's letter. Without --password-file a password is read from\n"
                                "  the terminal without echo.",
                                Mount});
const cli::RegisterVerb kUnmount({"unmount", "take the medium out of a drive, or of all", "kvctl unmount DRIVE | --all",
                                  Unmount});
const cli::RegisterVerb kIdentify({"identify", "what the manager decides about a file; nothing is mounted",
                                   "kvctl identify FILE [--json] [--password-file F]", Identify});
const cli::RegisterVerb kDrives({"drives", "set the number of drives (0-23)", "kvctl drives N", Drives});
const cli::RegisterVerb kLetter({"letter", "give a drive another letter (A: automatic)", "kvctl letter DRIVE X",
                                 Letter});
const cli::RegisterVerb kLanguage({"language", "set the language of the manager and the service",
                                   "kvctl language ID|NAME", Language});
const cli::RegisterVerb kMessages({"messages", "print the service's messages as they come (Ctrl-C ends)",
                                   "kvctl messages [--count N]", Messages});

}  // namespace
}  // namespace kv::tools
