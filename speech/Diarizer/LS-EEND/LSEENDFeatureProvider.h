#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "speech/Diarizer/LS-EEND/LSEENDMetadata.h"
#include "speech/Diarizer/LS-EEND/LSEENDState.h"
#include "speech/Diarizer/LS-EEND/StreamingChunkQueue.h"
#include "speech/Shared/AudioConverter.h"

namespace tesselaudio {

class AudioMelSpectrogram;
class LSEENDInput;

// Turns a stream of audio into LS-EEND model inputs: audio of any rate is converted to the model's
// rate and queued; whole audio chunks become log10-mel frames normalised by their running mean;
// whole feature chunks, with their context, go into the one LSEENDInput together with the decoder
// mask and warm-up count. The end of a stream is padded with silence so that the last audio leaves
// the model, and the whole streaming state (queues, mean, mask position, recurrent state) can be
// snapshotted and rolled back. Safe from any thread: every operation holds the provider's lock.
//
//   LSEENDFeatureProvider provider(model->metadata());
//   provider.enqueueAudio(samples, 48000.0);
//   while (LSEENDInput* input = provider.emitNextChunk()) consume(model->predict(*input));
//   provider.drainRightContextWithSilence(true);
//   while (LSEENDInput* input = provider.emitNextChunk()) consume(model->predict(*input));
class LSEENDFeatureProvider {
 public:
  // The whole streaming state, the recurrent arrays as an independent copy.
  struct Snapshot {
    LSEENDState state;
    StreamingChunkQueue melQueue;
    StreamingChunkQueue audioQueue;
    std::vector<float> cmnMean;
    std::int64_t cmnCount = 0;
    std::int64_t decoderMaskEnd = 0;
  };

  // A fresh provider, or one that continues from `restoringFrom` (whose recurrent arrays it adopts).
  // Throws LSEENDError::initializationFailed when the metadata gives no provider (checkLimits), or
  // the allocator's error.
  explicit LSEENDFeatureProvider(const LSEENDMetadata& from, std::optional<Snapshot> restoringFrom = std::nullopt);
  ~LSEENDFeatureProvider();
  LSEENDFeatureProvider(const LSEENDFeatureProvider&) = delete;
  LSEENDFeatureProvider& operator=(const LSEENDFeatureProvider&) = delete;

  // Whole feature chunks ready to emit (audio not yet turned into features is not counted).
  std::int64_t readyChunks() const;

  // Queues `samples`: as they are without a rate (they must be at the model's rate), else
  // converted from `withSampleRate`. With `eagerPreprocessing` the queued audio is turned into
  // features at once. Throws the converter's error (AudioConverterError::failedToCreateSourceFormat
  // for a rate that is not positive and finite); the queues are then unchanged.
  void enqueueAudio(std::span<const float> samples, std::optional<double> withSampleRate = std::nullopt,
                    bool eagerPreprocessing = false);

  // Reads and converts the whole file (without holding the lock), queues it, turns it into
  // features and returns the number of samples queued. Throws the file's or the converter's error;
  // the queues are then unchanged.
  std::int64_t enqueueAudioFile(const std::filesystem::path& at);

  // Appends the silence that carries the last audio through the model, then pads the audio to a
  // chunk boundary; with `flush` the audio is turned into features at once.
  void drainRightContextWithSilence(bool flush);

  // Turns ready audio into features, then loads the next feature chunk with its mask and warm-up
  // count into the provider's input and returns it; null when no chunk is ready. The input belongs
  // to the provider: run the model on it before the next emitNextChunk, rollback or reset.
  LSEENDInput* emitNextChunk();

  // The current streaming state with a deep copy of the recurrent arrays. Throws the allocator's
  // error.
  Snapshot takeSnapshot() const;

  // Restores queues, mean and mask position from `to`, and with `keepingState` false also adopts
  // its recurrent arrays (the current ones are dropped); with true the current recurrent values
  // stay.
  // REQUIRES: `to` was taken from a provider of the same metadata.
  void rollback(Snapshot to, bool keepingState);

  // Back to the fresh state; the recurrent arrays are zeroed in place.
  void reset();

 private:
  void processAudioQueue();
  void normalise(std::span<float> frames);

  // Constant after construction.
  const std::int64_t nMels_;
  const std::int64_t chunkFrames_;
  const std::int64_t flushSampleCount_;
  const std::vector<float> decoderMask_;  // convDelay zeros, then chunkSize ones
  const float log10Scale_ = 0.43429446f;
  AudioConverter converter_;

  mutable std::mutex lock_;
  std::unique_ptr<AudioMelSpectrogram> melSpectrogram_;  // guarded by lock_
  std::unique_ptr<LSEENDInput> input_;                   // guarded by lock_
  StreamingChunkQueue melQueue_;                         // guarded by lock_
  StreamingChunkQueue audioQueue_;                       // guarded by lock_
  std::vector<float> cmnMean_;                           // guarded by lock_
  std::int64_t cmnCount_ = 0;                            // guarded by lock_
  std::int64_t decoderMaskEnd_ = 0;                      // guarded by lock_
};

}  // namespace tesselaudio
