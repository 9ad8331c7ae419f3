// Shared pieces of the archive tests: a private platform root and store folder, a message
// capture, opening an archive and writing its bridge image.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "archive/mounted_archive.h"
#include "archive/wide_text.h"
#include "service/image_builder.h"
#include "tests/fixtures/archive_fixtures.h"
#include "tests/fixtures/test_support.h"

namespace kv::test {

namespace fs = std::filesystem;

class CapturedMessages : public archive::MessageSink {
 public:
  void Post(const archive::ArchiveMessage& m) override {
    std::lock_guard<std::mutex> g(lock_);
    messages_.push_back(m);
  }
  std::vector<archive::ArchiveMessage> All() const {
    std::lock_guard<std::mutex> g(lock_);
    return messages_;
  }
  // A read is answered as soon as its bytes are stored, so an item's result (a failed CRC) can
  // arrive after the read returned. True once `count` messages are in, within ten seconds.
  bool WaitForCount(size_t count) const {
    for (int i = 0; i < 10000; ++i) {
      if (All().size() >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

 private:
  mutable std::mutex lock_;
  std::vector<archive::ArchiveMessage> messages_;
};

class ArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("KV_PLATFORM_ROOT", (dir_ / "platform").c_str(), 1);
    fs::create_directories(store());
  }
  fs::path store() const { return dir_ / "store"; }
  fs::path path(const std::string& name) const { return dir_ / name; }
  bool StoreEmpty() const { return fs::is_empty(store()); }

  std::unique_ptr<archive::MountedArchive> OpenArchive(const fs::path& file,
                                                       std::optional<std::u16string> password = std::nullopt,
                                                       archive::OpenError* error = nullptr) {
    archive::OpenRequest r;
    r.path = file.string();
    r.driveIndex = 4;
    r.installDir = KV_INSTALL_DIR;
    r.password = std::move(password);
    r.storeFolder = store().string();
    r.driveLetter = u'E';
    r.messages = &messages_;
    return archive::MountedArchive::Open(r, error);
  }

  // Builds the bridge image of `a` into `out`; false when the build fails.
  static bool WriteImage(archive::MountedArchive& a, const fs::path& out, const std::string& archivePath) {
    service::ImageBuilder builder(&a);
    builder.SetVolumeIdentifier(archive::VolumeIdentifierFor(archivePath));
    a.AddItemsTo(builder);
    if (builder.Build() != service::BuildError::kNone) return false;
    std::vector<uint8_t> bytes(size_t{builder.SectorCount()} * 2048);
    if (builder.ReadSectors(0, builder.SectorCount(), bytes.data()) != builder.SectorCount()) return false;
    WriteFileBytes(out, bytes);
    return true;
  }

  // The index of the item with `path`, or -1.
  static int ItemIndex(const archive::MountedArchive& a, const std::u16string& path) {
    for (uint32_t i = 0; i < a.itemCount(); ++i)
      if (a.items()[i].path == path) return static_cast<int>(i);
    return -1;
  }

  TempDir dir_;
  CapturedMessages messages_;
};

inline std::string Utf8(const std::u16string& s) {
  return archive::Utf16ToUtf8(s);
}

}  // namespace kv::test
