#include "platform/crypto/HashFunction.h"

#include <utility>

#include <openssl/evp.h>

#include "platform/crypto/CryptoError.h"

namespace platform {
namespace {

struct ContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Context = std::unique_ptr<EVP_MD_CTX, ContextDeleter>;

const EVP_MD* digestOf(HashFunction::Algorithm algorithm) {
  return algorithm == HashFunction::Algorithm::sha256 ? EVP_sha256() : EVP_sha1();
}

Context newContext() {
  Context context(EVP_MD_CTX_new());
  if (!context) throw CryptoError::fromLibrary("EVP_MD_CTX_new");
  return context;
}

Context copyOf(const EVP_MD_CTX* source) {
  Context context = newContext();
  if (EVP_MD_CTX_copy_ex(context.get(), source) != 1) throw CryptoError::fromLibrary("EVP_MD_CTX_copy_ex");
  return context;
}

}  // namespace

struct HashFunction::Impl {
  Context context;
};

HashFunction::HashFunction(Algorithm algorithm) : algorithm_(algorithm), impl_(std::make_unique<Impl>()) {
  impl_->context = newContext();
  if (EVP_DigestInit_ex(impl_->context.get(), digestOf(algorithm), nullptr) != 1) {
    throw CryptoError::fromLibrary("EVP_DigestInit_ex");
  }
}

HashFunction::HashFunction(const HashFunction& other)
    : algorithm_(other.algorithm_), impl_(std::make_unique<Impl>(Impl{copyOf(other.impl_->context.get())})) {}

HashFunction& HashFunction::operator=(const HashFunction& other) {
  if (this != &other) {
    auto copy = std::make_unique<Impl>(Impl{copyOf(other.impl_->context.get())});
    algorithm_ = other.algorithm_;
    impl_ = std::move(copy);
  }
  return *this;
}

HashFunction::HashFunction(HashFunction&& other) noexcept = default;
HashFunction& HashFunction::operator=(HashFunction&& other) noexcept = default;
HashFunction::~HashFunction() = default;

size_t HashFunction::digestSize() const { return static_cast<size_t>(EVP_MD_get_size(digestOf(algorithm_))); }

void HashFunction::update(const void* data, size_t size) {
  if (size == 0) return;
  if (EVP_DigestUpdate(impl_->context.get(), data, size) != 1) throw CryptoError::fromLibrary("EVP_DigestUpdate");
}

std::vector<uint8_t> HashFunction::finalize() const {
  // Finishing consumes a context, so finish a copy and keep this state usable.
  Context finished = copyOf(impl_->context.get());
  std::vector<uint8_t> digest(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(finished.get(), digest.data(), &length) != 1) {
    throw CryptoError::fromLibrary("EVP_DigestFinal_ex");
  }
  digest.resize(length);
  return digest;
}

}  // namespace platform
