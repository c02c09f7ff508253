#include "speech/Diarizer/Sortformer/SortformerError.h"

#include <gtest/gtest.h>

namespace tesselaudio {
namespace {

TEST(SortformerErrorTest, DescriptionsJoinPrefixAndPayloadDirectly) {
  struct Case {
    const char* name;
    SortformerError error;
    SortformerError::Code code;
    const char* description;
  };
  const Case cases[] = {
      {"modelLoadFailed", SortformerError::modelLoadFailed("x"),
       SortformerError::Code::modelLoadFailed, "Failed to load Sortformer model: x"},
      {"preprocessorFailed", SortformerError::preprocessorFailed("x"),
       SortformerError::Code::preprocessorFailed, "Preprocessor failed: x"},
      {"inferenceFailed", SortformerError::inferenceFailed("x"),
       SortformerError::Code::inferenceFailed, "Inference failed: x"},
      {"invalidState", SortformerError::invalidState("x"), SortformerError::Code::invalidState,
       "Invalid state: x"},
      {"configurationError", SortformerError::configurationError("x"),
       SortformerError::Code::configurationError, "Configuration error: x"},
      {"insufficientChunkLength", SortformerError::insufficientChunkLength("x"),
       SortformerError::Code::insufficientChunkLength, "Insufficient chunk length: x"},
      {"insufficientPredsLength", SortformerError::insufficientPredsLength("Not enough"),
       SortformerError::Code::insufficientPredsLength, "Insufficient preds length: Not enough"},
      {"notInitialized", SortformerError::notInitialized(), SortformerError::Code::notInitialized,
       "Sortformer diarizer not initialized. Call initialize() first."},
      {"invalidAudioData", SortformerError::invalidAudioData(),
       SortformerError::Code::invalidAudioData, "Invalid audio data provided."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.error.description(), c.description);
    EXPECT_STREQ(c.error.what(), c.description);
    EXPECT_EQ(c.error.errorCode(), c.code);
    EXPECT_EQ(c.error.typeName(), "SortformerError");
  }
}

}  // namespace
}  // namespace tesselaudio
