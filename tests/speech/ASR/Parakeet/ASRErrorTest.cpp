#include "speech/ASR/Parakeet/ASRError.h"

#include <stdexcept>

#include <gtest/gtest.h>

namespace tesselaudio {
namespace {

TEST(ASRErrorTest, DescriptionsAndCodes) {
  const auto underlying = std::make_exception_ptr(std::runtime_error("The file is locked."));
  struct Case {
    ASRError error;
    ASRError::Case errorCase;
    const char* description;
  };
  const Case cases[] = {
      {ASRError::processingFailed("decoder broke"), ASRError::Case::processingFailed,
       "ASR processing failed: decoder broke"},
      {ASRError::unsupportedPlatform("Needs a newer system"), ASRError::Case::unsupportedPlatform,
       "Needs a newer system"},
      {ASRError::streamingConversionFailed(underlying), ASRError::Case::streamingConversionFailed,
       "Streaming audio conversion failed: The file is locked."},
      {ASRError::fileAccessFailed("/tmp/a b/talk.wav", underlying),
       ASRError::Case::fileAccessFailed,
       "Failed to access audio file at /tmp/a b/talk.wav: The file is locked."},
      {ASRError::encoderInstantiationFailed("no program"),
       ASRError::Case::encoderInstantiationFailed,
       "Encoder ANE program failed to instantiate: no program"},
      {ASRError::notInitialized(), ASRError::Case::notInitialized,
       "AsrManager not initialized. Call initialize() first."},
      {ASRError::invalidAudioData(), ASRError::Case::invalidAudioData,
       "Invalid audio data provided. Must be at least 300ms of 16kHz audio."},
      {ASRError::modelLoadFailed(), ASRError::Case::modelLoadFailed,
       "Failed to load Parakeet CoreML models."},
      {ASRError::modelCompilationFailed(), ASRError::Case::modelCompilationFailed,
       "CoreML model compilation failed after recovery attempts."},
  };
  int position = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description);
    EXPECT_EQ(c.error.description(), c.description);
    EXPECT_STREQ(c.error.what(), c.description);
    EXPECT_EQ(c.error.errorCase(), c.errorCase);
    EXPECT_EQ(c.error.code(), position++);
    EXPECT_EQ(c.error.typeName(), "ASRError");
    EXPECT_EQ(c.error.domain(), "TesselAudio.ASRError");
  }
}

TEST(ASRErrorTest, KeepsTheFileAndTheUnderlyingError) {
  const auto error = ASRError::fileAccessFailed(
      "/data/rec.m4a", std::make_exception_ptr(ASRError::modelLoadFailed()));
  EXPECT_EQ(error.filePath(), std::filesystem::path("/data/rec.m4a"));
  ASSERT_NE(error.underlying(), nullptr);
  EXPECT_EQ(error.underlying()->code(), static_cast<int>(ASRError::Case::modelLoadFailed));
  EXPECT_EQ(ASRError::processingFailed("m").message(), "m");
}

}  // namespace
}  // namespace tesselaudio
