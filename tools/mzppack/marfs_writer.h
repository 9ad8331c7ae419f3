// A MARFS volume of a host folder, laid out in memory (sector 0 and the directory streams) with
// the files' data read from the host files on demand.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "formats/mzp/marfs_format.h"

namespace kv::mzp {

// The sectors of a volume, read in order by the container writer.
class SectorSource {
 public:
  virtual ~SectorSource() = default;
  virtual uint64_t SectorCount() const = 0;
  // Reads `count` 2048-byte sectors from `first`. False with *error on failure.
  virtual bool Read(uint64_t first, uint32_t count, uint8_t* out, std::string* error) = 0;
};

class MarfsVolumeWriter final : public SectorSource {
 public:
  ~MarfsVolumeWriter() override;
  // Lays out the volume of `folder` (regular files and folders; anything else is skipped and
  // named in *skipped). `volumeName` empty: the folder's name. False with *error.
  bool Layout(const std::string& folder, const std::u16string& volumeName, std::vector<std::string>* skipped,
              std::string* error);
  uint64_t SectorCount() const override { return sectors_; }
  bool Read(uint64_t first, uint32_t count, uint8_t* out, std::string* error) override;
  uint64_t FileCount() const { return files_.size(); }
  uint64_t DataBytes() const { return dataBytes_; }

 private:
  struct File {
    uint64_t start;  // first sector
    uint64_t size;
    std::string path;
  };
  std::vector<uint8_t> metadata_;  // sectors 0 .. metadata_.size() / 2048
  std::vector<File> files_;        // by start sector
  uint64_t sectors_ = 0;
  uint64_t dataBytes_ = 0;
  int fd_ = -1;
  size_t openFile_ = SIZE_MAX;
};

// The record time of a host file time (seconds since 1970) in local time with its zone.
MarfsTime MarfsTimeOf(int64_t unixSeconds);

}  // namespace kv::mzp
