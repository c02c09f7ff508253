#pragma once

#include <array>
#include <string>
#include <string_view>

namespace testsupport {

// A fresh Ed25519 key pair (libsodium) that signs test archives, with the Base64 texts that update
// feeds and application information carry.
class SigningKeys {
 public:
  SigningKeys();

  // Standard Base64 of the 32-byte public key.
  std::string publicKeyBase64() const;
  // Standard Base64 of the detached 64-byte signature of `bytes`.
  std::string signBase64(std::string_view bytes) const;

 private:
  std::array<unsigned char, 32> publicKey_{};
  std::array<unsigned char, 64> secretKey_{};
};

// Standard Base64 of `bytes`.
std::string base64(std::string_view bytes);

}  // namespace testsupport
