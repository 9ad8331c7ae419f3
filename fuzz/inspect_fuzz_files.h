// A private folder for the descriptor fuzzers: the descriptor under test is written there, beside
// a data file, a WAVE file and a CD-TEXT file that its names may point at.
#pragma once
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/wide_text.h"

namespace kv::fuzz {

inline void WriteBytes(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

inline const std::string& FuzzFolder() {
  static const std::string folder = [] {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/kvdescfuzz.XXXXXX";
    if (!mkdtemp(pattern.data())) std::abort();
    std::string bin(2352 * 40, '\1');
    WriteBytes(pattern + "/a.bin", reinterpret_cast<const uint8_t*>(bin.data()), bin.size());
    WriteBytes(pattern + "/a.mdf", reinterpret_cast<const uint8_t*>(bin.data()), bin.size());
    std::string wave = std::string("RIFF\0\0\0\0WAVEfmt \x10\0\0\0", 20) + std::string(16, '\1') +
                       std::string("data\x40\x93\0\0", 8) + std::string(2352 * 16, '\2');
    WriteBytes(pattern + "/w.wav", reinterpret_cast<const uint8_t*>(wave.data()), wave.size());
    std::string cdt(36, '\x80');
    WriteBytes(pattern + "/t.cdt", reinterpret_cast<const uint8_t*>(cdt.data()), cdt.size());
    static const std::string keep = pattern;
    std::atexit([] { std::filesystem::remove_all(keep); });
    return pattern;
  }();
  return folder;
}

inline std::u16string WriteDescriptor(const char* name, const uint8_t* data, size_t size) {
  const std::string path = FuzzFolder() + "/" + name;
  WriteBytes(path, data, size);
  return platform::Utf8ToUtf16(path);
}

}  // namespace kv::fuzz
