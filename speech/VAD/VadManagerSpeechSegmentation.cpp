#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "speech/VAD/VadManager.h"

namespace tesselaudio {
namespace {

using detail::saturatingAdd;
using detail::saturatingSub;

constexpr std::int64_t kChunk = VadManager::chunkSize;

struct SampleRange {
  std::int64_t start = 0;
  std::int64_t end = 0;
};

// A pause inside the current segment that may serve as a split point.
struct CandidateSilence {
  std::int64_t start = 0;
  // Samples from the pause's start to the start of the loud chunk that ended it.
  std::int64_t duration = 0;
  // The lowest probability seen in the pause.
  float minProbability = 1.0f;
};

// The range finder: one pass over the chunk probabilities that opens a segment on a loud chunk,
// closes it after enough silence, splits it at the best pause when it grows too long, then one
// padding pass. Positions are sample counts at 16 kHz.
class SpeechRangeFinder {
 public:
  SpeechRangeFinder(std::int64_t audioLength, float threshold, const VadSegmentationConfig& config)
      : config_(config),
        audioLength_(audioLength),
        speechThreshold_(threshold),
        silenceThreshold_(config.effectiveNegativeThreshold(threshold)),
        minSpeech_(VadSegmentationConfig::samples(config.minSpeechDuration)),
        minSilence_(VadSegmentationConfig::samples(config.minSilenceDuration)),
        padding_(VadSegmentationConfig::samples(config.speechPadding)),
        minSplitPause_(VadSegmentationConfig::samples(config.minSilenceAtMaxSpeech)),
        maxSpeech_(maxSpeechSamples(config, padding_)) {}

  std::vector<SampleRange> find(const std::vector<float>& probabilities) {
    if (probabilities.empty()) return {};
    for (std::size_t i = 0; i < probabilities.size(); ++i) {
      visit(static_cast<std::int64_t>(i) * kChunk, probabilities[i]);
    }
    if (triggered_ && segmentStart_ < audioLength_ && audioLength_ - segmentStart_ >= minSpeech_) {
      ranges_.push_back({segmentStart_, audioLength_});
    }
    pad();
    return clamped();
  }

 private:
  static std::optional<std::int64_t> maxSpeechSamples(const VadSegmentationConfig& config, std::int64_t padding) {
    if (std::isinf(config.maxSpeechDuration) && config.maxSpeechDuration > 0) return std::nullopt;
    const auto samples = VadSegmentationConfig::samples(config.maxSpeechDuration);
    return std::max<std::int64_t>(saturatingSub(saturatingSub(samples, kChunk), saturatingAdd(padding, padding)), 0);
  }

  bool isSilence(float p) const { return p < silenceThreshold_; }

  void forgetPause() {
    pauseStart_.reset();
    pauseMinimum_.reset();
  }

  void visit(std::int64_t pos, float p) {
    if (p >= speechThreshold_) {
      if (pauseStart_ && pos - *pauseStart_ > minSplitPause_) {
        candidates_.push_back({*pauseStart_, pos - *pauseStart_, pauseMinimum_.value_or(1.0f)});
      }
      const bool opens = !triggered_;
      forgetPause();
      if (opens) {
        triggered_ = true;
        segmentStart_ = pos;
        return;
      }
    } else if (!triggered_) {
      return;
    }
    if (maxSpeech_ && pos - segmentStart_ > *maxSpeech_) {
      split(pos, p);
      return;
    }
    // A NaN is not below the silence threshold either: it neither opens nor ends a pause.
    if (!isSilence(p)) return;
    notePause(pos, p);
  }

  // Records a quiet chunk of the pause and ends the segment once the pause is long enough.
  void notePause(std::int64_t pos, float p) {
    if (!pauseStart_) pauseStart_ = pos;
    pauseMinimum_ = pauseMinimum_ ? std::min(*pauseMinimum_, p) : p;
    if (pos - *pauseStart_ >= minSilence_) endSegment();
  }

  void endSegment() {
    if (segmentStart_ < *pauseStart_ && *pauseStart_ - segmentStart_ >= minSpeech_) {
      ranges_.push_back({segmentStart_, std::min(*pauseStart_, audioLength_)});
    }
    triggered_ = false;
    forgetPause();
    candidates_.clear();
  }

  // The remembered pause to cut an over-long segment at, if any.
  std::optional<CandidateSilence> chooseCut() const {
    const auto longest = [](auto first, auto last) {
      // max_element keeps the earliest of equals.
      return std::max_element(first, last, [](const CandidateSilence& a, const CandidateSilence& b) {
        return a.duration < b.duration;
      });
    };
    std::vector<CandidateSilence> quiet;
    std::copy_if(candidates_.begin(), candidates_.end(), std::back_inserter(quiet),
                 [&](const CandidateSilence& c) { return c.minProbability <= config_.silenceThresholdForSplit; });
    if (!quiet.empty()) return *longest(quiet.begin(), quiet.end());
    if (candidates_.empty()) return std::nullopt;
    if (config_.useMaxPossibleSilenceAtMaxSpeech) return *longest(candidates_.begin(), candidates_.end());
    return candidates_.back();
  }

  void split(std::int64_t pos, float p) {
    const auto cut = chooseCut();
    const std::int64_t end = cut ? cut->start : pos;
    const std::optional<std::int64_t> resume =
        cut ? std::optional<std::int64_t>(cut->start + cut->duration) : std::nullopt;
    if (segmentStart_ < end && end - segmentStart_ >= minSpeech_) {
      ranges_.push_back({segmentStart_, std::min(end, audioLength_)});
    }
    candidates_.clear();
    if (!resume || *resume >= pos) {
      triggered_ = false;
      forgetPause();
      return;
    }
    segmentStart_ = *resume;
    if (!isSilence(p)) {
      forgetPause();
      return;
    }
    // The pause starts anew on this chunk: with a length of 0 only a minimum silence of 0 ends it.
    pauseStart_ = pos;
    pauseMinimum_.reset();
    notePause(pos, p);
  }

  void pad() {
    if (ranges_.empty()) return;
    ranges_.front().start = std::max<std::int64_t>(saturatingSub(ranges_.front().start, padding_), 0);
    for (std::size_t k = 0; k + 1 < ranges_.size(); ++k) {
      auto& range = ranges_[k];
      auto& next = ranges_[k + 1];
      const std::int64_t gap = next.start - range.end;
      const std::int64_t shift = gap < saturatingAdd(padding_, padding_) ? gap / 2 : padding_;
      range.end = std::min(saturatingAdd(range.end, shift), audioLength_);
      next.start = std::max<std::int64_t>(saturatingSub(next.start, shift), 0);
    }
    ranges_.back().end = std::min(saturatingAdd(ranges_.back().end, padding_), audioLength_);
  }

  std::vector<SampleRange> clamped() const {
    std::vector<SampleRange> result;
    for (auto range : ranges_) {
      range.start = std::clamp<std::int64_t>(range.start, 0, audioLength_);
      range.end = std::max(std::min(range.end, audioLength_), range.start);
      if (range.start < range.end) result.push_back(range);
    }
    return result;
  }

  const VadSegmentationConfig& config_;
  const std::int64_t audioLength_;
  const float speechThreshold_;
  const float silenceThreshold_;
  const std::int64_t minSpeech_;
  const std::int64_t minSilence_;
  const std::int64_t padding_;
  const std::int64_t minSplitPause_;
  const std::optional<std::int64_t> maxSpeech_;  // none: never split

  bool triggered_ = false;
  std::int64_t segmentStart_ = 0;
  std::optional<std::int64_t> pauseStart_;
  std::optional<float> pauseMinimum_;
  std::vector<CandidateSilence> candidates_;
  std::vector<SampleRange> ranges_;
};

}  // namespace

std::vector<VadSegment> VadManager::segmentSpeech(std::span<const float> samples,
                                                  const VadSegmentationConfig& config) {
  std::scoped_lock lock(mutex_);
  const auto results = processAudioSamples(samples);
  return segmentResults(results, static_cast<std::int64_t>(samples.size()), config);
}

std::vector<VadSegment> VadManager::segmentSpeech(std::span<const VadResult> from, std::int64_t totalSamples,
                                                  const VadSegmentationConfig& config) {
  std::scoped_lock lock(mutex_);
  return segmentResults(from, totalSamples, config);
}

std::vector<std::vector<float>> VadManager::segmentSpeechAudio(std::span<const float> samples,
                                                               const VadSegmentationConfig& config) {
  std::scoped_lock lock(mutex_);
  const auto count = static_cast<std::int64_t>(samples.size());
  const auto segments = segmentResults(processAudioSamples(samples), count, config);
  std::vector<std::vector<float>> slices;
  slices.reserve(segments.size());
  for (const auto& segment : segments) {
    const auto begin = std::clamp<std::int64_t>(segment.startSample(sampleRate), 0, count);
    const auto end = std::max(std::min(segment.endSample(sampleRate), count), begin);
    slices.emplace_back(samples.begin() + begin, samples.begin() + end);
  }
  return slices;
}

std::vector<VadSegment> VadManager::segmentResults(std::span<const VadResult> from, std::int64_t totalSamples,
                                                   const VadSegmentationConfig& config) const {
  if (from.empty() || totalSamples < 1) return {};
  std::vector<float> probabilities;
  probabilities.reserve(from.size());
  for (const auto& result : from) probabilities.push_back(result.probability);

  SpeechRangeFinder finder(totalSamples, config.speechThreshold(config_.defaultThreshold), config);
  std::vector<VadSegment> segments;
  for (const auto& range : finder.find(probabilities)) {
    const auto start = std::clamp<std::int64_t>(range.start, 0, totalSamples);
    const auto end = std::clamp<std::int64_t>(range.end, start, totalSamples);
    segments.push_back({static_cast<double>(start) / sampleRate, static_cast<double>(end) / sampleRate});
  }
  return segments;
}

}  // namespace tesselaudio
