// kvimage build SOURCE -o OUT: the bridge image of a folder (or, through an opener, an archive),
// written by streaming sector runs from the image's map.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "service/image_builder.h"
#include "tools/cli/cli.h"
#include "tools/kvimage/build_source.h"

namespace kv::kvimage {

ArchiveSourceOpener& ArchiveOpener() {
  static ArchiveSourceOpener opener;
  return opener;
}

namespace {

namespace fs = std::filesystem;
using service::BuildError;
using service::ImageBuilder;

constexpr uint32_t kRunSectors = 256;

uint64_t FileTimeOf(const struct stat& st) {
  return (static_cast<uint64_t>(st.st_mtim.tv_sec) + 11644473600ull) * 10000000ull +
         static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100;
}

// Enters every folder and regular file under `root` (symbolic links to files are followed,
// other special files are left out), sorted by path so that the image does not depend on the
// order the file system lists them in.
bool AddFolder(const fs::path& root, ImageBuilder& builder, std::string* error) {
  std::vector<fs::path> paths;
  std::error_code ec;
  fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
  if (ec) {
    *error = ec.message();
    return false;
  }
  for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
    if (ec) {
      *error = ec.message();
      return false;
    }
    paths.push_back(it->path());
  }
  std::sort(paths.begin(), paths.end());
  uint32_t index = 0;
  for (const fs::path& p : paths) {
    struct stat st {};
    if (stat(p.c_str(), &st) != 0) continue;
    const std::u16string rel = cli::Utf8ToUtf16(p.lexically_relative(root).generic_string());
    const bool ok = S_ISDIR(st.st_mode)   ? builder.AddItem(rel, true, 0, FileTimeOf(st), index++) != nullptr
                    : S_ISREG(st.st_mode) ? builder.AddFileItem(rel, static_cast<uint64_t>(st.st_size), FileTimeOf(st),
                                                                fs::absolute(p).string()) != nullptr
                                          : true;
    if (!ok) {
      *error = "cannot enter " + p.string();
      return false;
    }
  }
  return true;
}

std::string BuildErrorText(BuildError e) {
  switch (e) {
    case BuildError::kOutOfMemory:
      return "Out of memory. Program abort.";
    case BuildError::kSourceRead:
      return "Error reading archive. ";
    case BuildError::kCancelled:
      return "cancelled";
    case BuildError::kRecordTooLong:
      return "a name cannot be recorded";
    case BuildError::kTooManyDirectories:
      return "too many directories for a path table";
    case BuildError::kImageTooLarge:
      return "the image would be too large";
    default:
      return "the image could not be laid out (error " + std::to_string(static_cast<int>(e)) + ")";
  }
}

bool WriteAll(int fd, const uint8_t* data, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

int RunBuild(int argc, char** argv) {
  cli::Args args(argc, argv, {});
  if (!args.ok()) {
    std::fprintf(stderr, "kvimage build: %s\n", args.error().c_str());
    return cli::kExitUsage;
  }
  const auto unknown = args.Unknown({"output", "password", "password-file", "install-dir"});
  const auto out = args.Get("output");
  if (!unknown.empty() || args.positional().size() != 1 || !out || out->empty()) {
    std::fprintf(stderr, "usage: kvimage build SOURCE -o OUT [--password P | --password-file F] [--install-dir DIR]\n");
    return cli::kExitUsage;
  }
  std::optional<std::string> password;
  std::string passwordError;
  if (!args.GetPassword(&password, &passwordError)) {
    std::fprintf(stderr, "kvimage build: %s\n", passwordError.c_str());
    return cli::kExitUsage;
  }
  const std::string source = args.positional()[0];
  ImageBuilder builder(nullptr);
  std::unique_ptr<service::ItemDataSource> data;
  std::string error;
  std::error_code ec;
  if (fs::is_directory(source, ec)) {
    builder.SetVolumeIdentifier(cli::Utf8ToUtf16(fs::path(source).lexically_normal().filename().string()));
    if (fs::path(source).lexically_normal().filename().empty())
      builder.SetVolumeIdentifier(cli::Utf8ToUtf16(fs::absolute(source).parent_path().filename().string()));
    if (!AddFolder(source, builder, &error)) {
      std::fprintf(stderr, "kvimage build: %s: %s\n", source.c_str(), error.c_str());
      return cli::kExitFailure;
    }
  } else if (!fs::exists(source, ec)) {
    std::fprintf(stderr, "kvimage build: %s: no such file or folder\n", source.c_str());
    return cli::kExitFailure;
  } else if (ArchiveOpener()) {
    builder.SetVolumeIdentifier(cli::Utf8ToUtf16(fs::path(source).stem().string()));
    const ArchiveOptions options{password, args.Get("install-dir")};
    if (!ArchiveOpener()(source, options, builder, &data, &error)) {
      std::fprintf(stderr, "kvimage build: %s: %s\n", source.c_str(), error.c_str());
      return cli::kExitFailure;
    }
  } else {
    std::fprintf(stderr, "kvimage build: %s: not a folder, and archives are not supported by this build\n",
                 source.c_str());
    return cli::kExitFailure;
  }
  const BuildError result = builder.Build();
  if (result != BuildError::kNone) {
    std::fprintf(stderr, "kvimage build: %s: %s\n", source.c_str(), BuildErrorText(result).c_str());
    return cli::kExitFailure;
  }
  cli::OutputFile output;
  if (!output.Open(*out)) {
    std::fprintf(stderr, "kvimage build: %s: %s\n", out->c_str(), std::strerror(errno));
    return cli::kExitFailure;
  }
  const int fd = output.fd();
  const uint32_t total = builder.SectorCount();
  cli::Progress progress("building " + *out, total);
  std::vector<uint8_t> buffer(size_t{kRunSectors} * 2048);
  int status = cli::kExitOk;
  for (uint32_t first = 0; first < total; first += kRunSectors) {
    const uint32_t n = std::min(kRunSectors, total - first);
    if (builder.ReadSectors(first, n, buffer.data()) != n) {
      std::fprintf(stderr, "kvimage build: %s: a source file could not be read (sector %u)\n", source.c_str(), first);
      status = cli::kExitFailure;
      break;
    }
    // Runs of zeros become holes, so that images of sparse or empty files stay small and fast; a
    // device or pipe takes every byte.
    const bool zero =
        output.seekable() && buffer[0] == 0 && std::memcmp(buffer.data(), buffer.data() + 1, size_t{n} * 2048 - 1) == 0;
    const bool ok =
        zero ? lseek(fd, static_cast<off_t>(n) * 2048, SEEK_CUR) >= 0 : WriteAll(fd, buffer.data(), size_t{n} * 2048);
    if (!ok) {
      std::fprintf(stderr, "kvimage build: %s: %s\n", out->c_str(), std::strerror(errno));
      status = cli::kExitFailure;
      break;
    }
    progress.Update(first + n);
  }
  progress.Finish();
  if (status == cli::kExitOk && output.seekable() && ftruncate(fd, static_cast<off_t>(total) * 2048) != 0) {
    std::fprintf(stderr, "kvimage build: %s: %s\n", out->c_str(), std::strerror(errno));
    status = cli::kExitFailure;
  }
  if (status == cli::kExitOk && !output.Close()) {
    std::fprintf(stderr, "kvimage build: %s: %s\n", out->c_str(), std::strerror(errno));
    status = cli::kExitFailure;
  }
  if (status != cli::kExitOk) output.Discard();
  return status;
}

cli::RegisterVerb reg({"build", "write the bridge image of a folder or an archive",
                       "usage: kvimage build SOURCE -o OUT [--password P | --password-file F] [--install-dir DIR]\n\n"
                       "Writes the ISO 9660 + Joliet + UDF 1.02 bridge image of SOURCE to OUT.\n"
                       "SOURCE is a folder (its files and folders, sorted by path) or an archive;\n"
                       "P opens an encrypted archive, DIR holds the codec library (7z.so).\n"
                       "Exit status: 0 written, 1 failure, 2 usage error.",
                       RunBuild});

}  // namespace
}  // namespace kv::kvimage
