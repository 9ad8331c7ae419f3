// Binary interface of the 7-Zip codec library as loaded at run time: the COM-style interfaces
// and records it exchanges with us, declared from its published interface values.
//
// The library's IUnknown has no virtual destructor, so no class implementing these interfaces
// may declare one either: the vtable must be exactly QueryInterface, AddRef, Release and then
// the interface's methods in order.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kv::archive::abi {

using HRESULT = int32_t;
using PROPID = uint32_t;
using VARTYPE = uint16_t;
using BSTR = wchar_t*;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT STG_E_INVALIDFUNCTION = static_cast<HRESULT>(0x80030001u);

struct GUID {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};
static_assert(sizeof(GUID) == 16);

inline bool operator==(const GUID& a, const GUID& b) {
  return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

// Interface IDs are {23170F69-40C1-278A-0000-00yy00xx0000}.
constexpr GUID InterfaceId(uint8_t group, uint8_t id) {
  return GUID{0x23170F69u, 0x40C1, 0x278A, {0x00, 0x00, 0x00, group, 0x00, id, 0x00, 0x00}};
}

inline constexpr GUID IID_IUnknown{0x00000000u, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID IID_ISequentialInStream = InterfaceId(0x03, 0x01);
inline constexpr GUID IID_ISequentialOutStream = InterfaceId(0x03, 0x02);
inline constexpr GUID IID_IInStream = InterfaceId(0x03, 0x03);
inline constexpr GUID IID_IOutStream = InterfaceId(0x03, 0x04);
inline constexpr GUID IID_IStreamGetSize = InterfaceId(0x03, 0x06);
inline constexpr GUID IID_IProgress = InterfaceId(0x00, 0x05);
inline constexpr GUID IID_ICryptoGetTextPassword = InterfaceId(0x05, 0x10);
inline constexpr GUID IID_IArchiveOpenCallback = InterfaceId(0x06, 0x10);
inline constexpr GUID IID_IArchiveExtractCallback = InterfaceId(0x06, 0x20);
inline constexpr GUID IID_IArchiveOpenVolumeCallback = InterfaceId(0x06, 0x30);
inline constexpr GUID IID_IInArchiveGetStream = InterfaceId(0x06, 0x40);
inline constexpr GUID IID_IArchiveOpenSetSubArchiveName = InterfaceId(0x06, 0x50);
inline constexpr GUID IID_IInArchive = InterfaceId(0x06, 0x60);
inline constexpr GUID IID_ISetProperties = InterfaceId(0x06, 0x03);

// PROPVARIANT: type at 0, value at 8.
inline constexpr VARTYPE VT_EMPTY = 0;
inline constexpr VARTYPE VT_BSTR = 8;
inline constexpr VARTYPE VT_BOOL = 11;
inline constexpr VARTYPE VT_UI4 = 19;
inline constexpr VARTYPE VT_UI8 = 21;
inline constexpr VARTYPE VT_FILETIME = 64;

struct FILETIME {
  uint32_t low;
  uint32_t high;
};

struct PROPVARIANT {
  VARTYPE vt;
  uint16_t reserved1;
  uint16_t reserved2;
  uint16_t reserved3;
  union {
    int16_t boolVal;  // VT_BOOL: -1 true, 0 false
    uint32_t ulVal;
    uint64_t uhVal;
    FILETIME filetime;
    BSTR bstrVal;
  };
};
static_assert(sizeof(PROPVARIANT) == 16);
static_assert(offsetof(PROPVARIANT, vt) == 0);
static_assert(offsetof(PROPVARIANT, uhVal) == 8);

// Item and archive property ids.
inline constexpr PROPID kpidPath = 3;
inline constexpr PROPID kpidName = 4;
inline constexpr PROPID kpidExtension = 5;
inline constexpr PROPID kpidIsDir = 6;
inline constexpr PROPID kpidSize = 7;
inline constexpr PROPID kpidPackSize = 8;
inline constexpr PROPID kpidAttrib = 9;
inline constexpr PROPID kpidCTime = 10;
inline constexpr PROPID kpidATime = 11;
inline constexpr PROPID kpidMTime = 12;
inline constexpr PROPID kpidSolid = 13;
inline constexpr PROPID kpidEncrypted = 15;
inline constexpr PROPID kpidComment = 28;

// Handler (format) properties.
inline constexpr PROPID kHandlerName = 0;
inline constexpr PROPID kHandlerClassId = 1;
inline constexpr PROPID kHandlerExtension = 2;
inline constexpr PROPID kHandlerAddExtension = 3;
inline constexpr PROPID kHandlerUpdate = 4;
inline constexpr PROPID kHandlerKeepName = 5;
inline constexpr PROPID kHandlerSignature = 6;

// Method properties.
inline constexpr PROPID kMethodEncoder = 2;
inline constexpr PROPID kMethodDecoder = 3;

// Extraction modes and results.
inline constexpr int32_t kExtractModeExtract = 0;
inline constexpr int32_t kResultOk = 0;
inline constexpr int32_t kResultUnsupportedMethod = 1;
inline constexpr int32_t kResultDataError = 2;
inline constexpr int32_t kResultCrcError = 3;
inline constexpr int32_t kResultWrongPassword = 9;

inline constexpr uint32_t kSeekSet = 0;
inline constexpr uint32_t kSeekCur = 1;
inline constexpr uint32_t kSeekEnd = 2;

// Objects of these interfaces are destroyed through Release only.
struct IUnknown {
  virtual HRESULT QueryInterface(const GUID& iid, void** out) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;
};

struct ISequentialInStream : IUnknown {
  virtual HRESULT Read(void* data, uint32_t size, uint32_t* processed) = 0;
};

struct IInStream : ISequentialInStream {
  virtual HRESULT Seek(int64_t offset, uint32_t origin, uint64_t* newPosition) = 0;
};

struct ISequentialOutStream : IUnknown {
  virtual HRESULT Write(const void* data, uint32_t size, uint32_t* processed) = 0;
};

struct IOutStream : ISequentialOutStream {
  virtual HRESULT Seek(int64_t offset, uint32_t origin, uint64_t* newPosition) = 0;
  virtual HRESULT SetSize(uint64_t newSize) = 0;
};

struct IStreamGetSize : IUnknown {
  virtual HRESULT GetSize(uint64_t* size) = 0;
};

struct IArchiveOpenCallback : IUnknown {
  virtual HRESULT SetTotal(const uint64_t* files, const uint64_t* bytes) = 0;
  virtual HRESULT SetCompleted(const uint64_t* files, const uint64_t* bytes) = 0;
};

struct IArchiveOpenVolumeCallback : IUnknown {
  virtual HRESULT GetProperty(PROPID propId, PROPVARIANT* value) = 0;
  virtual HRESULT GetStream(const wchar_t* name, IInStream** stream) = 0;
};

struct IArchiveOpenSetSubArchiveName : IUnknown {
  virtual HRESULT SetSubArchiveName(const wchar_t* name) = 0;
};

struct ICryptoGetTextPassword : IUnknown {
  virtual HRESULT CryptoGetTextPassword(BSTR* password) = 0;
};

struct IArchiveExtractCallback : IUnknown {
  virtual HRESULT SetTotal(uint64_t total) = 0;
  virtual HRESULT SetCompleted(const uint64_t* completed) = 0;
  virtual HRESULT GetStream(uint32_t index, ISequentialOutStream** stream, int32_t askExtractMode) = 0;
  virtual HRESULT PrepareOperation(int32_t askExtractMode) = 0;
  virtual HRESULT SetOperationResult(int32_t result) = 0;
};

struct IInArchive : IUnknown {
  virtual HRESULT Open(IInStream* stream, const uint64_t* maxCheckStartPosition, IArchiveOpenCallback* callback) = 0;
  virtual HRESULT Close() = 0;
  virtual HRESULT GetNumberOfItems(uint32_t* count) = 0;
  virtual HRESULT GetProperty(uint32_t index, PROPID propId, PROPVARIANT* value) = 0;
  virtual HRESULT Extract(const uint32_t* indices, uint32_t count, int32_t testMode,
                          IArchiveExtractCallback* callback) = 0;
  virtual HRESULT GetArchiveProperty(PROPID propId, PROPVARIANT* value) = 0;
  virtual HRESULT GetNumberOfProperties(uint32_t* count) = 0;
  virtual HRESULT GetPropertyInfo(uint32_t index, BSTR* name, PROPID* propId, VARTYPE* type) = 0;
  virtual HRESULT GetNumberOfArchiveProperties(uint32_t* count) = 0;
  virtual HRESULT GetArchivePropertyInfo(uint32_t index, BSTR* name, PROPID* propId, VARTYPE* type) = 0;
};

struct ISetProperties : IUnknown {
  virtual HRESULT SetProperties(const wchar_t* const* names, const PROPVARIANT* values, uint32_t count) = 0;
};

struct IInArchiveGetStream : IUnknown {
  virtual HRESULT GetStream(uint32_t index, ISequentialInStream** stream) = 0;
};

// Exported functions of the library.
using CreateObjectFn = HRESULT (*)(const GUID* classId, const GUID* interfaceId, void** out);
using GetNumberOfFormatsFn = HRESULT (*)(uint32_t* count);
using GetHandlerProperty2Fn = HRESULT (*)(uint32_t index, PROPID propId, PROPVARIANT* value);
using GetHandlerPropertyFn = HRESULT (*)(PROPID propId, PROPVARIANT* value);
using GetNumberOfMethodsFn = HRESULT (*)(uint32_t* count);
using GetMethodPropertyFn = HRESULT (*)(uint32_t index, PROPID propId, PROPVARIANT* value);
using SysAllocStringLenFn = BSTR (*)(const wchar_t* text, uint32_t length);
using SysFreeStringFn = void (*)(BSTR text);
using SysStringByteLenFn = uint32_t (*)(BSTR text);
using VariantClearFn = HRESULT (*)(PROPVARIANT* value);

// Owning reference to a library object.
template <typename T>
class Ref {
 public:
  Ref() = default;
  explicit Ref(T* adopted) : p_(adopted) {}
  Ref(const Ref& o) : p_(o.p_) {
    if (p_) p_->AddRef();
  }
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref o) noexcept {
    T* t = p_;
    p_ = o.p_;
    o.p_ = t;
    return *this;
  }
  ~Ref() { Reset(); }
  void Reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For out-parameters: releases the current object first.
  T** Put() {
    Reset();
    return &p_;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }
  // Another interface of the same object, or empty.
  template <typename U>
  Ref<U> As(const GUID& iid) const {
    Ref<U> r;
    if (p_ && p_->QueryInterface(iid, r.PutVoid()) != S_OK) r.Reset();
    return r;
  }

 private:
  T* p_ = nullptr;
};

}  // namespace kv::archive::abi
