// The input is a cue sheet or a media descriptor, written beside a data file, a WAVE file and a
// CD-TEXT file it may name ("a.bin", "s.wav", "t.cdt"); both parsers and the choice of image run.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "common/mount_request.h"
#include "manager/inspect/disc_layout.h"

namespace {

// Never destroyed, so that the clean-up at exit can still use it.
const std::string& Folder() {
  static const std::string* folder = new std::string([] {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp ? tmp : "/tmp") + "/kvdescfuzz.XXXXXX";
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    const std::string dir = mkdtemp(name.data()) ? name.data() : ".";
    std::ofstream(dir + "/a.bin", std::ios::binary) << std::string(2352 * 40, '\x11');
    std::string wave = std::string("RIFF") + std::string(4, '\0') + "WAVEfmt " + std::string("\x10\0\0\0", 4) +
                       std::string(16, '\x01') + "data" + std::string("\x00\x60\0\0", 4) + std::string(0x6000, 'w');
    std::ofstream(dir + "/s.wav", std::ios::binary) << wave;
    std::ofstream(dir + "/t.cdt", std::ios::binary) << std::string(36, '\x80');
    std::atexit([] {
      for (const char* f : {"/a.bin", "/s.wav", "/t.cdt", "/x.cue", "/x.mds"}) std::remove((Folder() + f).c_str());
      rmdir(Folder().c_str());
    });
    return dir;
  }());
  return *folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (const char* name : {"/x.cue", "/x.mds"}) {
    const std::string path = Folder() + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    kv::ImageChoice choice = kv::ChooseImage(path);
    if (choice.layout) {
      auto request = std::make_unique<kv::MountRequest>();
      kv::CopyLayoutToRequest(*choice.layout, request.get());
      kv::LeadingAudioRun(*choice.layout);
    }
  }
  return 0;
}
