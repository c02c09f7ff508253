#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tesselaudio {

// One file of a repository listing: its path from the repository root, its size in bytes (-1 when
// the listing gives none) and the hash that identifies its content, when given. A value type.
struct RemoteFile {
  // The content hash, tagged by kind: the SHA-256 of an lfs file, or the git blob id (SHA-1).
  struct ContentID {
    enum class Kind { lfsSHA256, gitBlobSHA1 };
    Kind kind = Kind::gitBlobSHA1;
    std::string text;

    static ContentID lfsSHA256(std::string text) { return {Kind::lfsSHA256, std::move(text)}; }
    static ContentID gitBlobSHA1(std::string text) { return {Kind::gitBlobSHA1, std::move(text)}; }
    bool operator==(const ContentID&) const = default;
  };

  std::string path;
  std::int64_t size = -1;
  std::optional<ContentID> contentID;

  bool operator==(const RemoteFile&) const = default;
};

}  // namespace tesselaudio
