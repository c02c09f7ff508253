#include "speech/Diarizer/Core/DiarizerError.h"

#include <gtest/gtest.h>

namespace tesselaudio {
namespace {

TEST(DiarizerErrorTest, DescriptionsAndCodes) {
  struct Case {
    const char* name;
    DiarizerError error;
    DiarizerError::Code code;
    const char* description;
  };
  const Case cases[] = {
      {"processingFailed",
       DiarizerError::processingFailed("Missing segments output from segmentation model"),
       DiarizerError::Code::processingFailed,
       "Processing failed: Missing segments output from segmentation model"},
      {"notInitialized", DiarizerError::notInitialized(), DiarizerError::Code::notInitialized,
       "Diarization system not initialized. Call initialize() first."},
      {"modelDownloadFailed", DiarizerError::modelDownloadFailed(),
       DiarizerError::Code::modelDownloadFailed, "Failed to download required models."},
      {"modelCompilationFailed", DiarizerError::modelCompilationFailed(),
       DiarizerError::Code::modelCompilationFailed, "Failed to compile CoreML models."},
      {"embeddingExtractionFailed", DiarizerError::embeddingExtractionFailed(),
       DiarizerError::Code::embeddingExtractionFailed,
       "Failed to extract speaker embedding from audio."},
      {"invalidAudioData", DiarizerError::invalidAudioData(),
       DiarizerError::Code::invalidAudioData, "Invalid audio data provided."},
      {"memoryAllocationFailed", DiarizerError::memoryAllocationFailed(),
       DiarizerError::Code::memoryAllocationFailed, "Failed to allocate ANE-aligned memory."},
      {"invalidArrayBounds", DiarizerError::invalidArrayBounds(),
       DiarizerError::Code::invalidArrayBounds, "Array bounds exceeded for zero-copy view."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.error.description(), c.description);
    EXPECT_STREQ(c.error.what(), c.description);
    EXPECT_EQ(c.error.errorCode(), c.code);
    EXPECT_EQ(c.error.typeName(), "DiarizerError");
    EXPECT_EQ(c.error.domain(), "TesselAudio.DiarizerError");
  }
}

}  // namespace
}  // namespace tesselaudio
