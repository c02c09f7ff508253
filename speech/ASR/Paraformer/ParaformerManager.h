#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#include "speech/ASR/Paraformer/ParaformerConfig.h"
#include "speech/ASR/Paraformer/ParaformerModels.h"
#include "speech/ASR/Paraformer/TimestampedSegment.h"
#include "speech/Shared/Download/DownloadProgress.h"

namespace platform {
class MLMultiArray;
}

namespace tesselaudio {

// The Paraformer recogniser of Chinese speech: one pass over an utterance of up to 512 feature
// frames (longer audio is cut, with a warning) through preprocessor, encoder, integrate-and-fire
// weights and a decoder that predicts every token at once. Safe from any thread; calls run one at
// a time.
//
//   auto recogniser = ParaformerManager::load(ParaformerPrecision::fp16, {}, stop);
//   std::string text = recogniser->transcribe(samples);               // 16 kHz mono
//   auto words = recogniser->transcribeWithTimestamps(samples);
class ParaformerManager {
 public:
  explicit ParaformerManager(ParaformerModels models);
  ParaformerManager(const ParaformerManager&) = delete;
  ParaformerManager& operator=(const ParaformerManager&) = delete;

  // A recogniser over ParaformerModels::downloadAndLoad(precision, ...). Throws what that throws.
  static std::unique_ptr<ParaformerManager> load(ParaformerPrecision precision,
                                                 const ProgressHandler& progressHandler = {},
                                                 std::stop_token stop = {});

  const ParaformerModels& models() const { return models_; }

  // The text of 16 kHz mono samples (nominally −1 … 1): the decoded pieces joined, "▁" made a
  // space, blanks trimmed; "" when no token fires (the decoder then does not run).
  // Throws ASRError::processingFailed naming a model output that is missing or too small, and the
  // runtime's error when a prediction fails.
  std::string transcribe(const std::vector<float>& audio);

  // The same for a file, converted to 16 kHz mono first. Throws the converter's errors unchanged.
  std::string transcribe(const std::filesystem::path& audioURL);

  // One segment per word (pieces ending in "@@" joined with the next) or piece, timed by the
  // integrate-and-fire positions and refined against the audio's energy; empty when no token
  // fires. Throws as transcribe().
  std::vector<TimestampedSegment> transcribeWithTimestamps(const std::vector<float>& audio);
  std::vector<TimestampedSegment> transcribeWithTimestamps(const std::filesystem::path& audioURL);

 private:
  // What the decoder made of the audio; no logits when no token fired.
  struct Decoded {
    std::shared_ptr<platform::MLMultiArray> logits;
    int tokenCount = 0;
    std::vector<float> alphas;
  };

  Decoded recognise(const std::vector<float>& audio) const;
  std::shared_ptr<platform::MLMultiArray> runPreprocessor(const std::vector<float>& audio) const;
  std::shared_ptr<platform::MLMultiArray> runEncoder(const std::vector<float>& features, int validLen,
                                                     int bucket) const;
  std::vector<float> runCifAlphas(const std::shared_ptr<platform::MLMultiArray>& encOut, int validLen) const;
  std::shared_ptr<platform::MLMultiArray> runDecoder(const std::vector<std::vector<float>>& encRows, int validLen,
                                                     const std::vector<std::vector<float>>& embeds,
                                                     int tokenCount) const;
  std::string decode(const platform::MLMultiArray& logits, int tokenCount) const;

  // Constant after construction.
  const ParaformerModels models_;
  // Held for the whole of a call.
  std::mutex mutex_;
};

}  // namespace tesselaudio
