#include <errno.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "archive/archive_messages.h"
#include "common/config_names.h"
#include "manager/config_store.h"
#include "platform/ntpath.h"
#include "platform/wide_text.h"
#include "service/commands/archive_mount.h"
#include "service/temp_folder.h"
#include "tools/cli/cli.h"
#include "tools/kvctl/dev_serve.h"

namespace kv::tools {
namespace {

namespace fs = std::filesystem;

int Fail(const std::string& what) {
  std::fprintf(stderr, "kvctl dev serve: %s\n", what.c_str());
  return cli::kExitFailure;
}

int Usage(const std::string& what) {
  std::fprintf(stderr, "kvctl dev serve: %s\n%s\n", what.c_str(), kDevServeUsage);
  return cli::kExitUsage;
}

// A server killed before it could clean up leaves its store behind; the next server removes it.
void RemoveStoresOfDeadServers(const std::string& base) {
  std::error_code ec;
  for (fs::directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    int drive = 0;
    int pid = 0;
    int used = 0;
    if (std::sscanf(name.c_str(), "serve-%d-%d%n", &drive, &pid, &used) != 2 ||
        static_cast<size_t>(used) != name.size() || pid <= 0)
      continue;
    if (kill(pid, 0) == 0 || errno != ESRCH) continue;
    std::error_code ignored;
    fs::remove_all(it->path(), ignored);
  }
}

// The store of this server: its own folder inside the service's temporary folder, so that two
// servers never delete each other's files.
std::string StoreFolder(int drive) {
  const manager::ConfigStore store(manager::ConfigProgram::Service);
  const std::string configured = platform::Utf16ToUtf8(store.ReadString(config::kTempFolder).value_or(u""));
  service::TempFolders folders;
  const std::string base = folders.Prepare(configured);
  if (base.empty()) return {};
  RemoveStoresOfDeadServers(base);
  const std::string folder = base + "serve-" + std::to_string(drive) + "-" + std::to_string(getpid());
  std::error_code ec;
  fs::create_directories(folder, ec);
  return ec ? std::string() : folder;
}

}  // namespace

int DevServe(int argc, char** argv) {
  cli::Args args(argc, argv, {});
  if (!args.ok()) return Usage(args.error());
  if (auto unknown = args.Unknown({"password", "password-file", "install-dir"}); !unknown.empty())
    return Usage("unknown option --" + unknown[0]);
  if (args.positional().size() != 2) return Usage("wrong number of arguments");
  const std::string& driveText = args.positional()[0];
  if (driveText.empty() || driveText.size() > 2 || driveText.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(driveText) >= kDriveCount)
    return Usage("'" + driveText + "' is not a drive number (0-22)");
  const int drive = std::stoi(driveText);
  std::error_code ec;
  const std::string path = fs::absolute(args.positional()[1], ec).lexically_normal().string();
  if (ec || !fs::is_regular_file(path, ec)) return Fail(args.positional()[1] + ": no such file");

  service::ArchiveMount request;
  request.path = path;
  std::optional<std::string> password;
  std::string passwordError;
  if (!args.GetPassword(&password, &passwordError)) return Usage(passwordError);
  if (password) request.password = platform::Utf8ToUtf16(*password);
  request.installDir =
      args.Get("install-dir")
          .value_or(platform::Utf16ToUtf8(manager::ConfigStore(manager::ConfigProgram::Service).InstallFolder()));
  if (request.installDir.empty())
    return Fail("Install_Dir is not set in the registry (scripts/write-install-dir); or give --install-dir");
  request.storeFolder = StoreFolder(drive);
  if (request.storeFolder.empty()) return Fail("the temporary folder cannot be created");
  archive::StderrMessageSink messages("kvctl dev serve: ");
  request.messages = &messages;

  // Signals are taken synchronously by the heartbeat loop.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  int exitCode = cli::kExitOk;
  {
    service::DriveSlotTable table;
    std::string error;
    const service::MountOutcome outcome = service::MountArchive(table, drive, request, &error);
    if (outcome == service::MountOutcome::kDriveHoldsMedium) {
      exitCode = Fail("drive " + std::to_string(drive) + " already holds a medium");
    } else if (outcome == service::MountOutcome::kFailed) {
      exitCode = Fail(error);
    } else {
      std::u16string name;
      service::QueryDriveMedium(drive, &name);
      std::fprintf(stderr, "kvctl dev serve: drive %d serves %s (%u sectors)\n", drive, path.c_str(),
                   table.slot(drive).builder ? table.slot(drive).builder->SectorCount() : 0u);
      const timespec second{1, 0};
      for (;;) {
        if (sigtimedwait(&stop, nullptr, &second) > 0) {
          if (!service::UnmountDrive(table, drive)) exitCode = Fail("the driver refused the unmount");
          break;
        }
        table.Heartbeat(true);
        // Somebody else took the medium out: the server has nothing left to do.
        std::u16string now;
        if (!service::QueryDriveMedium(drive, &now) || now != name) {
          if (service::DriveReachable(drive))
            std::fprintf(stderr, "kvctl dev serve: drive %d was unmounted\n", drive);
          else
            exitCode = Fail("the driver stopped; drive " + std::to_string(drive) + " is gone");
          break;
        }
      }
      table.ClearSlot(drive);
      // A server that another one followed on this drive already shares the buffer with it.
      if (!service::QueryDriveMedium(drive, nullptr)) service::ReleaseChannel(drive);
    }
  }
  fs::remove_all(request.storeFolder, ec);
  return exitCode;
}

}  // namespace kv::tools
