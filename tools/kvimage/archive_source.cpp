// Archives in kvimage: the archive opener of `kvimage build`, and `kvimage aread`, which reads
// sectors of an archive's bridge image and shows which items had to be extracted for them.
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>

#include "archive/mounted_archive.h"
#include "archive/wide_text.h"
#include "platform/files.h"
#include "service/image_builder.h"
#include "tools/cli/cli.h"
#include "tools/kvimage/build_source.h"
#include "tools/kvimage/mzp_source.h"

namespace kv::kvimage {
namespace {

namespace fs = std::filesystem;

archive::StderrMessageSink& Messages() {
  static archive::StderrMessageSink sink;
  return sink;
}

// The folder of the codec library: --install-dir, else "../install" beside the program (the
// build's layout), else Debian's p7zip folder.
std::string InstallDir(const std::optional<std::string>& given) {
  if (given) return *given;
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n > 0) {
    self[n] = '\0';
    const fs::path beside = fs::path(self).parent_path().parent_path() / "install";
    std::error_code ec;
    if (fs::exists(beside / "7z.so", ec)) return beside.string();
  }
  return "/usr/lib/p7zip";
}

// A private store folder under the temporary path, removed with the object.
class StoreFolder {
 public:
  StoreFolder() {
    std::string tmpl = platform::GetTempPath() + "kvimage-store.XXXXXX";
    if (mkdtemp(tmpl.data())) path_ = tmpl;
  }
  ~StoreFolder() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The archive and its store folder, kept while the image is read.
class ArchiveData final : public service::ItemDataSource {
 public:
  std::unique_ptr<StoreFolder> folder = std::make_unique<StoreFolder>();
  std::unique_ptr<archive::MountedArchive> archive;
  ~ArchiveData() override { archive.reset(); }
  bool ReadItem(uint32_t itemIndex, uint64_t offset, void* dst, size_t length) override {
    return archive->ReadItem(itemIndex, offset, dst, length);
  }
};

const char* OpenErrorText(archive::OpenError e) {
  switch (e) {
    case archive::OpenError::kNoLibrary:
      return "the 7-Zip codec library (7z.so) cannot be loaded from the install folder";
    case archive::OpenError::kCannotOpenFile:
      return "the file cannot be opened";
    case archive::OpenError::kNoFormat:
      return "not an archive of a format the codec library opens";
    default:
      return "the archive cannot be opened";
  }
}

std::unique_ptr<ArchiveData> OpenArchive(const std::string& path, const std::optional<std::string>& installDir,
                                         const std::optional<std::string>& password, std::string* error) {
  auto data = std::make_unique<ArchiveData>();
  if (data->folder->path().empty()) {
    *error = "cannot create a temporary folder";
    return nullptr;
  }
  archive::OpenRequest r;
  r.path = path;
  r.driveIndex = 0;
  r.installDir = InstallDir(installDir);
  if (password) r.password = archive::Utf8ToUtf16(*password);
  r.storeFolder = data->folder->path();
  r.driveLetter = u'?';
  r.messages = &Messages();
  // A file compressed as one stream is decoded once to find its seek points: show how far.
  std::optional<cli::Progress> progress;
  r.progress = [&progress, &path](uint64_t done, uint64_t total) {
    if (!progress) progress.emplace("indexing " + path, total);
    progress->Update(done);
    return true;
  };
  archive::OpenError e;
  data->archive = archive::MountedArchive::Open(r, &e);
  if (progress) progress->Finish();
  if (!data->archive) {
    *error = OpenErrorText(e);
    return nullptr;
  }
  return data;
}

RegisterArchiveOpener opener([](const std::string& path, const ArchiveOptions& options, service::ImageBuilder& builder,
                                std::unique_ptr<service::ItemDataSource>* data, std::string* error) {
  // What the codec library does not open may be an MZP container.
  if (IsMzpFile(path)) {
    auto volume = OpenMzpVolume(path, options.password.value_or(""), builder, error);
    if (!volume) return false;
    *data = std::move(volume);
    return true;
  }
  auto opened = OpenArchive(path, options.installDir, options.password, error);
  if (!opened) return false;
  builder.SetVolumeIdentifier(archive::VolumeIdentifierFor(path));
  builder.SetItemDataSource(opened.get());
  opened->archive->AddItemsTo(builder);
  *data = std::move(opened);
  return true;
});

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

int RunArchiveRead(int argc, char** argv) {
  cli::Args args(argc, argv, {"verbose", "json"});
  const auto unknown =
      args.Unknown({"first", "count", "password", "password-file", "install-dir", "output", "verbose", "json"});
  if (!args.ok() || !unknown.empty() || args.positional().size() != 1) {
    std::fprintf(stderr,
                 "usage: kvimage aread ARCHIVE [--first S] [--count N] [--password P | --password-file F] [-o OUT] "
                 "[--verbose]\n");
    return cli::kExitUsage;
  }
  const std::string path = args.positional()[0];
  int64_t first = 0;
  int64_t count = -1;
  std::string optionError;
  std::optional<std::string> password;
  if (!args.GetInt("first", 0, INT32_MAX, &first, &optionError) ||
      (args.Has("count") && !args.GetInt("count", 0, INT32_MAX, &count, &optionError)) ||
      !args.GetPassword(&password, &optionError)) {
    std::fprintf(stderr, "kvimage aread: %s\n", optionError.c_str());
    return cli::kExitUsage;
  }
  std::string error;
  auto data = OpenArchive(path, args.Get("install-dir"), password, &error);
  if (!data) {
    std::fprintf(stderr, "kvimage aread: %s: %s\n", path.c_str(), error.c_str());
    return cli::kExitFailure;
  }
  archive::MountedArchive& a = *data->archive;
  service::ImageBuilder builder(data.get());
  builder.SetVolumeIdentifier(archive::VolumeIdentifierFor(path));
  a.AddItemsTo(builder);
  if (builder.Build() != service::BuildError::kNone) {
    std::fprintf(stderr, "kvimage aread: %s: the image cannot be laid out (error %d)\n", path.c_str(),
                 static_cast<int>(builder.error()));
    return cli::kExitFailure;
  }
  const uint32_t total = builder.SectorCount();
  if (count < 0) count = first < total ? total - first : 0;
  const bool verbose = args.Has("verbose");
  if (verbose)
    std::fprintf(stderr, "%s: format %s%s%s, %u items, %s, image of %u sectors\n", path.c_str(),
                 archive::Utf16ToUtf8(a.formatName()).c_str(), a.innerFormatName().empty() ? "" : " holding ",
                 archive::Utf16ToUtf8(a.innerFormatName()).c_str(), a.itemCount(), a.solid() ? "solid" : "not solid",
                 total);

  int fd = STDOUT_FILENO;
  const auto out = args.Get("output");
  if (out) {
    fd = open(out->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      std::fprintf(stderr, "kvimage aread: %s: %s\n", out->c_str(), std::strerror(errno));
      return cli::kExitFailure;
    }
  }
  constexpr uint32_t kRun = 16;  // the channel's largest run
  std::vector<uint8_t> buffer(size_t{kRun} * 2048);
  int status = cli::kExitOk;
  for (int64_t s = first; s < first + count; s += kRun) {
    const auto n = static_cast<uint32_t>(std::min<int64_t>(kRun, first + count - s));
    // Sectors past the image read as zeros, as the drive answers them.
    std::fill(buffer.begin(), buffer.end(), 0);
    if (s < total && builder.ReadSectors(static_cast<uint32_t>(s), n, buffer.data()) != n)
      std::fill(buffer.begin(), buffer.end(), 0);
    if (!WriteAll(fd, buffer.data(), size_t{n} * 2048)) {
      std::fprintf(stderr, "kvimage aread: write: %s\n", std::strerror(errno));
      status = cli::kExitFailure;
      break;
    }
  }
  if (out && close(fd) != 0) status = cli::kExitFailure;
  if (const archive::SeekableDecompressor* d = a.decompressor(); d && (verbose || args.Has("json")))
    std::fprintf(
        stderr,
        args.Has("json") ? "{\"compression\": \"%s\", \"size\": %llu, \"seekPoints\": %zu, \"indexBytes\": %llu, "
                           "\"decodedBytes\": %llu}\n"
                         : "%s stream: %llu bytes, %zu seek points, index of %llu bytes, %llu bytes decoded\n",
        archive::CompressionName(d->compression()), static_cast<unsigned long long>(d->size()), d->pointCount(),
        static_cast<unsigned long long>(d->indexBytes()), static_cast<unsigned long long>(d->decodedBytes()));

  const auto log = a.ExtractionLog();
  if (verbose || args.Has("json")) {
    for (const auto& e : log) {
      const std::string item = e.allItems ? "" : archive::Utf16ToUtf8(a.items()[e.itemIndex].path);
      if (args.Has("json")) {
        std::fprintf(stderr, "{\"extracted\": %s, \"item\": %d, \"path\": %s}\n", e.allItems ? "\"all\"" : "\"one\"",
                     e.allItems ? -1 : static_cast<int>(e.itemIndex), cli::JsonString(item).c_str());
      } else if (e.allItems) {
        std::fprintf(stderr, "extracted: all items (solid archive)\n");
      } else {
        std::fprintf(stderr, "extracted: item %u '%s'\n", e.itemIndex, item.c_str());
      }
    }
    if (log.empty() && verbose) std::fprintf(stderr, "extracted: nothing\n");
  }
  return status;
}

cli::RegisterVerb reg(
    {"aread", "read sectors of an archive's bridge image, extracting only what they touch",
     "usage: kvimage aread ARCHIVE [--first S] [--count N] [--password P | --password-file F] [-o OUT]\n"
     "                     [--install-dir DIR] [--verbose] [--json]\n\n"
     "Opens ARCHIVE through the 7-Zip codec library, lays out its bridge image in memory\n"
     "and writes sectors S..S+N-1 (default: from S to the end) to OUT or stdout. Archive\n"
     "items are extracted into a private temporary store only when a sector of theirs is\n"
     "read; --verbose (or --json) lists on stderr what was extracted.\n"
     "DIR holds 7z.so (default: the build's install folder, else /usr/lib/p7zip).\n"
     "Exit status: 0 written, 1 failure, 2 usage error.",
     RunArchiveRead});

}  // namespace
}  // namespace kv::kvimage
