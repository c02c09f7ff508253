#pragma once

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/sys/SystemLog.h"
#include "speech/Diarizer/Clustering/SpeakerManager.h"
#include "tests/support/SystemLogCapture.h"

namespace tesselaudio {

// A manager with the thresholds 0.84 and 0.56 (as cosine distances compute them), 1 s of speech
// for a new speaker, and the log of the test.
class SpeakerManagerFixture : public ::testing::Test {
 protected:
  using Embedding = std::vector<float>;

  // Distances as cosineDistance computes them for a unit vector whose first value is `x`.
  static float distanceOf(float x) { return 1.0f - x; }

  // A 256-value embedding of unit length (within the distance's tolerance) whose cosine distance
  // to axis() is exactly distanceOf(x) when stored unnormalised.
  static Embedding direction(float x, int plane = 1) {
    Embedding e(SpeakerManager::embeddingSize, 0.0f);
    e[0] = x;
    e[static_cast<std::size_t>(plane)] = std::sqrt(1 - x * x);
    return e;
  }
  static Embedding axis() { return direction(1.0f); }

  // A stored speaker with `embedding` as its main embedding, exactly as given.
  static Speaker known(const std::string& id, const Embedding& embedding, bool permanent = false) {
    Speaker speaker(id, "Known " + id, Embedding{1});
    speaker.currentEmbedding = embedding;
    speaker.isPermanent = permanent;
    speaker.createdAt = 100;
    speaker.updatedAt = 100;
    return speaker;
  }

  // Stores `speaker` exactly as it is (loading does not normalise), in place of any of its id.
  void store(SpeakerManager& manager, const Speaker& speaker) {
    manager.initializeKnownSpeakers({speaker}, SpeakerInitializationMode::overwrite, false);
  }
  void store(const Speaker& speaker) { store(manager_, speaker); }

  // The manager's messages of one system-log level. The system log has no warning type: warnings
  // arrive there as errors (standard error tells them apart as WARN).
  std::vector<std::string> messages(platform::SystemLog::Level level) const {
    std::vector<std::string> result;
    for (const auto& record : log_.records()) {
      if (record.category == "SpeakerManager" && record.level == level) result.push_back(record.message);
    }
    return result;
  }

  const float kSpeakerThreshold = distanceOf(0.16f);    // 0.84
  const float kEmbeddingThreshold = distanceOf(0.44f);  // 0.56
  testsupport::SystemLogCapture log_;
  SpeakerManager manager_{kSpeakerThreshold, kEmbeddingThreshold, 1.0f, 2.0f};
};

}  // namespace tesselaudio
