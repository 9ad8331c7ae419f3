#include "tools/kvimage/mzp_source.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "archive/mounted_archive.h"
#include "formats/mzp/mzp_container.h"
#include "platform/codepage.h"
#include "tools/cli/cli.h"

namespace kv::kvimage {
namespace {

class StderrNotices final : public service::MzpNotices {
 public:
  void ReadFailed(const std::string& path, uint32_t sector) override {
    std::fprintf(stderr, "kvimage: %s:::Error reading archive. (volume sector %u)\n", path.c_str(), sector);
  }
  void Skipped(const std::string& path, const std::string& what) override {
    std::fprintf(stderr, "kvimage: %s: skipped: %s\n", path.c_str(), what.c_str());
  }
};

StderrNotices& Notices() {
  static StderrNotices notices;
  return notices;
}

}  // namespace

bool IsMzpFile(const std::string& path) {
  uint8_t head[16] = {};
  std::ifstream in(path, std::ios::binary);
  if (!in.read(reinterpret_cast<char*>(head), sizeof head)) return false;
  return mzp::LooksLikeMzp(head, sizeof head) || mzp::IsMzpLaterVolume(head, sizeof head);
}

std::string MzpKeyBytes(const std::string& utf8Password) {
  return platform::WideToAnsi(cli::Utf8ToUtf16(utf8Password), platform::AnsiCodePage());
}

std::unique_ptr<service::MzpVolumeSource> OpenMzpVolume(const std::string& path, const std::string& password,
                                                        service::ImageBuilder& builder, std::string* error) {
  service::MzpOpenResult result;
  auto source = service::MzpVolumeSource::Open(path, MzpKeyBytes(password), builder, &Notices(), &result);
  if (!source) {
    *error = service::MzpOpenResultText(result);
    return nullptr;
  }
  builder.SetVolumeIdentifier(archive::VolumeIdentifierFor(path));
  return source;
}

int MzpInfo(const std::string& path, const std::string& password, bool json) {
  service::ImageBuilder builder(nullptr);
  std::string error;
  auto source = OpenMzpVolume(path, password, builder, &error);
  if (!source) {
    std::fprintf(stderr, "kvimage info: %s: %s\n", path.c_str(), error.c_str());
    return cli::kExitFailure;
  }
  const service::BuildError built = builder.Build();
  const mzp::MzpContainer& c = source->container();
  if (json) {
    std::printf(
        "{\"file\":%s,\"mzp\":{\"contentSize\":%llu,\"chunkSize\":%u,\"chunks\":%u,\"volumes\":%u,\"keyBits\":%u,"
        "\"index\":%s},\"entries\":%llu,\"skipped\":%llu,\"buildError\":%d,\"sectors\":%u}\n",
        cli::JsonString(path).c_str(), static_cast<unsigned long long>(c.contentSize()), c.chunkSize(), c.chunkCount(),
        c.volumeCount(), c.keyBits(), c.tableFromIndex() ? "true" : "false",
        static_cast<unsigned long long>(source->entryCount()), static_cast<unsigned long long>(source->skippedCount()),
        static_cast<int>(built), builder.SectorCount());
  } else {
    std::printf("file:     %s\n", path.c_str());
    std::printf("mzp:      %llu bytes of volume in %u chunks of %u bytes, %u volume%s, %s, table from %s\n",
                static_cast<unsigned long long>(c.contentSize()), c.chunkCount(), c.chunkSize(), c.volumeCount(),
                c.volumeCount() == 1 ? "" : "s",
                c.encrypted() ? (std::to_string(c.keyBits()) + "-bit AES").c_str() : "not encrypted",
                c.tableFromIndex() ? "the index" : "its place");
    std::printf("entries:  %llu (%llu skipped)\n", static_cast<unsigned long long>(source->entryCount()),
                static_cast<unsigned long long>(source->skippedCount()));
    std::printf("image:    %u sectors (bridge image, error %d)\n", builder.SectorCount(), static_cast<int>(built));
  }
  return built == service::BuildError::kNone ? cli::kExitOk : cli::kExitFailure;
}

int MzpRead(const std::string& path, const std::string& password, int64_t first, int64_t count) {
  service::ImageBuilder builder(nullptr);
  std::string error;
  auto source = OpenMzpVolume(path, password, builder, &error);
  if (!source) {
    std::fprintf(stderr, "kvimage read: %s: %s\n", path.c_str(), error.c_str());
    return cli::kExitFailure;
  }
  if (builder.Build() != service::BuildError::kNone) {
    std::fprintf(stderr, "kvimage read: %s: the image cannot be laid out (error %d)\n", path.c_str(),
                 static_cast<int>(builder.error()));
    return cli::kExitFailure;
  }
  if (first + count > builder.SectorCount()) {
    std::fprintf(stderr, "kvimage read: %s: sectors %lld to %lld lie beyond the %u sectors of the image\n",
                 path.c_str(), static_cast<long long>(first), static_cast<long long>(first + count - 1),
                 builder.SectorCount());
    return cli::kExitFailure;
  }
  std::vector<uint8_t> buffer(16 * 2048);
  for (int64_t done = 0; done < count;) {
    const auto n = static_cast<uint32_t>(std::min<int64_t>(16, count - done));
    if (builder.ReadSectors(static_cast<uint32_t>(first + done), n, buffer.data()) != n) {
      std::fprintf(stderr, "kvimage read: %s: cannot read sectors %lld to %lld\n", path.c_str(),
                   static_cast<long long>(first + done), static_cast<long long>(first + done + n - 1));
      return cli::kExitFailure;
    }
    if (std::fwrite(buffer.data(), 2048, n, stdout) != n) {
      std::fprintf(stderr, "kvimage read: %s: cannot write to standard output\n", path.c_str());
      return cli::kExitFailure;
    }
    done += n;
  }
  return std::fflush(stdout) == 0 ? cli::kExitOk : cli::kExitFailure;
}

}  // namespace kv::kvimage
