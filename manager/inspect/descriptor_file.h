// Pieces the descriptor parsers share: reading a descriptor whole, opening files by wide path.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "formats/raw_file.h"
#include "manager/inspect/disc_layout.h"

namespace kv::inspect {

// The whole descriptor plus 16 zero bytes, so the text is always NUL-terminated. Fails for an
// empty file or one of kMaxDescriptorSize bytes or more.
bool ReadDescriptorFile(const std::u16string& path, std::vector<uint8_t>* data, size_t* size, std::string* reason);

std::unique_ptr<RawFile> OpenWidePath(const std::u16string& path, std::string* reason);

// Case-insensitive for ASCII letters.
bool EqualsIgnoringCase(const std::string& a, const char* b);
// The extension of the last path component (without the dot), empty when it has none.
std::u16string Extension(const std::u16string& path);
std::string Narrow(const std::u16string& path);  // UTF-8 for messages and the file system

inline bool Fail(ParseFailure* failure, std::string reason) {
  if (failure && failure->reason.empty()) failure->reason = std::move(reason);
  return false;
}

}  // namespace kv::inspect
