#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace platform::ArchiveSignature {

// Whether `text` is standard Base64 of exactly 32 bytes (an Ed25519 public key).
bool isPublicKey(std::string_view text);

// Checks that the file at `archive` is exactly `expectedLength` bytes long and that
// `signatureBase64` (standard Base64, 64 bytes) is an Ed25519 signature of its bytes under
// `publicKeyBase64` (standard Base64, 32 bytes).
// Throws UpdateError::lengthMismatch, UpdateError::signatureInvalid (also for text that is not
// Base64 or of the wrong size), or FileError when the file cannot be read.
void verify(const std::filesystem::path& archive, std::int64_t expectedLength,
            std::string_view signatureBase64, std::string_view publicKeyBase64);

}  // namespace platform::ArchiveSignature
