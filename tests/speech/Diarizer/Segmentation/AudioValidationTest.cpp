#include "speech/Diarizer/Segmentation/AudioValidation.h"

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tesselaudio {
namespace {

using Issues = std::vector<std::string>;

TEST(AudioValidationTest, ValidateAudioReportsIssuesInOrder) {
  struct Case {
    const char* name;
    std::size_t samples;
    float amplitude;
    float durationSeconds;
    Issues issues;
  };
  const Case cases[] = {
      {"no samples", 0, 0.5f, 0.0f,
       {"Audio too short (minimum 1 second)", "No audio data", "Audio too quiet or silent"}},
      {"one sample short of a second", 15999, 0.5f, 0.9999375f,
       {"Audio too short (minimum 1 second)"}},
      {"a second of quiet audio", 16000, 0.005f, 1.0f, {"Audio too quiet or silent"}},
      {"short and quiet", 8000, 0.005f, 0.5f,
       {"Audio too short (minimum 1 second)", "Audio too quiet or silent"}},
      {"a second just loud enough", 16000, 0.011f, 1.0f, {}},
      {"ten seconds of speech level", 160000, 0.2f, 10.0f, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Alternating signs: the level is the amplitude, whatever the mean.
    std::vector<float> audio(c.samples);
    for (std::size_t i = 0; i < audio.size(); ++i) audio[i] = i % 2 ? -c.amplitude : c.amplitude;
    const AudioValidationResult result = AudioValidation::validateAudio(audio);
    EXPECT_FLOAT_EQ(result.durationSeconds, c.durationSeconds);
    EXPECT_EQ(result.issues, c.issues);
    EXPECT_EQ(result.isValid, c.issues.empty());
  }
}

TEST(AudioValidationTest, ValidateEmbeddingNeedsFiniteValuesAndSomeLength) {
  struct Case {
    const char* name;
    std::vector<float> embedding;
    bool valid;
  };
  const Case cases[] = {
      {"empty", {}, false},
      {"NaN", {0.5f, std::numeric_limits<float>::quiet_NaN()}, false},
      {"infinite", {std::numeric_limits<float>::infinity()}, false},
      {"norm exactly 0.1", {0.1f}, false},
      {"zero placeholder", std::vector<float>(256, 0.0f), false},
      {"norm 0.2", {0.2f}, true},
      {"norm 0.113 from two values", {0.08f, 0.08f}, true},
      {"unit length", {0.6f, -0.8f}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(AudioValidation::validateEmbedding(c.embedding), c.valid);
  }
}

}  // namespace
}  // namespace tesselaudio
