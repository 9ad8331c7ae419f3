#include "archive/compressed_file.h"

#include <vector>

#include "archive/wide_text.h"

namespace kv::archive {

abi::HRESULT DecompressedInStream::QueryInterface(const abi::GUID& iid, void** out) {
  if (iid == abi::IID_IUnknown || iid == abi::IID_ISequentialInStream || iid == abi::IID_IInStream) {
    *out = static_cast<abi::IInStream*>(this);
  } else if (iid == abi::IID_IStreamGetSize) {
    *out = static_cast<abi::IStreamGetSize*>(this);
  } else {
    *out = nullptr;
    return abi::E_NOINTERFACE;
  }
  AddRef();
  return abi::S_OK;
}

abi::HRESULT DecompressedInStream::Read(void* data, uint32_t size, uint32_t* processed) {
  const size_t n = source_->Read(position_, static_cast<uint8_t*>(data), size);
  position_ += n;
  if (processed) *processed = static_cast<uint32_t>(n);
  // Short of the end, a short read is a stream that fails there.
  return n == size || position_ >= source_->size() ? abi::S_OK : abi::E_FAIL;
}

abi::HRESULT DecompressedInStream::Seek(int64_t offset, uint32_t origin, uint64_t* newPosition) {
  int64_t base;
  switch (origin) {
    case abi::kSeekSet:
      base = 0;
      break;
    case abi::kSeekCur:
      base = static_cast<int64_t>(position_);
      break;
    case abi::kSeekEnd:
      base = static_cast<int64_t>(source_->size());
      break;
    default:
      return abi::STG_E_INVALIDFUNCTION;
  }
  if ((offset < 0 && base < -offset) || (offset > 0 && base > INT64_MAX - offset)) return abi::E_INVALIDARG;
  position_ = static_cast<uint64_t>(base + offset);
  if (newPosition) *newPosition = position_;
  return abi::S_OK;
}

abi::HRESULT DecompressedInStream::GetSize(uint64_t* size) {
  *size = source_->size();
  return abi::S_OK;
}

abi::HRESULT CompressedFileArchive::QueryInterface(const abi::GUID& iid, void** out) {
  if (iid == abi::IID_IUnknown || iid == abi::IID_IInArchive) {
    *out = static_cast<abi::IInArchive*>(this);
    AddRef();
    return abi::S_OK;
  }
  *out = nullptr;
  return abi::E_NOINTERFACE;
}

abi::HRESULT CompressedFileArchive::Open(abi::IInStream*, const uint64_t*, abi::IArchiveOpenCallback*) {
  return abi::S_OK;
}

abi::HRESULT CompressedFileArchive::Close() {
  return abi::S_OK;
}

abi::HRESULT CompressedFileArchive::GetNumberOfItems(uint32_t* count) {
  *count = 1;
  return abi::S_OK;
}

abi::HRESULT CompressedFileArchive::GetProperty(uint32_t index, abi::PROPID propId, abi::PROPVARIANT* value) {
  *value = abi::PROPVARIANT{};
  if (index != 0) return abi::E_INVALIDARG;
  switch (propId) {
    case abi::kpidPath:
      value->vt = abi::VT_BSTR;
      value->bstrVal = library_.AllocString(Utf16ToWide(name_));
      break;
    case abi::kpidIsDir:
    case abi::kpidEncrypted:
      value->vt = abi::VT_BOOL;
      value->boolVal = 0;
      break;
    case abi::kpidSize:
      value->vt = abi::VT_UI8;
      value->uhVal = source_->size();
      break;
    case abi::kpidPackSize:
      value->vt = abi::VT_UI8;
      value->uhVal = source_->compressedSize();
      break;
    case abi::kpidMTime:
      value->vt = abi::VT_FILETIME;
      value->filetime.low = static_cast<uint32_t>(source_->fileTime());
      value->filetime.high = static_cast<uint32_t>(source_->fileTime() >> 32);
      break;
    default:
      break;
  }
  return abi::S_OK;
}

abi::HRESULT CompressedFileArchive::Extract(const uint32_t* indices, uint32_t count, int32_t testMode,
                                            abi::IArchiveExtractCallback* callback) {
  const bool all = count == UINT32_MAX;
  if (!all && (count == 0 || indices == nullptr || indices[0] != 0)) return count == 0 ? abi::S_OK : abi::E_INVALIDARG;
  const int32_t mode = testMode ? 1 : abi::kExtractModeExtract;
  callback->SetTotal(source_->size());
  abi::Ref<abi::ISequentialOutStream> out;
  abi::HRESULT hr = callback->GetStream(0, out.Put(), mode);
  if (hr != abi::S_OK) return hr;
  hr = callback->PrepareOperation(mode);
  if (hr != abi::S_OK) return hr;
  std::vector<uint8_t> buffer(1u << 20);
  uint64_t done = 0;
  while (done < source_->size()) {
    const size_t n = source_->Read(done, buffer.data(), buffer.size());
    if (n == 0) break;
    for (size_t written = 0; out && written < n;) {
      uint32_t w = 0;
      hr = out->Write(buffer.data() + written, static_cast<uint32_t>(n - written), &w);
      if (hr != abi::S_OK) return hr;
      if (w == 0) return abi::E_FAIL;
      written += w;
    }
    done += n;
    callback->SetCompleted(&done);
  }
  out.Reset();
  return callback->SetOperationResult(done == source_->size() ? abi::kResultOk : abi::kResultDataError);
}

abi::HRESULT CompressedFileArchive::GetArchiveProperty(abi::PROPID, abi::PROPVARIANT* value) {
  *value = abi::PROPVARIANT{};
  return abi::S_OK;
}

abi::HRESULT CompressedFileArchive::GetNumberOfProperties(uint32_t* count) {
  *count = 0;
  return abi::S_OK;
}

abi::HRESULT CompressedFileArchive::GetPropertyInfo(uint32_t, abi::BSTR*, abi::PROPID*, abi::VARTYPE*) {
  return abi::E_INVALIDARG;
}

abi::HRESULT CompressedFileArchive::GetNumberOfArchiveProperties(uint32_t* count) {
  *count = 0;
  return abi::S_OK;
}

abi::HRESULT CompressedFileArchive::GetArchivePropertyInfo(uint32_t, abi::BSTR*, abi::PROPID*, abi::VARTYPE*) {
  return abi::E_INVALIDARG;
}

}  // namespace kv::archive
