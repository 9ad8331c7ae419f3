// AES in ECB mode over whole 16-byte blocks through libcrypto's EVP interface, as the ISZ, UIF and
// MZP readers (and the writers of MZP containers) use it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

namespace kv {

class AesEcb {
 public:
  // `keyBytes` is 16, 24 or 32; false for any other length or when libcrypto refuses.
  bool SetKey(const uint8_t* key, size_t keyBytes, bool encrypt);
  void Clear() { ctx_.reset(); }
  explicit operator bool() const { return ctx_ != nullptr; }
  // Transforms the whole 16-byte blocks of `data` in place; a trailing part under 16 bytes stays.
  bool Apply(uint8_t* data, size_t length);

 private:
  struct Deleter {
    void operator()(void* ctx) const;
  };
  std::unique_ptr<void, Deleter> ctx_;
};

}  // namespace kv
