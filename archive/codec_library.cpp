#include "archive/codec_library.h"

#include <dlfcn.h>

#include <array>
#include <cstring>
#include <mutex>

#include "archive/wide_text.h"

namespace kv::archive {
namespace {

constexpr int kDriveCount = 23;
// Bounds on what the library may claim, so a broken library cannot make us allocate without end.
constexpr uint32_t kMaxFormats = 4096;
constexpr uint32_t kMaxMethods = 4096;

template <typename Fn>
Fn Symbol(void* handle, const char* name) {
  return reinterpret_cast<Fn>(dlsym(handle, name));
}

std::vector<std::u16string> SplitAtSpaces(const std::wstring& list) {
  std::vector<std::u16string> out;
  std::u16string cur;
  for (wchar_t c : list) {
    if (c == L' ') {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur += WideToUtf16(std::wstring(1, c));
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

}  // namespace

std::wstring PropValue::String() const {
  if (!IsString()) return {};
  // A BSTR carries its byte length in the four bytes before the characters.
  uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<const uint8_t*>(value_.bstrVal) - 4, 4);
  std::wstring s(value_.bstrVal, bytes / sizeof(wchar_t));
  const size_t nul = s.find(L'\0');
  if (nul != std::wstring::npos) s.resize(nul);
  return s;
}

std::vector<uint8_t> PropValue::Bytes() const {
  if (!IsString()) return {};
  uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<const uint8_t*>(value_.bstrVal) - 4, 4);
  const auto* p = reinterpret_cast<const uint8_t*>(value_.bstrVal);
  return std::vector<uint8_t>(p, p + bytes);
}

bool PropValue::Bool(bool fallback) const {
  if (value_.vt == abi::VT_BOOL) return value_.boolVal != 0;
  return fallback;
}

bool PropValue::UInt64(uint64_t* out) const {
  switch (value_.vt) {
    case 17:  // VT_UI1
      *out = static_cast<uint8_t>(value_.ulVal & 0xFF);
      return true;
    case 18:  // VT_UI2
      *out = static_cast<uint16_t>(value_.ulVal & 0xFFFF);
      return true;
    case abi::VT_UI4:
    case 23:  // VT_UINT
      *out = value_.ulVal;
      return true;
    case abi::VT_UI8:
      *out = value_.uhVal;
      return true;
    default:
      return false;
  }
}

CodecLibrary::~CodecLibrary() {
  // The library is never unloaded: handlers it created may still run their static teardown and
  // a second instance for another drive shares the same mapping.
  handle_ = nullptr;
}

std::string CodecLibrary::FileInFolder(const std::string& installDir) {
  std::string file = installDir;
  if (!file.empty() && file.back() != '/') file += '/';
  return file + "7z.so";
}

std::unique_ptr<CodecLibrary> CodecLibrary::Load(const std::string& file) {
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return nullptr;
  std::unique_ptr<CodecLibrary> lib(new CodecLibrary());
  lib->handle_ = handle;
  lib->createObject_ = Symbol<abi::CreateObjectFn>(handle, "CreateObject");
  lib->getNumberOfFormats_ = Symbol<abi::GetNumberOfFormatsFn>(handle, "GetNumberOfFormats");
  lib->getHandlerProperty2_ = Symbol<abi::GetHandlerProperty2Fn>(handle, "GetHandlerProperty2");
  lib->getHandlerProperty_ = Symbol<abi::GetHandlerPropertyFn>(handle, "GetHandlerProperty");
  lib->getNumberOfMethods_ = Symbol<abi::GetNumberOfMethodsFn>(handle, "GetNumberOfMethods");
  lib->getMethodProperty_ = Symbol<abi::GetMethodPropertyFn>(handle, "GetMethodProperty");
  lib->sysAllocStringLen_ = Symbol<abi::SysAllocStringLenFn>(handle, "SysAllocStringLen");
  lib->sysFreeString_ = Symbol<abi::SysFreeStringFn>(handle, "SysFreeString");
  lib->variantClear_ = Symbol<abi::VariantClearFn>(handle, "VariantClear");
  // Strings crossing the boundary must come from the library's own allocator.
  if (!lib->createObject_ || !lib->sysAllocStringLen_ || !lib->sysFreeString_ || !lib->variantClear_) return nullptr;
  lib->ReadMethods();
  if (!lib->ReadFormats()) return nullptr;
  return lib;
}

bool CodecLibrary::ReadMethods() {
  if (!getNumberOfMethods_ || !getMethodProperty_) return true;
  uint32_t count = 0;
  if (getNumberOfMethods_(&count) != abi::S_OK) return false;
  if (count > kMaxMethods) count = kMaxMethods;
  for (uint32_t i = 0; i < count; ++i) {
    MethodInfo m;
    PropValue v(*this);
    if (getMethodProperty_(i, abi::kMethodDecoder, v.Put()) == abi::S_OK && v.IsString()) m.decoderId = v.Bytes();
    if (getMethodProperty_(i, abi::kMethodEncoder, v.Put()) == abi::S_OK && v.IsString()) m.encoderId = v.Bytes();
    methods_.push_back(std::move(m));
  }
  return true;
}

bool CodecLibrary::ReadFormats() {
  uint32_t count = 0;
  if (getHandlerProperty2_) {
    if (!getNumberOfFormats_ || getNumberOfFormats_(&count) != abi::S_OK) return false;
  } else if (getHandlerProperty_) {
    count = 1;
  } else {
    return false;
  }
  if (count > kMaxFormats) count = kMaxFormats;
  auto get = [&](uint32_t index, abi::PROPID id, PropValue& v) {
    return getHandlerProperty2_ ? getHandlerProperty2_(index, id, v.Put()) : getHandlerProperty_(id, v.Put());
  };
  for (uint32_t i = 0; i < count; ++i) {
    FormatInfo f;
    PropValue v(*this);
    if (get(i, abi::kHandlerName, v) == abi::S_OK) f.name = WideToUtf16(v.String());
    if (get(i, abi::kHandlerClassId, v) != abi::S_OK || !v.IsString()) continue;
    const std::vector<uint8_t> id = v.Bytes();
    if (id.size() != sizeof(abi::GUID)) continue;
    std::memcpy(&f.classId, id.data(), sizeof(abi::GUID));
    if (get(i, abi::kHandlerExtension, v) == abi::S_OK) f.extensions = SplitAtSpaces(v.String());
    if (get(i, abi::kHandlerAddExtension, v) == abi::S_OK) f.addExtensions = SplitAtSpaces(v.String());
    if (get(i, abi::kHandlerUpdate, v) == abi::S_OK) f.updateSupported = v.Bool(false);
    if (f.updateSupported && get(i, abi::kHandlerKeepName, v) == abi::S_OK) f.keepName = v.Bool(false);
    if (get(i, abi::kHandlerSignature, v) == abi::S_OK && v.IsString()) f.signature = v.Bytes();
    f.libraryIndex = 0;
    formats_.push_back(std::move(f));
  }
  return true;
}

abi::Ref<abi::IInArchive> CodecLibrary::CreateHandler(size_t index) const {
  abi::Ref<abi::IInArchive> handler;
  if (index >= formats_.size()) return handler;
  if (createObject_(&formats_[index].classId, &abi::IID_IInArchive, handler.PutVoid()) != abi::S_OK) handler.Reset();
  return handler;
}

abi::BSTR CodecLibrary::AllocString(const std::wstring& text) const {
  return sysAllocStringLen_(text.c_str(), static_cast<uint32_t>(text.size()));
}

void CodecLibrary::FreeString(abi::BSTR text) const {
  if (text) sysFreeString_(text);
}

void CodecLibrary::Clear(abi::PROPVARIANT* value) const {
  if (value->vt != abi::VT_EMPTY) variantClear_(value);
  *value = abi::PROPVARIANT{};
}

const CodecLibrary* LibraryForDrive(int driveIndex, const std::string& installDir) {
  static std::mutex lock;
  static std::array<std::unique_ptr<CodecLibrary>, kDriveCount> libraries;
  if (driveIndex < 0 || driveIndex >= kDriveCount || installDir.empty()) return nullptr;
  std::lock_guard<std::mutex> guard(lock);
  auto& slot = libraries[static_cast<size_t>(driveIndex)];
  if (!slot) slot = CodecLibrary::Load(CodecLibrary::FileInFolder(installDir));
  return slot.get();
}

}  // namespace kv::archive
