// Images for the format tests, made by the real tools at test time, and a short way to open one.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/mount_request.h"
#include "formats/image_source.h"
#include "formats/memory_file.h"
#include "tests/fixtures/test_support.h"

namespace kv::test {

// A small tree with files of several sizes, so images hold more than descriptors.
inline std::filesystem::path MakeSourceTree(const TempDir& dir) {
  const auto root = dir / "tree";
  std::filesystem::create_directories(root / "sub dir");
  WriteFileBytes(root / "big.bin", PatternBytes(300 * 1024 + 17, 1));
  WriteFileBytes(root / "sub dir" / "small.txt", PatternBytes(100, 2));
  WriteFileText(root / "readme.txt", "Korvendrake test image\n");
  return root;
}

// Runs `command` (which writes `out`) and returns `out`; fails the test on a non-zero exit.
inline std::filesystem::path MakeImage(const std::string& command, const std::filesystem::path& out) {
  const CommandResult r = Run(command);
  EXPECT_EQ(r.exitCode, 0) << command << "\n" << r.output;
  return out;
}

inline std::filesystem::path MakeGenisoimage(const TempDir& dir, const std::string& options, const std::string& name) {
  const auto out = dir / name;
  return MakeImage(
      "genisoimage -quiet " + options + " -o " + Quote(out.string()) + " " + Quote(MakeSourceTree(dir).string()), out);
}

inline std::filesystem::path MakeXorrisoIso(const TempDir& dir, const std::string& name) {
  const auto out = dir / name;
  return MakeImage(
      "xorriso -as mkisofs -quiet -J -o " + Quote(out.string()) + " " + Quote(MakeSourceTree(dir).string()), out);
}

inline std::filesystem::path MakeUdfOnly(const TempDir& dir, const std::string& name, uint32_t blocks = 2000) {
  const auto out = dir / name;
  return MakeImage("mkudffs --blocksize=2048 --media-type=hd --new-file " + Quote(out.string()) + " " +
                       std::to_string(blocks) + " >/dev/null",
                   out);
}

// A zeroed request with the given geometry.
struct Request {
  std::unique_ptr<MountRequest> r = std::make_unique<MountRequest>();
  explicit Request(int32_t format = kFormatIso, uint32_t sectorSize = 2048, uint32_t dataOffset = 0,
                   int32_t startOffset = 0) {
    std::memset(r.get(), 0, sizeof *r);
    r->Flags = 1;
    r->Format = format;
    r->SectorSize = sectorSize;
    r->DataOffset = dataOffset;
    r->StartOffset = startOffset;
  }
  MountRequest& operator*() { return *r; }
  MountRequest* operator->() { return r.get(); }
};

inline MountError OpenPath(const std::filesystem::path& path, Request& request, std::unique_ptr<ImageSource>* source) {
  int error = 0;
  auto file = OpenPosixFile(path.string(), &error);
  EXPECT_TRUE(file) << path << " errno " << error;
  const std::string text = path.string();
  return ImageSource::Open(*request, u"\\??\\" + std::u16string(text.begin(), text.end()), std::move(file), source);
}

inline MountError OpenBytes(std::vector<uint8_t> bytes, Request& request, std::unique_ptr<ImageSource>* source) {
  return ImageSource::Open(*request, u"memory", OpenMemoryFile(std::move(bytes)), source);
}

}  // namespace kv::test
