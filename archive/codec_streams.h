// Objects we hand to the codec library while opening an archive: an input stream over a file
// and the open callback (volumes, password, name of a nested archive).
#pragma once
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/codec_abi.h"
#include "archive/codec_library.h"

namespace kv::archive {

// Reference counting shared by our library objects. Destruction goes through Release only.
#define KV_CODEC_REFCOUNT       \
 public:                        \
  uint32_t AddRef() override {  \
    return ++refs_;             \
  }                             \
  uint32_t Release() override { \
    const uint32_t n = --refs_; \
    if (n == 0) delete this;    \
    return n;                   \
  }                             \
                                \
 private:                       \
  std::atomic<uint32_t> refs_{1};

// Input stream over an open file descriptor (taken over and closed with the stream).
class FileInStream final : public abi::IInStream, public abi::IStreamGetSize {
  KV_CODEC_REFCOUNT
 public:
  // A new stream with one reference, or null when the file cannot be opened as a regular file.
  static FileInStream* OpenFile(const std::string& path);

  abi::HRESULT QueryInterface(const abi::GUID& iid, void** out) override;
  abi::HRESULT Read(void* data, uint32_t size, uint32_t* processed) override;
  abi::HRESULT Seek(int64_t offset, uint32_t origin, uint64_t* newPosition) override;
  abi::HRESULT GetSize(uint64_t* size) override;

  uint64_t size() const { return size_; }

 private:
  FileInStream(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~FileInStream();
  int fd_;
  uint64_t size_;
  uint64_t position_ = 0;
};

// Reads up to `size` bytes at the start of a library stream and seeks back to 0.
size_t ReadStreamHead(abi::IInStream* stream, uint8_t* buffer, size_t size);

// The open callback: accepts progress, answers the properties of the archive file, opens further
// volumes in the archive's folder, gives the password.
class OpenCallback final : public abi::IArchiveOpenCallback,
                           public abi::IArchiveOpenVolumeCallback,
                           public abi::ICryptoGetTextPassword,
                           public abi::IArchiveOpenSetSubArchiveName {
  KV_CODEC_REFCOUNT
 public:
  // `folder` ends without "/"; `fileName` is the archive file's name in it.
  OpenCallback(const CodecLibrary& library, std::string folder, std::string fileName,
               std::optional<std::u16string> password);

  abi::HRESULT QueryInterface(const abi::GUID& iid, void** out) override;
  abi::HRESULT SetTotal(const uint64_t* files, const uint64_t* bytes) override;
  abi::HRESULT SetCompleted(const uint64_t* files, const uint64_t* bytes) override;
  abi::HRESULT GetProperty(abi::PROPID propId, abi::PROPVARIANT* value) override;
  abi::HRESULT GetStream(const wchar_t* name, abi::IInStream** stream) override;
  abi::HRESULT CryptoGetTextPassword(abi::BSTR* password) override;
  abi::HRESULT SetSubArchiveName(const wchar_t* name) override;

  // Volumes opened besides the archive file, and their total size.
  const std::vector<std::string>& volumes() const { return volumes_; }
  uint64_t volumesSize() const { return volumesSize_; }
  bool passwordAsked() const { return passwordAsked_; }

 private:
  ~OpenCallback() = default;
  const CodecLibrary& library_;
  std::string folder_;
  std::string fileName_;
  std::optional<std::u16string> password_;
  std::vector<std::string> volumes_;
  uint64_t volumesSize_ = 0;
  bool subArchiveMode_ = false;
  std::wstring subArchiveName_;
  bool passwordAsked_ = false;
};

}  // namespace kv::archive
