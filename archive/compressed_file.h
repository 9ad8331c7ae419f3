// A file compressed as one stream, as the codec library sees it: a seekable input stream of the
// decompressed contents (so that the archive inside opens and extracts as usual), and, when
// nothing inside opens, an archive of one item holding those contents with their true size
// and the compressed file's time.
#pragma once
#include <memory>
#include <string>

#include "archive/codec_abi.h"
#include "archive/codec_library.h"
#include "archive/codec_streams.h"
#include "archive/seekable_decompressor.h"

namespace kv::archive {

class DecompressedInStream final : public abi::IInStream, public abi::IStreamGetSize {
  KV_CODEC_REFCOUNT
 public:
  explicit DecompressedInStream(std::shared_ptr<SeekableDecompressor> source) : source_(std::move(source)) {}
  abi::HRESULT QueryInterface(const abi::GUID& iid, void** out) override;
  abi::HRESULT Read(void* data, uint32_t size, uint32_t* processed) override;
  abi::HRESULT Seek(int64_t offset, uint32_t origin, uint64_t* newPosition) override;
  abi::HRESULT GetSize(uint64_t* size) override;

 private:
  ~DecompressedInStream() = default;
  std::shared_ptr<SeekableDecompressor> source_;
  uint64_t position_ = 0;
};

class CompressedFileArchive final : public abi::IInArchive {
  KV_CODEC_REFCOUNT
 public:
  // `name`: the one item's name (the file's name without the compression's extension).
  CompressedFileArchive(const CodecLibrary& library, std::shared_ptr<SeekableDecompressor> source, std::u16string name)
      : library_(library), source_(std::move(source)), name_(std::move(name)) {}
  abi::HRESULT QueryInterface(const abi::GUID& iid, void** out) override;
  abi::HRESULT Open(abi::IInStream* stream, const uint64_t* maxCheckStartPosition,
                    abi::IArchiveOpenCallback* callback) override;
  abi::HRESULT Close() override;
  abi::HRESULT GetNumberOfItems(uint32_t* count) override;
  abi::HRESULT GetProperty(uint32_t index, abi::PROPID propId, abi::PROPVARIANT* value) override;
  abi::HRESULT Extract(const uint32_t* indices, uint32_t count, int32_t testMode,
                       abi::IArchiveExtractCallback* callback) override;
  abi::HRESULT GetArchiveProperty(abi::PROPID propId, abi::PROPVARIANT* value) override;
  abi::HRESULT GetNumberOfProperties(uint32_t* count) override;
  abi::HRESULT GetPropertyInfo(uint32_t index, abi::BSTR* name, abi::PROPID* propId, abi::VARTYPE* type) override;
  abi::HRESULT GetNumberOfArchiveProperties(uint32_t* count) override;
  abi::HRESULT GetArchivePropertyInfo(uint32_t index, abi::BSTR* name, abi::PROPID* propId,
                                      abi::VARTYPE* type) override;

 private:
  ~CompressedFileArchive() = default;
  const CodecLibrary& library_;
  std::shared_ptr<SeekableDecompressor> source_;
  std::u16string name_;
};

}  // namespace kv::archive
