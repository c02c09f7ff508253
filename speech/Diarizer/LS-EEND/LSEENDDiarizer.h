#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/ml/MLComputeUnits.h"
#include "speech/Diarizer/Diarizer.h"
#include "speech/Diarizer/DiarizerTimelineConfig.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/DownloadProgress.h"
#include "speech/Shared/ModelNames.h"

namespace tesselaudio {

class LSEENDFeatureProvider;
class LSEENDModel;

// The frame-based streaming speaker diarizer on the LS-EEND model. Audio of any rate goes into the
// feature provider; every whole chunk runs through the model, and its per-frame speaker
// probabilities (warm-up frames dropped) enter the timeline as finalized predictions.
//
// Not locked: call one operation at a time. The provider, the model and the timeline guard
// themselves, so numFramesProcessed() and the timeline may be read from another thread while an
// operation runs.
//
//   auto diarizer = std::make_shared<LSEENDDiarizer>(std::make_shared<LSEENDModel>(folder, cpuOnly));
//   while (recording) diarizer->process(samples, 48000.0);   // per buffer
//   diarizer->finalizeSession();
//   for (const auto& [slot, speaker] : diarizer->timeline()->speakers()) ...
class LSEENDDiarizer final : public Diarizer {
 public:
  // One slot of 0.1 s frames with the settings of DiarizerTimelineConfig::default_(); a model
  // replaces the slot count and frame duration.
  static DiarizerTimelineConfig defaultTimelineConfig();

  // No model; the timeline from `timelineConfig` or the default. Not available.
  explicit LSEENDDiarizer(std::optional<DiarizerTimelineConfig> timelineConfig = std::nullopt);
  // With `model` (shared, never run by the diarizer concurrently with itself): the timeline takes
  // the model's speaker count and frame duration and the other fields of `timelineConfig`.
  // Throws the provider's construction error.
  explicit LSEENDDiarizer(std::shared_ptr<const LSEENDModel> model,
                          std::optional<DiarizerTimelineConfig> timelineConfig = std::nullopt);
  // Loads the model of `variant` at `stepSize` from the default models root (downloading it when
  // missing), CPU only, then as above. Throws what LSEENDModel::loadFromHuggingFace throws.
  LSEENDDiarizer(ModelNames::LSEEND::Variant variant, ModelNames::LSEEND::StepSize stepSize,
                 std::optional<DiarizerTimelineConfig> timelineConfig = std::nullopt,
                 std::stop_token stop = {});
  ~LSEENDDiarizer() override;

  LSEENDDiarizer(const LSEENDDiarizer&) = delete;
  LSEENDDiarizer& operator=(const LSEENDDiarizer&) = delete;

  // Sets `model`: a fresh provider (made first; when that throws nothing changes), a new empty
  // timeline (earlier speakers dropped), and every counter back to the start.
  void initialize(std::shared_ptr<const LSEENDModel> model);
  // Loads the model with LSEENDModel::loadFromHuggingFace (passing `progressHandler` to the
  // download), then initialize(model). Throws the loader's error; the diarizer is unchanged then.
  void initialize(ModelNames::LSEEND::Variant variant, ModelNames::LSEEND::StepSize stepSize,
                  const std::optional<std::filesystem::path>& cacheDirectory = std::nullopt,
                  platform::MLComputeUnits computeUnits = platform::MLComputeUnits::cpuOnly,
                  const ProgressHandler& progressHandler = {}, std::stop_token stop = {});

  bool isAvailable() const override { return isAvailable_; }
  // The timeline's finalized frames.
  std::int64_t numFramesProcessed() const override;
  std::optional<std::int64_t> targetSampleRate() const override { return targetSampleRate_; }
  // 1 ÷ the model's frame duration widened to double.
  std::optional<double> modelFrameHz() const override { return modelFrameHz_; }
  std::optional<std::int64_t> numSpeakers() const override { return numSpeakers_; }
  // The current timeline; initialize(model) and setTimeline() replace it.
  std::shared_ptr<DiarizerTimeline> timeline() const override { return timeline_; }
  // REQUIRES: `timeline` is not null and has the slot count of the model's output.
  void setTimeline(std::shared_ptr<DiarizerTimeline> timeline);
  // The configuration of every timeline this diarizer makes.
  const DiarizerTimelineConfig& timelineConfig() const { return timelineConfig_; }

  // Queues samples (converted from `sourceSampleRate` when given) and computes their features.
  // Empty samples do nothing. Throws LSEENDError::notInitialized without a provider, or the
  // converter's error (nothing queued).
  void addAudio(std::span<const float> samples, std::optional<double> sourceSampleRate) override;

  // Runs every whole chunk and hands the probabilities to the timeline; returns its update, or
  // nothing when no chunk was ready. Throws notInitialized, the model's error or
  // CancellationError; the frames that ran are in the timeline then, and a failed chunk's frames
  // count as silence, so later frames keep their place in time.
  std::optional<DiarizerTimelineUpdate> process(std::stop_token stop = {}) override;
  // addAudio() then process().
  std::optional<DiarizerTimelineUpdate> process(std::span<const float> samples,
                                                std::optional<double> sourceSampleRate,
                                                std::stop_token stop = {}) override;

  // Diarizes `samples` as a new session and returns the timeline. `keepingEnrolledSpeakers`
  // absent keeps the speakers only while the timeline has no segments. `finalizeOnCompletion`
  // flushes the end of the audio with silence and finalizes the timeline. `progressCallback`
  // gets (chunks × samples per chunk, ready chunks × samples per chunk, chunks) after each chunk.
  // Throws notInitialized, the converter's or model's error, or CancellationError.
  std::shared_ptr<DiarizerTimeline> processComplete(std::span<const float> samples,
                                                    std::optional<double> sourceSampleRate,
                                                    std::optional<bool> keepingEnrolledSpeakers,
                                                    bool finalizeOnCompletion,
                                                    ProgressCallback progressCallback,
                                                    std::stop_token stop = {}) override;
  // The same for the whole audio of a file; the file reader's errors propagate.
  std::shared_ptr<DiarizerTimeline> processComplete(const std::filesystem::path& audioFileURL,
                                                    std::optional<bool> keepingEnrolledSpeakers,
                                                    bool finalizeOnCompletion,
                                                    ProgressCallback progressCallback,
                                                    std::stop_token stop = {}) override;

  // A fresh session with the same model; the timeline loses its speakers.
  void reset() override;
  // Drops the model and the provider; the timeline keeps its contents.
  void cleanup() override;

  // Runs a clip of one voice through the live model state and names the speaker slot it lands
  // in; a name prefers slots whose speaker has no name. On success the timeline is reset keeping
  // its speakers, and the recurrent state keeps the voice. Returns the speaker, or null with
  // everything as before the call when the clip holds no speech or lands only in named slots
  // while !overwritingAssignedSpeakerName. Throws notInitialized, and the converter's or model's
  // error or CancellationError (without undoing the work done so far).
  std::shared_ptr<DiarizerSpeaker> enrollSpeaker(std::span<const float> withAudio,
                                                 std::optional<double> sourceSampleRate,
                                                 std::optional<std::string> named,
                                                 bool overwritingAssignedSpeakerName,
                                                 std::stop_token stop = {}) override;

  // Flushes the end of the stream with silence, processes it and finalizes the timeline; returns
  // the update of that last step. A second call returns nothing until the next reset,
  // initialize() or processComplete(). Throws notInitialized, and what process() throws.
  std::optional<DiarizerTimelineUpdate> finalizeSession(std::stop_token stop = {}) override;

 private:
  std::optional<DiarizerTimelineUpdate> flush(bool recordFrames, const ProgressCallback& progressCallback,
                                              std::stop_token stop);
  std::optional<DiarizerTimelineUpdate> handOver(const std::vector<float>& predictions);
  std::shared_ptr<DiarizerTimeline> processCompleteWith(const std::function<void()>& enqueue,
                                                        std::optional<bool> keepingEnrolledSpeakers,
                                                        bool finalizeOnCompletion,
                                                        const ProgressCallback& progressCallback,
                                                        std::stop_token stop);
  void adoptModel(std::shared_ptr<const LSEENDModel> model, std::unique_ptr<LSEENDFeatureProvider> session);
  void restartSession();

  const AppLogger logger_;
  std::shared_ptr<const LSEENDModel> model_;
  std::unique_ptr<LSEENDFeatureProvider> session_;
  DiarizerTimelineConfig timelineConfig_;
  std::shared_ptr<DiarizerTimeline> timeline_;
  bool isAvailable_ = false;
  std::optional<std::int64_t> targetSampleRate_;
  std::optional<double> modelFrameHz_;
  std::optional<std::int64_t> numSpeakers_;
  // Output frames sent through the model since the last reset; decides the warm-up frames.
  std::int64_t framesFedToModel_ = 0;
  bool finalized_ = false;
};

}  // namespace tesselaudio
