#include "formats/daa/nibble_cipher.h"

#include <cstring>

namespace kv::daa {
namespace {

// Moves `cursor` forward over `steps` positions not yet used; positions wrap from `size` - 1 to
// `wrapTo`. The caller guarantees an unused position exists in the walked range.
unsigned Advance(unsigned cursor, unsigned steps, unsigned size, unsigned wrapTo, const bool* used) {
  for (unsigned stepped = 0; stepped != steps;) {
    if (++cursor == size) cursor = wrapTo;
    if (!used[cursor]) ++stepped;
  }
  return cursor;
}

// Table for blocks of n bytes: L = 2n nibble positions.
void BuildTable(const uint8_t* password, size_t passwordLength, unsigned n, uint8_t* table) {
  const unsigned size = 2 * n;
  const unsigned first = password[0];
  bool used[256] = {};
  if (size <= 64) {
    unsigned cursor = first >> 5 < size ? first >> 5 : size - 1;
    for (unsigned k = 0; k < size; ++k) {
      cursor = Advance(cursor, 11, size, 0, used);
      used[cursor] = true;
      table[k] = static_cast<uint8_t>(cursor);
    }
    return;
  }
  unsigned cursor = first >> 5;
  used[cursor + 32] = true;
  table[0] = static_cast<uint8_t>(cursor + 32);
  unsigned k = 1;
  size_t next = 1;
  for (; k < size - 32; ++k) {
    unsigned steps = 11;
    if (next < passwordLength) {
      steps = password[next++];
      if (steps == 0) steps = 11;
    }
    cursor = Advance(cursor, steps, size, 32, used);
    used[cursor] = true;
    table[k] = static_cast<uint8_t>(cursor);
  }
  const unsigned tailStep = (first & 7) != 0 ? first & 7 : 7;
  for (; k < size; ++k) {
    cursor = Advance(cursor, tailStep, size, 0, used);
    used[cursor] = true;
    table[k] = static_cast<uint8_t>(cursor);
  }
  if (const unsigned step = first & 0x18; step != 0) {
    uint8_t order[256];
    std::memcpy(order, table, size);
    std::memset(used, 0, sizeof used);
    cursor = 0;
    for (k = 0; k < size; ++k) {
      cursor = Advance(cursor, step, size, 0, used);
      used[cursor] = true;
      table[k] = order[cursor];
    }
  }
}

}  // namespace

void NibbleCipher::SetPassword(std::string_view password) {
  const size_t length = password.size() < kMaxPasswordCharacters ? password.size() : kMaxPasswordCharacters;
  set_ = length > 0;
  if (!set_) return;
  const auto* p = reinterpret_cast<const uint8_t*>(password.data());
  for (unsigned n = 1; n <= kCipherBlock; ++n) BuildTable(p, length, n, tables_[n - 1]);
}

void NibbleCipher::DecryptBlock(const uint8_t* in, uint8_t* out, size_t n) const {
  const uint8_t* table = tables_[n - 1];
  std::memset(out, 0, n);
  for (size_t i = 0; i < n; ++i) {
    const unsigned low = table[2 * i], high = table[2 * i + 1];
    out[low >> 1] |= static_cast<uint8_t>((in[i] & 0x0F) << ((low & 1) * 4));
    out[high >> 1] |= static_cast<uint8_t>((in[i] >> 4) << ((high & 1) * 4));
  }
}

void NibbleCipher::EncryptBlock(const uint8_t* in, uint8_t* out, size_t n) const {
  const uint8_t* table = tables_[n - 1];
  for (size_t i = 0; i < n; ++i) {
    const unsigned low = table[2 * i], high = table[2 * i + 1];
    const unsigned lowNibble = (in[low >> 1] >> ((low & 1) * 4)) & 0x0F;
    const unsigned highNibble = (in[high >> 1] >> ((high & 1) * 4)) & 0x0F;
    out[i] = static_cast<uint8_t>(lowNibble | highNibble << 4);
  }
}

void NibbleCipher::Decrypt(uint8_t* data, size_t length) const {
  if (!set_) return;
  uint8_t block[kCipherBlock];
  for (size_t done = 0; done < length;) {
    const size_t n = length - done < kCipherBlock ? length - done : kCipherBlock;
    DecryptBlock(data + done, block, n);
    std::memcpy(data + done, block, n);
    done += n;
  }
}

void NibbleCipher::Encrypt(uint8_t* data, size_t length) const {
  if (!set_) return;
  uint8_t block[kCipherBlock];
  for (size_t done = 0; done < length;) {
    const size_t n = length - done < kCipherBlock ? length - done : kCipherBlock;
    EncryptBlock(data + done, block, n);
    std::memcpy(data + done, block, n);
    done += n;
  }
}

}  // namespace kv::daa
