#include "DevadEvev/SpeakerDiarizer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <future>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/audio/AudioFile.h"
#include "platform/audio/AudioFormat.h"
#include "platform/audio/Converter.h"
#include "platform/audio/PcmBuffer.h"
#include "platform/sys/CancellationError.h"
#include "platform/sys/RepeatingTimer.h"
#include "platform/sys/SerialQueue.h"
#include "speech/Diarizer/DiarizerTimeline.h"
#include "speech/Diarizer/DiarizerTimelineConfig.h"
#include "speech/Diarizer/Sortformer/SortformerConfig.h"
#include "speech/Diarizer/Sortformer/SortformerDiarizer.h"
#include "speech/Diarizer/Sortformer/SortformerModels.h"

namespace devadevev {

namespace {

using Turn = SpeakerDiarizer::Turn;

constexpr auto kDrainInterval = std::chrono::milliseconds(500);
constexpr double kJoinedRate = 16000.0;
constexpr std::int64_t kBlockFrames = 32768;
constexpr std::uint32_t kOutputHeadroomFrames = 64;

tesselaudio::SortformerModels loadModels(const std::filesystem::path& modelsDirectory,
                                         std::stop_token stop) {
  return tesselaudio::SortformerModels::loadFromHuggingFace(
      tesselaudio::SortformerConfig::balancedV2_1(), modelsDirectory, std::nullopt, {},
      std::move(stop));
}

// Frame times in single precision, widened, as every consumer of the turns compares them.
double frameTime(std::int64_t frame, float frameDurationSeconds) {
  return static_cast<double>(static_cast<float>(frame) * frameDurationSeconds);
}

// Every finalized and tentative segment of every speaker, one turn each, in the timeline's order.
template <class Visit>
void forEachSegment(const tesselaudio::DiarizerTimeline& timeline, const Visit& visit) {
  for (const auto& [slot, speaker] : timeline.speakers()) {
    for (const auto& segment : speaker->finalizedSegments()) visit(segment);
    for (const auto& segment : speaker->tentativeSegments()) visit(segment);
  }
}

void sortByStart(std::vector<Turn>& turns) {
  std::stable_sort(turns.begin(), turns.end(),
                   [](const Turn& a, const Turn& b) { return a.start < b.start; });
}

// The frame at `seconds` of a file of `length` frames at `rate`, fraction cut off.
// REQUIRES: seconds finite and not negative.
std::int64_t frameAt(double seconds, double rate, std::int64_t length) {
  const double frame = seconds * rate;
  if (!(frame < static_cast<double>(length))) return length;
  return static_cast<std::int64_t>(frame);
}

// Converts one block: the converted samples, a null buffer when the converter failed on the block,
// or nothing when no output buffer can be made.
std::optional<std::unique_ptr<platform::PcmBuffer>> convertBlock(platform::Converter& converter,
                                                                 const platform::PcmBuffer& block,
                                                                 double fileRate) {
  const double capacity =
      std::floor(static_cast<double>(block.frameLength()) * kJoinedRate / fileRate) +
      kOutputHeadroomFrames;
  if (!(capacity < static_cast<double>(UINT32_MAX))) return std::nullopt;
  auto output = platform::PcmBuffer::make(converter.outputFormat(),
                                          static_cast<std::uint32_t>(capacity));
  if (!output) return std::nullopt;
  bool handedOver = false;
  // The block goes in once; the converter keeps its history for the next block of the range.
  const auto status = converter.convert(
      *output, [&](std::uint32_t, platform::Converter::InputStatus& status) -> const platform::PcmBuffer* {
        if (handedOver) {
          status = platform::Converter::InputStatus::noDataNow;
          return nullptr;
        }
        handedOver = true;
        status = platform::Converter::InputStatus::haveData;
        return &block;
      });
  if (status == platform::Converter::OutputStatus::error) return std::unique_ptr<platform::PcmBuffer>();
  return output;
}

// Appends range [lowerBound, upperBound) of `file`, converted, to `joined`.
void readRange(platform::AudioFile& file, platform::Converter& converter,
               const FileTranscriber::Range& range, std::vector<float>& joined) {
  const double rate = file.processingFormat().sampleRate();
  file.setFramePosition(frameAt(range.lowerBound, rate, file.length()));
  const std::int64_t endFrame = frameAt(range.upperBound, rate, file.length());
  if (file.framePosition() >= endFrame) return;
  const auto block = platform::PcmBuffer::make(
      file.processingFormat(),
      static_cast<std::uint32_t>(std::min(kBlockFrames, endFrame - file.framePosition())));
  if (!block) return;
  while (file.framePosition() < endFrame) {
    file.read(*block, static_cast<std::uint32_t>(std::min(kBlockFrames, endFrame - file.framePosition())));
    if (block->frameLength() == 0) return;
    auto converted = convertBlock(converter, *block, rate);
    if (!converted) return;
    // A block the converter failed on is lost; the range goes on after it.
    if (!*converted) continue;
    const float* samples = (*converted)->floatChannelData()[0];
    joined.insert(joined.end(), samples, samples + (*converted)->frameLength());
  }
}

std::vector<Turn> diarizeLoaded(const std::filesystem::path& file,
                                const std::vector<FileTranscriber::Range>& ranges,
                                const tesselaudio::SortformerModels& models,
                                const SpeakerDiarizer::ProgressHandler& onProgress) {
  detail::JoinedAudio joined = detail::readJoinedRanges(file, ranges);
  tesselaudio::SortformerDiarizer diarizer(tesselaudio::SortformerConfig::balancedV2_1(),
                                           tesselaudio::DiarizerTimelineConfig::sortformerDefault());
  diarizer.initialize(models);
  const auto timeline = diarizer.processComplete(
      joined.samples, kJoinedRate, std::nullopt, true,
      [&onProgress](std::int64_t processed, std::int64_t total, std::int64_t) {
        if (total >= 1 && onProgress) {
          onProgress(static_cast<double>(processed) / static_cast<double>(total));
        }
      });
  // The joined audio is no longer needed while the turns are placed.
  std::vector<float>().swap(joined.samples);

  std::vector<Turn> turns;
  forEachSegment(*timeline, [&](const tesselaudio::DiarizerSegment& segment) {
    detail::placeSegment(static_cast<int>(segment.speakerIndex),
                         frameTime(segment.startFrame, segment.frameDurationSeconds()),
                         frameTime(segment.endFrame, segment.frameDurationSeconds()),
                         joined.placements, turns);
  });
  sortByStart(turns);
  return turns;
}

}  // namespace

// What the queue works on. The timer holds it weakly; a drain in progress holds it strongly, so
// that it may outlive the wrapper until the drain ends.
struct SpeakerDiarizer::Core {
  Core()
      : diarizer(tesselaudio::SortformerConfig::balancedV2_1(),
                 tesselaudio::DiarizerTimelineConfig::sortformerDefault()) {}

  // Takes what is pending and runs it through the model; publishes when results became final.
  // Never throws: a failed chunk is lost and the next tick goes on.
  void drain() {
    double rate = 0;
    {
      std::scoped_lock lock(pendingMutex);
      // The spare buffer is empty but keeps its capacity, so the tap rarely has to grow it.
      std::swap(pendingSamples, taken);
      rate = pendingRate;
    }
    try {
      if (!taken.empty() && rate > 0) {
        if (diarizer.process(taken, rate)) publish();
      }
    } catch (...) {
    }
    taken.clear();
  }

  // Hands the complete list of turns to onTurns, also when it is empty.
  void publish() {
    std::vector<Turn> turns;
    forEachSegment(*diarizer.timeline(), [&](const tesselaudio::DiarizerSegment& segment) {
      turns.push_back({static_cast<int>(segment.speakerIndex),
                       frameTime(segment.startFrame, segment.frameDurationSeconds()),
                       frameTime(segment.endFrame, segment.frameDurationSeconds())});
    });
    if (!onTurns) return;
    sortByStart(turns);
    try {
      onTurns(turns);
    } catch (...) {
    }
  }

  tesselaudio::SortformerDiarizer diarizer;

  // Guarded by pendingMutex: what the tap handed over since the last drain, and the latest rate.
  std::mutex pendingMutex;
  std::vector<float> pendingSamples;
  double pendingRate = 0;

  // On the queue only (prepare sets them there too).
  std::vector<float> taken;
  std::unique_ptr<platform::RepeatingTimer> timer;
  TurnsHandler onTurns;
};

SpeakerDiarizer::SpeakerDiarizer()
    : queue_(std::make_unique<platform::SerialQueue>(kQueueLabel)), core_(std::make_shared<Core>()) {}

SpeakerDiarizer::~SpeakerDiarizer() {
  // Drop the core first; the queue's destructor then waits for a drain still holding it.
  core_.reset();
}

void SpeakerDiarizer::prepare(const std::filesystem::path& modelsDirectory, TurnsHandler onTurns,
                              std::stop_token stop) {
  const tesselaudio::SortformerModels models = loadModels(modelsDirectory, stop);
  // A model found in the cache loads without looking at the token.
  platform::CancellationError::throwIfRequested(stop);
  core_->diarizer.initialize(models);
  queue_->sync([&] {
    core_->onTurns = std::move(onTurns);
    platform::SerialQueue& queue = *queue_;
    core_->timer = std::make_unique<platform::RepeatingTimer>(
        queue, kDrainInterval, [weak = std::weak_ptr<Core>(core_)] {
          if (const std::shared_ptr<Core> core = weak.lock()) core->drain();
        });
  });
}

void SpeakerDiarizer::append(std::span<const float> samples, double sampleRate) {
  std::scoped_lock lock(core_->pendingMutex);
  core_->pendingSamples.insert(core_->pendingSamples.end(), samples.begin(), samples.end());
  core_->pendingRate = sampleRate;
}

void SpeakerDiarizer::finish() {
  try {
    queue_->sync([core = core_] {
      core->timer.reset();
      core->drain();
      try {
        core->diarizer.finalizeSession();
      } catch (...) {
      }
      core->publish();
    });
  } catch (...) {
  }
}

void SpeakerDiarizer::cancel() {
  queue_->async([core = core_] { core->timer.reset(); });
}

void SpeakerDiarizer::drainNow() {
  queue_->sync([core = core_] { core->drain(); });
}

bool SpeakerDiarizer::timerRunning() {
  bool running = false;
  queue_->sync([&] { running = core_->timer != nullptr; });
  return running;
}

std::vector<Turn> SpeakerDiarizer::diarize(const std::filesystem::path& file,
                                           const std::vector<Range>& ranges,
                                           const std::filesystem::path& modelsDirectory,
                                           const ProgressHandler& onProgress) {
  if (ranges.empty()) return {};
  tesselaudio::SortformerModels models = loadModels(modelsDirectory, {});
  // The work runs to its end on a thread of its own, whatever becomes of the caller's job.
  std::future<std::vector<Turn>> work = std::async(
      std::launch::async, [file, ranges, models = std::move(models), onProgress] {
        return diarizeLoaded(file, ranges, models, onProgress);
      });
  return work.get();
}

namespace detail {

JoinedAudio readJoinedRanges(const std::filesystem::path& file,
                             const std::vector<FileTranscriber::Range>& ranges) {
  platform::AudioFile audio(file);
  const platform::AudioFormat target = platform::AudioFormat::float32(kJoinedRate, 1);
  // No frame lies at a negative or infinite time: such a range is skipped like one no converter takes.
  const auto readable = [](const FileTranscriber::Range& range) {
    return std::isfinite(range.lowerBound) && std::isfinite(range.upperBound) &&
           range.lowerBound >= 0 && range.upperBound >= 0;
  };
  JoinedAudio joined;
  // Room for all of it at once: hours of audio grown by doubling would briefly need half again.
  const double fileSeconds = static_cast<double>(audio.length()) / audio.processingFormat().sampleRate();
  double seconds = 0;
  for (const FileTranscriber::Range& range : ranges) {
    if (readable(range)) {
      seconds += std::max(0.0, std::min(range.upperBound, fileSeconds) - std::min(range.lowerBound, fileSeconds));
    }
  }
  joined.samples.reserve(static_cast<std::size_t>(seconds * kJoinedRate) +
                         kOutputHeadroomFrames * (ranges.size() + 1));
  for (const FileTranscriber::Range& range : ranges) {
    if (!readable(range)) continue;
    const auto converter = platform::Converter::make(audio.processingFormat(), target);
    if (!converter) continue;
    const std::size_t before = joined.samples.size();
    readRange(audio, *converter, range, joined.samples);
    joined.placements.push_back({static_cast<double>(before) / kJoinedRate, range.lowerBound,
                                 static_cast<double>(joined.samples.size() - before) / kJoinedRate});
  }
  return joined;
}

void placeSegment(int speaker, double start, double end,
                  const std::vector<RangePlacement>& placements, std::vector<Turn>& into) {
  if (!(start < end)) return;
  double w = start;
  while (true) {
    // The last range starting at or before the part, with room for rounding at a junction.
    const auto found = std::find_if(placements.rbegin(), placements.rend(),
                                    [w](const RangePlacement& p) { return p.joined <= w + 0.001; });
    if (found == placements.rend()) return;
    const RangePlacement& r = *found;
    const double rangeEnd = r.joined + r.length;
    const double partEnd = std::min(rangeEnd, end);
    // A part starting just before its range's joined start is kept inside the range.
    const double fileStart = r.actual + std::clamp(w - r.joined, 0.0, r.length);
    const double fileEnd = r.actual + std::min(r.length, partEnd - r.joined);
    if (fileStart < fileEnd) into.push_back({speaker, fileStart, fileEnd});
    if (!(rangeEnd < end && partEnd > w)) return;
    w = partEnd;
  }
}

}  // namespace detail

}  // namespace devadevev
