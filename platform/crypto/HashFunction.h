#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace platform {

// An incremental SHA-256 or SHA-1 digest. A value: a copy continues from the same state on its own,
// so that a state fed with a common prefix can be copied for each input. One object is not locked;
// copies may be used on different threads.
//
//   HashFunction blob = HashFunction::sha1();
//   blob.update(header);                 // "blob <size>\0"
//   HashFunction forFile = blob;         // the prefix stays in `blob`
//   forFile.update(content);
//   std::vector<uint8_t> id = forFile.finalize();
class HashFunction {
 public:
  enum class Algorithm { sha256, sha1 };

  // A fresh state. Throws CryptoError when the library cannot set it up.
  explicit HashFunction(Algorithm algorithm);
  static HashFunction sha256() { return HashFunction(Algorithm::sha256); }
  static HashFunction sha1() { return HashFunction(Algorithm::sha1); }

  // Copies duplicate the state. Throws CryptoError when the library cannot copy it.
  HashFunction(const HashFunction& other);
  HashFunction& operator=(const HashFunction& other);
  HashFunction(HashFunction&& other) noexcept;
  HashFunction& operator=(HashFunction&& other) noexcept;
  ~HashFunction();

  Algorithm algorithm() const { return algorithm_; }
  // 32 for SHA-256, 20 for SHA-1.
  size_t digestSize() const;

  // Feeds bytes. Throws CryptoError on a library failure.
  // REQUIRES: the object was not moved from.
  void update(const void* data, size_t size);
  void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }

  // The digest of everything fed so far. The state stays as it was and may be fed further.
  // Throws CryptoError on a library failure.
  std::vector<uint8_t> finalize() const;

 private:
  struct Impl;
  Algorithm algorithm_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
