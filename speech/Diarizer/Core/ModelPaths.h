#pragma once

#include <filesystem>

namespace tesselaudio {

// Where the two compiled models of the chunked diarizer lie. A plain value.
struct ModelPaths {
  std::filesystem::path segmentationPath;
  std::filesystem::path embeddingPath;

  bool operator==(const ModelPaths&) const = default;
};

}  // namespace tesselaudio
