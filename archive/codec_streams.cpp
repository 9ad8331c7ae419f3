#include "archive/codec_streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "archive/wide_text.h"

namespace kv::archive {
namespace {

// Volume limit: a hostile archive could otherwise ask for names without end.
constexpr size_t kMaxVolumes = 100000;

uint64_t FileTimeOf(const struct timespec& t) {
  // 100 ns units since 1601-01-01.
  constexpr int64_t kEpochDifference = 11644473600LL;
  const int64_t seconds = static_cast<int64_t>(t.tv_sec) + kEpochDifference;
  if (seconds < 0) return 0;
  return static_cast<uint64_t>(seconds) * 10000000u + static_cast<uint64_t>(t.tv_nsec) / 100u;
}

void SetFileTime(abi::PROPVARIANT* value, uint64_t t) {
  value->vt = abi::VT_FILETIME;
  value->filetime.low = static_cast<uint32_t>(t);
  value->filetime.high = static_cast<uint32_t>(t >> 32);
}

}  // namespace

FileInStream* FileInStream::OpenFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  return new FileInStream(fd, static_cast<uint64_t>(st.st_size));
}

FileInStream::~FileInStream() {
  if (fd_ >= 0) close(fd_);
}

abi::HRESULT FileInStream::QueryInterface(const abi::GUID& iid, void** out) {
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

abi::HRESULT FileInStream::Read(void* data, uint32_t size, uint32_t* processed) {
  if (processed) *processed = 0;
  if (size == 0 || position_ >= size_) return abi::S_OK;
  const size_t want = static_cast<size_t>(std::min<uint64_t>(size, size_ - position_));
  ssize_t n;
  do {
    n = pread(fd_, data, want, static_cast<off_t>(position_));
  } while (n < 0 && errno == EINTR);
  if (n < 0) return abi::E_FAIL;
  position_ += static_cast<uint64_t>(n);
  if (processed) *processed = static_cast<uint32_t>(n);
  return abi::S_OK;
}

abi::HRESULT FileInStream::Seek(int64_t offset, uint32_t origin, uint64_t* newPosition) {
  int64_t base;
  switch (origin) {
    case abi::kSeekSet:
      base = 0;
      break;
    case abi::kSeekCur:
      base = static_cast<int64_t>(position_);
      break;
    case abi::kSeekEnd:
      base = static_cast<int64_t>(size_);
      break;
    default:
      return abi::STG_E_INVALIDFUNCTION;
  }
  if ((offset < 0 && base < -offset) || (offset > 0 && base > INT64_MAX - offset)) return abi::E_INVALIDARG;
  position_ = static_cast<uint64_t>(base + offset);
  if (newPosition) *newPosition = position_;
  return abi::S_OK;
}

abi::HRESULT FileInStream::GetSize(uint64_t* size) {
  *size = size_;
  return abi::S_OK;
}

size_t ReadStreamHead(abi::IInStream* stream, uint8_t* buffer, size_t size) {
  if (stream->Seek(0, abi::kSeekSet, nullptr) != abi::S_OK) return 0;
  size_t done = 0;
  while (done < size) {
    uint32_t got = 0;
    const auto ask = static_cast<uint32_t>(std::min<size_t>(size - done, 1u << 20));
    if (stream->Read(buffer + done, ask, &got) != abi::S_OK || got == 0) break;
    done += std::min<size_t>(got, ask);
  }
  stream->Seek(0, abi::kSeekSet, nullptr);
  return done;
}

OpenCallback::OpenCallback(const CodecLibrary& library, std::string folder, std::string fileName,
                           std::optional<std::u16string> password)
    : library_(library), folder_(std::move(folder)), fileName_(std::move(fileName)), password_(std::move(password)) {}

abi::HRESULT OpenCallback::QueryInterface(const abi::GUID& iid, void** out) {
  if (iid == abi::IID_IUnknown || iid == abi::IID_IArchiveOpenCallback) {
    *out = static_cast<abi::IArchiveOpenCallback*>(this);
  } else if (iid == abi::IID_IArchiveOpenVolumeCallback) {
    *out = static_cast<abi::IArchiveOpenVolumeCallback*>(this);
  } else if (iid == abi::IID_ICryptoGetTextPassword) {
    *out = static_cast<abi::ICryptoGetTextPassword*>(this);
  } else if (iid == abi::IID_IArchiveOpenSetSubArchiveName) {
    *out = static_cast<abi::IArchiveOpenSetSubArchiveName*>(this);
  } else {
    *out = nullptr;
    return abi::E_NOINTERFACE;
  }
  AddRef();
  return abi::S_OK;
}

abi::HRESULT OpenCallback::SetTotal(const uint64_t*, const uint64_t*) {
  return abi::S_OK;
}
abi::HRESULT OpenCallback::SetCompleted(const uint64_t*, const uint64_t*) {
  return abi::S_OK;
}

abi::HRESULT OpenCallback::GetProperty(abi::PROPID propId, abi::PROPVARIANT* value) {
  *value = abi::PROPVARIANT{};
  if (subArchiveMode_) {
    if (propId == abi::kpidName) {
      value->vt = abi::VT_BSTR;
      value->bstrVal = library_.AllocString(subArchiveName_);
    }
    return abi::S_OK;
  }
  struct stat st;
  const std::string path = folder_ + "/" + fileName_;
  if (stat(path.c_str(), &st) != 0) return abi::S_OK;
  switch (propId) {
    case abi::kpidName:
      value->vt = abi::VT_BSTR;
      value->bstrVal = library_.AllocString(Utf8ToWide(fileName_));
      break;
    case abi::kpidIsDir:
      value->vt = abi::VT_BOOL;
      value->boolVal = S_ISDIR(st.st_mode) ? -1 : 0;
      break;
    case abi::kpidSize:
      value->vt = abi::VT_UI8;
      value->uhVal = static_cast<uint64_t>(st.st_size);
      break;
    case abi::kpidAttrib:
      value->vt = abi::VT_UI4;
      value->ulVal = S_ISDIR(st.st_mode) ? 0x10u : 0x20u;  // directory / archive attribute
      break;
    case abi::kpidCTime:
      SetFileTime(value, FileTimeOf(st.st_ctim));
      break;
    case abi::kpidATime:
      SetFileTime(value, FileTimeOf(st.st_atim));
      break;
    case abi::kpidMTime:
      SetFileTime(value, FileTimeOf(st.st_mtim));
      break;
    default:
      break;
  }
  return abi::S_OK;
}

abi::HRESULT OpenCallback::GetStream(const wchar_t* name, abi::IInStream** stream) {
  *stream = nullptr;
  if (subArchiveMode_ || !name) return abi::S_FALSE;
  const std::string fileName = WideToUtf8(name);
  // Only files in the archive's own folder are volumes of it.
  if (fileName.empty() || fileName == "." || fileName == ".." || fileName.find('/') != std::string::npos)
    return abi::S_FALSE;
  if (volumes_.size() >= kMaxVolumes) return abi::S_FALSE;
  FileInStream* s = FileInStream::OpenFile(folder_ + "/" + fileName);
  if (!s) return abi::S_FALSE;
  volumes_.push_back(fileName);
  volumesSize_ += s->size();
  *stream = s;
  return abi::S_OK;
}

abi::HRESULT OpenCallback::CryptoGetTextPassword(abi::BSTR* password) {
  passwordAsked_ = true;
  *password = library_.AllocString(password_ ? Utf16ToWide(*password_) : std::wstring());
  return *password ? abi::S_OK : abi::E_OUTOFMEMORY;
}

abi::HRESULT OpenCallback::SetSubArchiveName(const wchar_t* name) {
  subArchiveMode_ = true;
  subArchiveName_ = name ? name : L"";
  return abi::S_OK;
}

}  // namespace kv::archive
