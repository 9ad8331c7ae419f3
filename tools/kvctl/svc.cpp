// kvctl svc: commands to the running service through its command area, as any client sends them;
// kvctl sc: the service control manager (register, start, stop, boot) and the event log.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/service_command.h"
#include "common/texts.h"
#include "manager/drive_control.h"
#include "manager/mount_flow.h"
#include "manager/service_client.h"
#include "platform/devio.h"
#include "platform/event_log.h"
#include "platform/message_pipe.h"
#include "platform/service_control.h"
#include "platform/wide_text.h"
#include "tools/cli/cli.h"
#include "tools/kvctl/mount_options.h"

namespace kv::tools {
namespace {

namespace fs = std::filesystem;
using cli::kExitFailure;
using cli::kExitOk;
using cli::kExitUsage;

int Fail(const char* group, const std::string& what) {
  std::fprintf(stderr, "kvctl %s: %s\n", group, what.c_str());
  return kExitFailure;
}
int Usage(const char* group, const std::string& what) {
  std::fprintf(stderr, "kvctl %s: %s\n", group, what.c_str());
  return kExitUsage;
}

// A drive named by number (0-22) or by its letter (E or E:), whose device target names the number.
bool ParseDrive(const std::string& s, int* drive, std::string* error) {
  if (!s.empty() && s.size() <= 2 && s.find_first_not_of("0123456789") == std::string::npos) {
    *drive = std::stoi(s);
    if (*drive < kDriveCount) return true;
  } else if ((s.size() == 1 || (s.size() == 2 && s[1] == ':')) && std::isalpha(static_cast<unsigned char>(s[0]))) {
    std::string target;
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(s[0])));
    if (platform::QueryDosDevice(std::string(1, letter) + ":", &target) &&
        (*drive = manager::DriveNumberOfTarget(target)) >= 0)
      return true;
    *error = std::string(1, letter) + ": is not a virtual drive";
    return false;
  }
  *error = "'" + s + "' is not a drive (a number 0-22 or a letter like E:)";
  return false;
}

// The client's spelling of a file of this system: "C:\dir\file" (the root file system is C:).
bool ClientPath(const std::string& file, std::u16string* path, std::string* error) {
  std::u16string nt;
  if (manager::ServicePaths(file, &nt, path)) return true;
  *error = nt.empty() || path->empty() ? "'" + file + "' has no path the service can open"
                                       : "'" + file + "': the path is longer than 1023 characters";
  return false;
}

// Sends the record through the manager's drive control client and prints the reply; exit status
// 1 when Failed is set or the service cannot be reached (the client says why).
int SendAndReport(const std::vector<uint8_t>& record, bool json) {
  manager::DriveControl drives([](uint16_t id) { return std::u16string(texts::DefaultText(id)); },
                               [](const std::u16string& text, manager::MessageKind) {
                                 std::fprintf(stderr, "kvctl svc: %s\n", platform::Utf16ToUtf8(text).c_str());
                               });
  ServiceReply reply{};
  if (!drives.SendCommand(record, &reply)) return kExitFailure;
  if (json) {
    std::printf("{\"failed\":%u,\"arrivedLetters\":%u,\"removedLetters\":%u}\n", reply.Failed, reply.ArrivedLetters,
                reply.RemovedLetters);
  } else {
    std::printf("%s\narrived: %s\nremoved: %s\n", reply.Failed ? "failed" : "done",
                manager::LetterMaskText(reply.ArrivedLetters).c_str(),
                manager::LetterMaskText(reply.RemovedLetters).c_str());
  }
  return reply.Failed ? kExitFailure : kExitOk;
}

struct SvcVerb {
  cli::Args args;
  int exit = -1;
  int drive = -1;
  SvcVerb(int argc, char** argv, std::vector<std::string> known, size_t positional, bool takesDrive)
      : args(argc, argv, {"json"}) {
    known.push_back("json");
    std::string error;
    if (!args.ok()) {
      exit = Usage("svc", args.error());
    } else if (auto unknown = args.Unknown(known); !unknown.empty()) {
      exit = Usage("svc", "unknown option --" + unknown[0]);
    } else if (args.positional().size() != positional) {
      exit = Usage("svc", "wrong number of arguments (see --help)");
    } else if (takesDrive && !ParseDrive(args.positional()[0], &drive, &error)) {
      exit = Usage("svc", error);
    }
  }
};

int MountArchive(int argc, char** argv) {
  SvcVerb v(argc, argv, {"password", "password-file"}, 2, true);
  if (v.exit >= 0) return v.exit;
  std::u16string path;
  std::string error;
  if (!ClientPath(v.args.positional()[1], &path, &error)) return Usage("svc", error);
  std::optional<std::string> password;
  if (!v.args.GetPassword(&password, &error)) return Usage("svc", error);
  const std::u16string wide = platform::Utf8ToUtf16(password.value_or(""));
  if (wide.size() >= kCommandPasswordChars) return Usage("svc", "the password is too long");
  return SendAndReport(manager::MountArchiveRecord(v.drive, path, wide), v.args.Has("json"));
}

int MountImage(int argc, char** argv) {
  SvcVerb v(argc, argv, MountOptionNames(), 2, true);
  if (v.exit >= 0) return v.exit;
  std::u16string path;
  std::string error;
  std::vector<uint8_t> request;
  std::string image;
  if (!ClientPath(v.args.positional()[1], &path, &error)) return Usage("svc", error);
  switch (MountRequestFromOptions(v.args, v.args.positional()[1], &request, &image, &error)) {
    case MountOptionsResult::kUsage:
      return Usage("svc", error);
    case MountOptionsResult::kRefused:
      return Fail("svc", error);
    case MountOptionsResult::kOk:
      break;
  }
  if (request.size() > kCommandRequestMax) return Usage("svc", "the mount request does not fit the command area");
  return SendAndReport(manager::MountImageRecord(v.drive, path, request), v.args.Has("json"));
}

int Unmount(int argc, char** argv) {
  SvcVerb v(argc, argv, {}, 1, true);
  if (v.exit >= 0) return v.exit;
  return SendAndReport(manager::SimpleRecord(kCommandUnmount, v.drive), v.args.Has("json"));
}

int Letter(int argc, char** argv) {
  SvcVerb v(argc, argv, {}, 1, true);
  if (v.exit >= 0) return v.exit;
  return SendAndReport(manager::SimpleRecord(kCommandReapplyLetter, v.drive), v.args.Has("json"));
}

int NumberVerb(int argc, char** argv, uint32_t command, int64_t minimum, int64_t maximum) {
  SvcVerb v(argc, argv, {}, 1, false);
  if (v.exit >= 0) return v.exit;
  const std::string& text = v.args.positional()[0];
  char* end = nullptr;
  const long long n = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || n < minimum || n > maximum)
    return Usage("svc",
                 "'" + text + "' is not a number from " + std::to_string(minimum) + " to " + std::to_string(maximum));
  return SendAndReport(manager::SimpleRecord(command, static_cast<int32_t>(n)), v.args.Has("json"));
}

int DriveCount(int argc, char** argv) {
  return NumberVerb(argc, argv, kCommandSetDriveCount, 0, 1000);
}
int Language(int argc, char** argv) {
  return NumberVerb(argc, argv, kCommandSetLanguage, 1, 0xFFFF);
}

int Messages(int argc, char** argv) {
  cli::Args args(argc, argv, {});
  if (!args.ok()) return Usage("svc", args.error());
  if (auto unknown = args.Unknown({"count"}); !unknown.empty()) return Usage("svc", "unknown option --" + unknown[0]);
  int64_t count = 0;
  std::string error;
  if (!args.GetInt("count", 1, 1000000, &count, &error)) return Usage("svc", error);
  int e = 0;
  auto pipe = platform::MessagePipeClient::Connect(kMessagePipeName, &e);
  if (!pipe) return Fail("svc", std::string("cannot connect to the service's message pipe: ") + std::strerror(e));
  std::fprintf(stderr, "kvctl svc: waiting for messages (Ctrl-C ends)\n");
  for (int64_t seen = 0; count == 0 || seen < count;) {
    std::vector<uint8_t> message;
    bool closed = false;
    if (!pipe->Read(&message, -1, &closed)) {
      if (closed) return Fail("svc", "the service closed the message pipe");
      continue;
    }
    std::u16string text(message.size() / 2, u'\0');
    std::memcpy(text.data(), message.data(), text.size() * 2);
    if (const size_t nul = text.find(u'\0'); nul != std::u16string::npos) text.resize(nul);
    const std::string utf8 = platform::Utf16ToUtf8(text);
    const size_t split = utf8.find(":::");
    if (split == std::string::npos) {
      std::printf("%s\n", utf8.c_str());
    } else {
      std::printf("%s\n  %s\n", utf8.substr(0, split).c_str(), utf8.substr(split + 3).c_str());
    }
    std::fflush(stdout);
    ++seen;
  }
  return kExitOk;
}

int Svc(int argc, char** argv) {
  static const std::vector<cli::Verb> verbs = {
      {"mount-archive", "mount an archive (command 1)",
       "kvctl svc mount-archive DRIVE PATH [--password P | --password-file F] [--json]", MountArchive},
      {"mount-image", "mount an image file (command 2)",
       std::string("kvctl svc mount-image DRIVE FILE [--json] ") + kMountOptionsUsage, MountImage},
      {"unmount", "take the medium out (command 3)", "kvctl svc unmount DRIVE [--json]", Unmount},
      {"drive-count", "set the number of drives (command 4)", "kvctl svc drive-count N [--json]", DriveCount},
      {"letter", "apply the configured letter again (command 5)", "kvctl svc letter DRIVE [--json]", Letter},
      {"language", "set the service's language (command 6)", "kvctl svc language LANGID [--json]", Language},
      {"messages", "print the service's messages as they come",
       "kvctl svc messages [--count N]   (heading, then the details after \":::\" indented)", Messages},
  };
  std::vector<char*> v;
  std::string self = "svc";
  v.push_back(self.data());
  for (int i = 0; i < argc; ++i) v.push_back(argv[i]);
  return cli::Dispatch("kvctl svc", "commands to the running service (DRIVE: number 0-22 or letter E:)", verbs,
                       static_cast<int>(v.size()), v.data());
}

// ---- kvctl sc ----

std::string StateName(uint32_t state) {
  switch (state) {
    case platform::SERVICE_STOPPED:
      return "stopped";
    case platform::SERVICE_START_PENDING:
      return "start pending";
    case platform::SERVICE_STOP_PENDING:
      return "stop pending";
    case platform::SERVICE_RUNNING:
      return "running";
    default:
      return "state " + std::to_string(state);
  }
}

int ScCreate(int argc, char** argv) {
  cli::Args args(argc, argv, {});
  if (!args.ok()) return Usage("sc", args.error());
  if (auto unknown = args.Unknown({"binary", "type", "start"}); !unknown.empty())
    return Usage("sc", "unknown option --" + unknown[0]);
  if (args.positional().size() != 1 || !args.Get("binary")) return Usage("sc", "give NAME and --binary PATH");
  platform::ServiceConfig c;
  c.name = platform::Utf8ToUtf16(args.positional()[0]);
  const std::string type = args.Get("type").value_or("own");
  const std::string start = args.Get("start").value_or("demand");
  if (type != "own" && type != "driver") return Usage("sc", "--type is own or driver");
  c.type = type == "driver" ? platform::SERVICE_KERNEL_DRIVER : platform::SERVICE_WIN32_OWN_PROCESS;
  const std::vector<std::string> starts = {"boot", "system", "auto", "demand", "disabled"};
  const auto it = std::find(starts.begin(), starts.end(), start);
  if (it == starts.end()) return Usage("sc", "--start is boot, system, auto, demand or disabled");
  c.start = static_cast<uint32_t>(it - starts.begin());
  std::error_code ec;
  const std::string binary = fs::absolute(*args.Get("binary"), ec).string();
  c.imagePath = platform::Utf8ToUtf16(binary.find(' ') == std::string::npos ? binary : "\"" + binary + "\"");
  if (!platform::CreateService(c))
    return Fail("sc", "cannot create " + args.positional()[0] + ": error " + std::to_string(platform::GetLastError()));
  return kExitOk;
}

int ScSimple(int argc, char** argv, const char* what) {
  cli::Args args(argc, argv, {});
  if (!args.ok() || args.positional().size() != 1) return Usage("sc", "give the service's NAME");
  const std::u16string name = platform::Utf8ToUtf16(args.positional()[0]);
  const std::string verb = what;
  bool ok = false;
  platform::SERVICE_STATUS s{};
  if (verb == "start") {
    ok = platform::StartService(name) && platform::WaitServiceState(name, platform::SERVICE_RUNNING, 60000);
  } else if (verb == "stop") {
    ok = platform::ControlService(name, platform::SERVICE_CONTROL_STOP, &s) &&
         platform::WaitServiceState(name, platform::SERVICE_STOPPED, 120000);
  } else if (verb == "delete") {
    ok = platform::DeleteService(name);
  } else {
    pid_t pid = 0;
    ok = platform::QueryServiceStatus(name, &s, &pid);
    if (ok) {
      std::printf("%s: %s", args.positional()[0].c_str(), StateName(s.dwCurrentState).c_str());
      if (pid > 0) std::printf(" (process %d)", static_cast<int>(pid));
      if (s.dwWin32ExitCode != 0) std::printf(", exit code %u", s.dwWin32ExitCode);
      std::printf("\n");
    }
  }
  if (!ok) return Fail("sc", verb + " " + args.positional()[0] + ": error " + std::to_string(platform::GetLastError()));
  return kExitOk;
}

int ScStart(int argc, char** argv) {
  return ScSimple(argc, argv, "start");
}
int ScStop(int argc, char** argv) {
  return ScSimple(argc, argv, "stop");
}
int ScQuery(int argc, char** argv) {
  return ScSimple(argc, argv, "query");
}
int ScDelete(int argc, char** argv) {
  return ScSimple(argc, argv, "delete");
}

int ScBootOrShutdown(int argc, bool boot) {
  if (argc != 0) return Usage("sc", "no arguments");
  std::vector<std::string> log;
  const int failed = boot ? platform::BootSystem(&log) : platform::ShutdownSystem(&log);
  for (const auto& line : log) std::printf("%s\n", line.c_str());
  return failed == 0 ? kExitOk : kExitFailure;
}
int ScBoot(int argc, char**) {
  return ScBootOrShutdown(argc, true);
}
int ScShutdown(int argc, char**) {
  return ScBootOrShutdown(argc, false);
}

int ScEvents(int argc, char** argv) {
  cli::Args args(argc, argv, {"json"});
  if (!args.ok() || args.positional().size() > 1) return Usage("sc", "kvctl sc events [SOURCE] [--json]");
  const auto records =
      platform::ReadEventLog(args.positional().empty() ? u"" : platform::Utf8ToUtf16(args.positional()[0]));
  for (const auto& r : records) {
    std::string strings;
    for (const auto& s : r.strings) strings += (strings.empty() ? "" : "\t") + platform::Utf16ToUtf8(s);
    if (args.Has("json")) {
      std::printf("{\"record\":%lld,\"time\":%lld,\"source\":%s,\"type\":%u,\"id\":%u,\"strings\":%s}\n",
                  static_cast<long long>(r.recordNumber), static_cast<long long>(r.timeWritten),
                  cli::JsonString(platform::Utf16ToUtf8(r.source)).c_str(), r.type, r.eventId,
                  cli::JsonString(strings).c_str());
    } else {
      std::printf("%lld %s %s %u %s\n", static_cast<long long>(r.recordNumber), platform::Utf16ToUtf8(r.source).c_str(),
                  r.type == 1   ? "error"
                  : r.type == 2 ? "warning"
                                : "information",
                  r.eventId, strings.c_str());
    }
  }
  return kExitOk;
}

int Sc(int argc, char** argv) {
  static const std::vector<cli::Verb> verbs = {
      {"create", "record a service",
       "kvctl sc create NAME --binary PATH [--type own|driver] [--start boot|system|auto|demand|disabled]", ScCreate},
      {"delete", "remove a service's record", "kvctl sc delete NAME", ScDelete},
      {"start", "start a service and wait until it runs", "kvctl sc start NAME", ScStart},
      {"stop", "stop a service and wait until it stopped", "kvctl sc stop NAME", ScStop},
      {"query", "a service's state", "kvctl sc query NAME", ScQuery},
      {"boot", "start the boot, system and automatic services, then the Run entries", "kvctl sc boot", ScBoot},
      {"shutdown", "stop every running service, drivers last", "kvctl sc shutdown", ScShutdown},
      {"events", "print the event log", "kvctl sc events [SOURCE] [--json]", ScEvents},
  };
  std::vector<char*> v;
  std::string self = "sc";
  v.push_back(self.data());
  for (int i = 0; i < argc; ++i) v.push_back(argv[i]);
  return cli::Dispatch("kvctl sc", "the service control manager of the platform", verbs, static_cast<int>(v.size()),
                       v.data());
}

const cli::RegisterVerb kRegisterSvc({"svc", "commands to the running service through its command area",
                                      "kvctl svc VERB ...   DRIVE is a number 0-22 or a letter (E:)\n"
                                      "  mount-archive DRIVE PATH [--password P | --password-file F]\n"
                                      "  mount-image DRIVE FILE [geometry options as kvctl dev mount]\n"
                                      "  unmount DRIVE\n"
                                      "  drive-count N\n"
                                      "  letter DRIVE\n"
                                      "  language LANGID\n"
                                      "  messages [--count N]",
                                      Svc, /*group=*/true});
const cli::RegisterVerb kRegisterSc({"sc", "the service control manager: services, boot, event log",
                                     "kvctl sc VERB ...\n"
                                     "  create NAME --binary PATH [--type own|driver] [--start boot|...|demand]\n"
                                     "  delete NAME | start NAME | stop NAME | query NAME\n"
                                     "  boot | shutdown\n"
                                     "  events [SOURCE] [--json]",
                                     Sc, /*group=*/true});

}  // namespace
}  // namespace kv::tools
