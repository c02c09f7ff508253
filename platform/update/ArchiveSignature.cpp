#include "platform/update/ArchiveSignature.h"

#include <optional>
#include <string>
#include <vector>

#include <sodium.h>

#include "platform/sys/FileIO.h"
#include "platform/update/UpdateError.h"

namespace platform::ArchiveSignature {

namespace {

std::optional<std::vector<unsigned char>> decodedBase64(std::string_view text, std::size_t size) {
  std::vector<unsigned char> bytes(size + 1);
  std::size_t length = 0;
  const char* end = nullptr;
  if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &length, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0 ||
      end != text.data() + text.size() || length != size) {
    return std::nullopt;
  }
  bytes.resize(size);
  return bytes;
}

}  // namespace

bool isPublicKey(std::string_view text) {
  return sodium_init() >= 0 && decodedBase64(text, crypto_sign_PUBLICKEYBYTES).has_value();
}

void verify(const std::filesystem::path& archive, std::int64_t expectedLength,
            std::string_view signatureBase64, std::string_view publicKeyBase64) {
  if (sodium_init() < 0) throw UpdateError::signatureInvalid("libsodium cannot start");
  const auto key = decodedBase64(publicKeyBase64, crypto_sign_PUBLICKEYBYTES);
  if (!key) throw UpdateError::signatureInvalid("the public key is not a Base64 Ed25519 key");
  const auto signature = decodedBase64(signatureBase64, crypto_sign_BYTES);
  if (!signature) throw UpdateError::signatureInvalid("the signature is not a Base64 Ed25519 signature");

  const std::string bytes = readFile(archive);
  if (static_cast<std::int64_t>(bytes.size()) != expectedLength) {
    throw UpdateError::lengthMismatch(expectedLength, static_cast<long long>(bytes.size()));
  }
  if (crypto_sign_verify_detached(signature->data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                                  bytes.size(), key->data()) != 0) {
    throw UpdateError::signatureInvalid("the signature does not match the archive");
  }
}

}  // namespace platform::ArchiveSignature
