#include "speech/VAD/Fsmn/FsmnVadManager.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLFeatureValue.h"
#include "platform/ml/MLMultiArray.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/Shared/AudioConverter.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;

// The 16-bit integer range the preprocessor expects its waveform in.
constexpr float kWaveformScale = 32768.0f;
// Frames a later chunk repeats from the end of the one before, and drops.
constexpr std::size_t kOverlapFrames = 2;

// The voting rule.
constexpr float kSpeechThreshold = 0.2f;
constexpr int kWindowFrames = 20;
constexpr int kVoicedAfterUnvoiced = 15;
constexpr int kVoicedAfterVoiced = 16;
constexpr int kPreRollFrames = 35;
constexpr int kQuietFramesToClose = 80;
constexpr int kTrailFrames = 70;
constexpr int kMaxSegmentFrames = 6000;
constexpr int kMsPerFrame = 10;

std::shared_ptr<MLMultiArray> outputArray(const platform::MLFeatureProvider& outputs, const std::string& name) {
  const auto value = outputs.featureValue(name);
  return value ? value->multiArrayValue() : nullptr;
}

std::shared_ptr<MLMultiArray> waveformArray(const float* samples, std::size_t count) {
  auto waveform = std::make_shared<MLMultiArray>(std::vector<int64_t>{1, static_cast<int64_t>(count)},
                                                 MLMultiArrayDataType::float32);
  auto* scaled = static_cast<float*>(waveform->dataPointer());
  for (std::size_t i = 0; i < count; ++i) scaled[i] = samples[i] * kWaveformScale;
  return waveform;
}

constexpr std::size_t kLargestScorerFrames =
    FsmnVadManager::kScorerFrames[std::size(FsmnVadManager::kScorerFrames) - 1];

// The first scorer input size that holds `frames`, else the largest.
std::size_t scorerFrames(std::size_t frames) {
  for (std::size_t size : FsmnVadManager::kScorerFrames) {
    if (size >= frames) return size;
  }
  return kLargestScorerFrames;
}

// The frame count D of the preprocessor's output, checked to fit the scorer.
std::size_t featureFrames(const MLMultiArray& features) {
  const auto& shape = features.shape();
  if (shape.size() < 2) {
    throw ASRError::processingFailed(
        fmt::format("FSMN-VAD preprocessor produced `features` of shape [{}]", fmt::join(shape, ", ")));
  }
  const auto frames = static_cast<std::size_t>(shape[1]);
  if (frames > kLargestScorerFrames) {
    throw ASRError::processingFailed(
        fmt::format("FSMN-VAD preprocessor produced {} frames; at most {} fit", frames, kLargestScorerFrames));
  }
  const auto needed = static_cast<int64_t>(frames * FsmnVadManager::kFeatureWidth);
  if (features.count() < needed) {
    throw ASRError::processingFailed(
        fmt::format("FSMN-VAD preprocessor produced `features` of shape [{}]; {} frames need {} values",
                    fmt::join(shape, ", "), frames, needed));
  }
  return frames;
}

// [1, B, 400]: the first `frames` × 400 feature values in order, then zeros.
std::shared_ptr<MLMultiArray> scorerInput(const MLMultiArray& features, std::size_t frames) {
  const auto size = static_cast<int64_t>(scorerFrames(frames));
  const auto width = static_cast<int64_t>(FsmnVadManager::kFeatureWidth);
  auto feats = std::make_shared<MLMultiArray>(std::vector<int64_t>{1, size, width}, MLMultiArrayDataType::float32);
  auto* out = static_cast<float*>(feats->dataPointer());
  const auto values = static_cast<int64_t>(frames) * width;
  if (features.dataType() == MLMultiArrayDataType::float32 && features.isContiguous()) {
    std::memcpy(out, features.dataPointer(), static_cast<std::size_t>(values) * sizeof(float));
  } else {
    for (int64_t i = 0; i < values; ++i) out[i] = features[i].floatValue();
  }
  return feats;
}

// Element [0, t, 0] of the scores for each of `frames` frames.
std::vector<float> silenceColumn(const MLMultiArray& scores, std::size_t frames) {
  const auto& shape = scores.shape();
  if (shape.size() != 3 || shape[0] < 1 || shape[1] < static_cast<int64_t>(frames) || shape[2] < 1) {
    throw ASRError::processingFailed(fmt::format("FSMN-VAD scorer produced `scores` of shape [{}] for {} frames",
                                                 fmt::join(shape, ", "), frames));
  }
  std::vector<float> silence(frames);
  if (scores.dataType() == MLMultiArrayDataType::float32 && scores.isContiguous()) {
    const auto* values = static_cast<const float*>(scores.dataPointer());
    const auto classes = static_cast<std::size_t>(shape[2]);
    for (std::size_t t = 0; t < frames; ++t) silence[t] = values[t * classes];
  } else {
    for (std::size_t t = 0; t < frames; ++t) silence[t] = scores[{0, static_cast<int64_t>(t), 0}].floatValue();
  }
  return silence;
}

// The speech frames among the last 20, moved on one frame at a time. Frames before the first count
// as non-speech; the frame leaving the window is read back from the probabilities themselves, so
// the window needs no storage of its own.
class VotingWindow {
 public:
  explicit VotingWindow(const std::vector<float>& silence) : silence_(silence.data()) {}

  // Takes in frame `i` (the frame after the last one taken) and returns the new count.
  int push(int i) {
    count_ += isSpeech(i) - (i >= kWindowFrames ? isSpeech(i - kWindowFrames) : 0);
    return count_;
  }

  int count() const { return count_; }

  // True when the `frames` frames from `i` are all speech (`speech`) or all not, so that a window
  // already full of the same kind would not change over them. A branch-free count, which the
  // compiler turns into vector code.
  bool uniformAhead(int i, int frames, bool speech) const {
    int found = 0;
    for (int k = i; k < i + frames; ++k) found += isSpeech(k);
    return found == (speech ? frames : 0);
  }

 private:
  int isSpeech(int i) const { return silence_[i] <= kSpeechThreshold ? 1 : 0; }

  const float* silence_;
  int count_ = 0;
};

// Speech and pauses come in runs: a stretch of this many frames that is all speech inside a
// segment, or all pause outside one, is passed over at once.
constexpr int kStretchFrames = 64;

// The first frame from `i` on where 15 speech frames are in the window (outside a segment the frame
// before is never voiced), or `frames`.
int openingFrame(VotingWindow& window, int i, int frames) {
  while (i < frames) {
    if (window.count() == 0 && i + kStretchFrames <= frames && window.uniformAhead(i, kStretchFrames, false)) {
      i += kStretchFrames;
      continue;
    }
    for (const int end = std::min(i + kStretchFrames, frames); i < end; ++i) {
      if (window.push(i) >= kVoicedAfterUnvoiced) return i;
    }
  }
  return frames;
}

// How a segment opened at `opening` ends: the frame that closes it (`frames` when none does) and
// whether 80 quiet frames did.
struct Closing {
  int frame;
  bool quiet;
};

Closing closingFrame(VotingWindow& window, int opening, int start, int frames) {
  int quiet = 0;
  bool previousVoiced = true;
  int i = opening + 1;
  while (i < frames) {
    if (window.count() == kWindowFrames && i + kStretchFrames <= frames &&
        i + kStretchFrames - 1 - start < kMaxSegmentFrames && window.uniformAhead(i, kStretchFrames, true)) {
      i += kStretchFrames;
      quiet = 0;
      previousVoiced = true;
      continue;
    }
    for (const int end = std::min(i + kStretchFrames, frames); i < end; ++i) {
      const bool voiced = window.push(i) >= (previousVoiced ? kVoicedAfterVoiced : kVoicedAfterUnvoiced);
      quiet = voiced ? 0 : quiet + 1;
      previousVoiced = voiced;
      if (quiet >= kQuietFramesToClose) return {i, true};
      if (i - start >= kMaxSegmentFrames) return {i, false};
    }
  }
  return {frames, false};
}

}  // namespace

FsmnVadManager::FsmnVadManager(FsmnVadModels models) : models_(std::move(models)) {}

std::unique_ptr<FsmnVadManager> FsmnVadManager::load(const ProgressHandler& progressHandler, std::stop_token stop) {
  return std::make_unique<FsmnVadManager>(FsmnVadModels::downloadAndLoad(progressHandler, std::move(stop)));
}

std::vector<FsmnVadSegment> FsmnVadManager::detect(const std::filesystem::path& audioURL) const {
  return detect(AudioConverter().resampleAudioFile(audioURL));
}

std::vector<FsmnVadSegment> FsmnVadManager::detect(const std::vector<float>& audio) const {
  return decide(silenceProbabilities(audio));
}

std::vector<float> FsmnVadManager::silenceProbabilities(const std::vector<float>& audio) const {
  std::scoped_lock lock(mutex_);
  std::vector<float> result;
  std::size_t start = 0;
  while (start < audio.size()) {
    const std::size_t end = std::min(start + kChunkSamples, audio.size());
    const auto chunk = chunkSilence(audio.data() + start, end - start);
    const std::size_t skip = start == 0 ? 0 : kOverlapFrames;
    if (chunk.size() <= skip) break;
    result.insert(result.end(), chunk.begin() + static_cast<std::ptrdiff_t>(skip), chunk.end());
    if (start + kChunkSamples >= audio.size()) break;
    // A preprocessor giving fewer frames than its samples hold would move the next chunk back to
    // or before this one (below sample 0 for a single frame): end there instead.
    if (result.size() <= kOverlapFrames) break;
    const std::size_t next = (result.size() - kOverlapFrames) * kFrameSamples;
    if (next <= start) break;
    start = next;
  }
  return result;
}

std::vector<float> FsmnVadManager::chunkSilence(const float* samples, std::size_t count) const {
  const auto preprocessed = models_.preprocessor->prediction(platform::MLDictionaryFeatureProvider(
      std::map<std::string, std::shared_ptr<MLMultiArray>>{{"waveform", waveformArray(samples, count)}}));
  const auto features = outputArray(*preprocessed, "features");
  if (!features) throw ASRError::processingFailed("FSMN-VAD preprocessor produced no `features`");
  const std::size_t frames = featureFrames(*features);
  if (frames == 0) return {};

  const auto scored = models_.scorer->prediction(platform::MLDictionaryFeatureProvider(
      std::map<std::string, std::shared_ptr<MLMultiArray>>{{"feats", scorerInput(*features, frames)}}));
  const auto scores = outputArray(*scored, "scores");
  if (!scores) throw ASRError::processingFailed("FSMN-VAD scorer produced no `scores`");
  return silenceColumn(*scores, frames);
}

std::vector<FsmnVadSegment> FsmnVadManager::decide(const std::vector<float>& silence) {
  std::vector<FsmnVadSegment> segments;
  VotingWindow window(silence);
  const int frames = static_cast<int>(silence.size());
  for (int i = 0; (i = openingFrame(window, i, frames)) < frames;) {
    const int start = std::max(i - kPreRollFrames, 0);
    const Closing closing = closingFrame(window, i, start, frames);
    const int end = closing.quiet ? closing.frame - kTrailFrames : closing.frame;
    segments.push_back({start * kMsPerFrame, end * kMsPerFrame});
    // Closed by the quiet count or for length, the next frame follows a quiet one either way.
    i = closing.frame + 1;
  }
  return segments;
}

}  // namespace tesselaudio
