// The password cipher of DAA and GBI images: data is encrypted in blocks of up to 128 bytes, each
// block's nibbles permuted by a table chosen by the block length and derived from the password.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kv::daa {

inline constexpr size_t kCipherBlock = 128;
inline constexpr size_t kMaxPasswordCharacters = 65;

class NibbleCipher {
 public:
  // Builds the 128 tables from the password's first 65 characters; an empty password leaves the
  // cipher unset.
  void SetPassword(std::string_view password);
  bool set() const { return set_; }
  // Decrypts `length` bytes in place: whole 128-byte blocks, then the remainder with its own table.
  void Decrypt(uint8_t* data, size_t length) const;
  // The inverse, for writers of test images.
  void Encrypt(uint8_t* data, size_t length) const;

 private:
  void DecryptBlock(const uint8_t* in, uint8_t* out, size_t n) const;
  void EncryptBlock(const uint8_t* in, uint8_t* out, size_t n) const;
  bool set_ = false;
  uint8_t tables_[kCipherBlock][2 * kCipherBlock] = {};  // table for n-byte blocks at n - 1
};

}  // namespace kv::daa
