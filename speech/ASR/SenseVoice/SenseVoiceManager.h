#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#include "speech/ASR/SenseVoice/SenseVoiceConfig.h"
#include "speech/ASR/SenseVoice/SenseVoiceModels.h"
#include "speech/ASR/SenseVoice/SenseVoiceTagScores.h"
#include "speech/ASR/SenseVoice/SenseVoiceTranscription.h"
#include "speech/Shared/Download/DownloadProgress.h"

namespace platform {
class MLModel;
class MLMultiArray;
}  // namespace platform

namespace tesselaudio {

// The SenseVoice recogniser: one pass over an utterance through a preprocessor and a CTC encoder
// that also reports the spoken language, the speaker's emotion and audio events as tags. Audio
// longer than the encoder's longest frame count is cut, with a warning. Safe from any thread;
// calls run one at a time.
//
//   auto recogniser = SenseVoiceManager::load(SenseVoiceEncoderPrecision::int8, {}, stop);
//   SenseVoiceTranscription result = recogniser->transcribeDetailed(samples);   // 16 kHz mono
//   if (auto emotion = result.emotion()) show(emotion->tag);
class SenseVoiceManager {
 public:
  // A recogniser passing `language` and `textNorm` to the encoder unchanged.
  explicit SenseVoiceManager(SenseVoiceModels models, std::int32_t language = SenseVoiceConfig::defaultLanguage,
                             std::int32_t textNorm = SenseVoiceConfig::defaultTextNorm);
  SenseVoiceManager(const SenseVoiceManager&) = delete;
  SenseVoiceManager& operator=(const SenseVoiceManager&) = delete;

  // A recogniser over SenseVoiceModels::downloadAndLoad(precision, ...) with the default language
  // (0) and text normalisation (15). Throws what that throws.
  static std::unique_ptr<SenseVoiceManager> load(SenseVoiceEncoderPrecision precision,
                                                 const ProgressHandler& progressHandler = {},
                                                 std::stop_token stop = {});

  const SenseVoiceModels& models() const { return models_; }
  std::int32_t language() const { return language_; }
  std::int32_t textNorm() const { return textNorm_; }
  const SenseVoiceTagScoring::Candidates& tagCandidates() const { return tagCandidates_; }
  // The frame counts the encoder's "speech" input accepts, ascending: its enumerated or fixed
  // shapes, else SenseVoiceConfig::buckets.
  const std::vector<int>& encoderFrameCounts() const { return encoderFrameCounts_; }

  // The text of transcribeDetailed(audio) for the file at `audioURL`, converted to 16 kHz mono
  // first. Throws the converter's errors unchanged, and what transcribeDetailed throws.
  std::string transcribe(const std::filesystem::path& audioURL);

  // The text of transcribeDetailed(audio).
  std::string transcribe(const std::vector<float>& audio);

  // The transcription of 16 kHz mono samples (nominally −1 … 1).
  // Throws ASRError::processingFailed naming a model output that is missing or too small, and the
  // runtime's error when a prediction fails.
  SenseVoiceTranscription transcribeDetailed(const std::vector<float>& audio);

 private:
  struct Encoded {
    std::shared_ptr<platform::MLMultiArray> logits;
    int validFrames = 0;
  };

  std::shared_ptr<platform::MLMultiArray> runPreprocessor(const std::vector<float>& audio);
  Encoded runEncoder(const std::shared_ptr<platform::MLMultiArray>& features);
  // "speech" [1, frameCount, 560]: the first `frames` feature frames, then zeros.
  std::shared_ptr<platform::MLMultiArray> speechInput(const std::shared_ptr<platform::MLMultiArray>& features,
                                                      int frameCount, int frames);
  std::string decodeRaw(const platform::MLMultiArray& logits, int validFrames) const;
  SenseVoiceTagScores scoreTags(const platform::MLMultiArray& logits) const;
  static std::vector<int> acceptedFrameCounts(const platform::MLModel& encoder);

  // Constant after construction.
  const SenseVoiceModels models_;
  const std::int32_t language_;
  const std::int32_t textNorm_;
  const SenseVoiceTagScoring::Candidates tagCandidates_;
  const std::vector<int> encoderFrameCounts_;
  // Held for the whole of a call.
  std::mutex mutex_;
  // Guarded by `mutex_`: the model inputs' memory, kept between calls so that long audio does not
  // map and clear fresh pages on every call.
  std::vector<float> waveformStorage_;
  std::vector<float> speechStorage_;
};

}  // namespace tesselaudio
