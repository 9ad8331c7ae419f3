#include "formats/blockmap/aes_ecb.h"

#include <openssl/evp.h>

#include <algorithm>

namespace kv {

void AesEcb::Deleter::operator()(void* ctx) const {
  EVP_CIPHER_CTX_free(static_cast<EVP_CIPHER_CTX*>(ctx));
}

bool AesEcb::SetKey(const uint8_t* key, size_t keyBytes, bool encrypt) {
  ctx_.reset();
  const EVP_CIPHER* cipher = keyBytes == 16   ? EVP_aes_128_ecb()
                             : keyBytes == 24 ? EVP_aes_192_ecb()
                             : keyBytes == 32 ? EVP_aes_256_ecb()
                                              : nullptr;
  if (!cipher) return false;
  std::unique_ptr<void, Deleter> ctx(EVP_CIPHER_CTX_new());
  auto* c = static_cast<EVP_CIPHER_CTX*>(ctx.get());
  if (!c || EVP_CipherInit_ex(c, cipher, nullptr, key, nullptr, encrypt ? 1 : 0) != 1 ||
      EVP_CIPHER_CTX_set_padding(c, 0) != 1)
    return false;
  ctx_ = std::move(ctx);
  return true;
}

bool AesEcb::Apply(uint8_t* data, size_t length) {
  if (!ctx_) return false;
  auto* c = static_cast<EVP_CIPHER_CTX*>(ctx_.get());
  for (size_t done = 0, whole = length & ~size_t{15}; done < whole;) {
    const int step = static_cast<int>(std::min<size_t>(whole - done, size_t{1} << 30));
    int produced = 0;
    if (EVP_CipherUpdate(c, data + done, &produced, data + done, step) != 1 || produced != step) return false;
    done += static_cast<size_t>(step);
  }
  return true;
}

}  // namespace kv
