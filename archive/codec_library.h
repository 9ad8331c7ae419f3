// The 7-Zip codec library loaded at run time, with the formats and methods it offers.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/codec_abi.h"

namespace kv::archive {

// One archive format offered by the library.
struct FormatInfo {
  std::u16string name;
  abi::GUID classId{};
  std::vector<std::u16string> extensions;     // extension list, split at spaces
  std::vector<std::u16string> addExtensions;  // additional extensions, paired by position
  bool updateSupported = false;
  bool keepName = false;
  std::vector<uint8_t> signature;  // start signature, may be empty
  uint32_t libraryIndex = 0;
};

struct MethodInfo {
  std::vector<uint8_t> encoderId;  // 16 bytes when present
  std::vector<uint8_t> decoderId;
};

class CodecLibrary {
 public:
  ~CodecLibrary();
  CodecLibrary(const CodecLibrary&) = delete;
  CodecLibrary& operator=(const CodecLibrary&) = delete;

  // Loads `file` and reads its methods and formats. None when the file cannot be loaded or has
  // no CreateObject.
  static std::unique_ptr<CodecLibrary> Load(const std::string& file);
  // The library file inside an install folder ("7z.so" here).
  static std::string FileInFolder(const std::string& installDir);

  const std::vector<FormatInfo>& formats() const { return formats_; }
  const std::vector<MethodInfo>& methods() const { return methods_; }

  // A new handler of format `index`; empty on failure.
  abi::Ref<abi::IInArchive> CreateHandler(size_t index) const;

  // BSTR and PROPVARIANT helpers that use the library's own allocator.
  abi::BSTR AllocString(const std::wstring& text) const;
  void FreeString(abi::BSTR text) const;
  void Clear(abi::PROPVARIANT* value) const;

 private:
  CodecLibrary() = default;
  bool ReadMethods();
  bool ReadFormats();

  void* handle_ = nullptr;
  abi::CreateObjectFn createObject_ = nullptr;
  abi::GetNumberOfFormatsFn getNumberOfFormats_ = nullptr;
  abi::GetHandlerProperty2Fn getHandlerProperty2_ = nullptr;
  abi::GetHandlerPropertyFn getHandlerProperty_ = nullptr;
  abi::GetNumberOfMethodsFn getNumberOfMethods_ = nullptr;
  abi::GetMethodPropertyFn getMethodProperty_ = nullptr;
  abi::SysAllocStringLenFn sysAllocStringLen_ = nullptr;
  abi::SysFreeStringFn sysFreeString_ = nullptr;
  abi::VariantClearFn variantClear_ = nullptr;
  std::vector<FormatInfo> formats_;
  std::vector<MethodInfo> methods_;
};

// The library instance of a drive (0..22), loaded from `installDir` at the first request for
// that drive and kept. None when the drive index is out of range or the library is unusable;
// a failed load is retried at the next request.
const CodecLibrary* LibraryForDrive(int driveIndex, const std::string& installDir);

// A PROPVARIANT that is zeroed before use and cleared through the library afterwards.
class PropValue {
 public:
  explicit PropValue(const CodecLibrary& library) : library_(library) {}
  ~PropValue() { library_.Clear(&value_); }
  PropValue(const PropValue&) = delete;
  PropValue& operator=(const PropValue&) = delete;
  abi::PROPVARIANT* Put() {
    library_.Clear(&value_);
    value_ = abi::PROPVARIANT{};
    return &value_;
  }
  const abi::PROPVARIANT& get() const { return value_; }
  bool IsString() const { return value_.vt == abi::VT_BSTR && value_.bstrVal; }
  std::wstring String() const;
  // Binary contents of a BSTR (its byte length).
  std::vector<uint8_t> Bytes() const;
  bool Bool(bool fallback) const;
  // VT_UI1..VT_UI8 widened; false when not an unsigned integer.
  bool UInt64(uint64_t* out) const;

 private:
  const CodecLibrary& library_;
  abi::PROPVARIANT value_{};
};

}  // namespace kv::archive
