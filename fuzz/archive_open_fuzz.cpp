// Arbitrary bytes opened as an archive through the codec library, every item read, then closed:
// no crash, and the store is empty afterwards.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/mounted_archive.h"

namespace {

struct Folder {
  std::string path;
  Folder() {
    std::string tmpl = "/tmp/kv-archive-fuzz.XXXXXX";
    if (mkdtemp(tmpl.data())) path = tmpl;
    setenv("KV_PLATFORM_ROOT", (path + "/platform").c_str(), 1);
    std::filesystem::create_directories(path + "/store");
  }
  ~Folder() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

class NoMessages : public kv::archive::MessageSink {
 public:
  void Post(const kv::archive::ArchiveMessage&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Folder folder;
  static NoMessages sink;
  if (folder.path.empty() || size == 0) return 0;
  // The first byte picks the name, so that the extension paths are taken too.
  static const char* const kNames[] = {"a.zip", "a.7z", "a.rar", "a.tar", "a.001", "a.xz", "a.bin", "a.iso"};
  const std::string file = folder.path + "/" + kNames[data[0] % 8];
  if (FILE* f = std::fopen(file.c_str(), "wb")) {
    std::fwrite(data + 1, 1, size - 1, f);
    std::fclose(f);
  }
  kv::archive::OpenRequest r;
  r.path = file;
  r.installDir = KV_INSTALL_DIR;
  r.storeFolder = folder.path + "/store";
  r.messages = &sink;
  if (auto a = kv::archive::MountedArchive::Open(r, nullptr)) {
    std::vector<uint8_t> buffer;
    for (uint32_t i = 0; i < a->itemCount() && i < 64; ++i) {
      const uint64_t n = std::min<uint64_t>(a->items()[i].size, 1 << 20);
      buffer.assign(n, 0);
      a->ReadItemBytes(i, buffer.data(), 0, n);
    }
  }
  std::error_code ec;
  if (!std::filesystem::is_empty(folder.path + "/store", ec)) std::abort();
  unlink(file.c_str());
  return 0;
}
