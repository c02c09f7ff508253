#include "tests/support/SigningKeys.h"

#include <stdexcept>
#include <vector>

#include <sodium.h>

namespace testsupport {

SigningKeys::SigningKeys() {
  if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
  crypto_sign_keypair(publicKey_.data(), secretKey_.data());
}

std::string SigningKeys::publicKeyBase64() const {
  return base64(std::string_view(reinterpret_cast<const char*>(publicKey_.data()), publicKey_.size()));
}

std::string SigningKeys::signBase64(std::string_view bytes) const {
  std::array<unsigned char, crypto_sign_BYTES> signature{};
  crypto_sign_detached(signature.data(), nullptr, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                       secretKey_.data());
  return base64(std::string_view(reinterpret_cast<const char*>(signature.data()), signature.size()));
}

std::string base64(std::string_view bytes) {
  std::vector<char> text(sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL));
  sodium_bin2base64(text.data(), text.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  return std::string(text.data());
}

}  // namespace testsupport
