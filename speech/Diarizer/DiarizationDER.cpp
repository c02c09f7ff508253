#include "speech/Diarizer/DiarizationDER.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

#include <fmt/format.h>

#include "platform/sys/InvalidArgumentError.h"
#include "speech/Diarizer/HungarianAssignment.h"

namespace tesselaudio::DiarizationDER {
namespace {

// The most frames a grid may have: overlap counts stay within what the assignment solver takes
// exactly (2^50), far inside 64 bits.
constexpr double kFrameLimit = 1125899906842624.0;

// Speaker labels by index of first appearance, and each segment's speaker index.
struct Speakers {
  std::vector<std::string> labels;
  std::vector<std::int64_t> indexOfSegment;
};

Speakers indexSpeakers(const std::vector<DERSpeakerSegment>& segments) {
  Speakers speakers;
  std::unordered_map<std::string, std::int64_t> index;
  for (const auto& segment : segments) {
    const auto [at, added] = index.try_emplace(segment.speaker, static_cast<std::int64_t>(speakers.labels.size()));
    if (added) speakers.labels.push_back(segment.speaker);
    speakers.indexOfSegment.push_back(at->second);
  }
  return speakers;
}

// `value` clamped to [0, frames] and made an index.
std::int64_t frameIndex(double value, std::int64_t frames) {
  if (!(value > 0)) return 0;
  if (value >= static_cast<double>(frames)) return frames;
  return static_cast<std::int64_t>(value);
}

// A change of the frame grid: from `frame` on, a speaker's segment (or a collar) begins or ends.
// The grid is constant between changes, so it is scored run by run rather than frame by frame,
// which gives the same counts with memory for the segments only.
struct Change {
  enum class Kind : std::uint8_t { reference, hypothesis, collar };
  std::int64_t frame;
  Kind kind;
  std::int64_t index;
  int delta;
};

void addRange(std::vector<Change>& changes, Change::Kind kind, std::int64_t index, std::int64_t from, std::int64_t to) {
  if (from >= to) return;
  changes.push_back({from, kind, index, +1});
  changes.push_back({to, kind, index, -1});
}

// The marked frames of every segment with start < end: from its start to its end, each rounded to
// the nearest frame boundary (halves down).
void addSegments(std::vector<Change>& changes, Change::Kind kind, const std::vector<DERSpeakerSegment>& segments,
                 const Speakers& speakers, double frameStep, std::int64_t frames) {
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const auto& segment = segments[i];
    if (!(segment.start < segment.end)) continue;
    addRange(changes, kind, speakers.indexOfSegment[i], frameIndex(std::ceil(segment.start / frameStep - 0.5), frames),
             frameIndex(std::ceil(segment.end / frameStep - 0.5), frames));
  }
}

// The frames within collar / 2 of each reference boundary.
void addCollars(std::vector<Change>& changes, const std::vector<DERSpeakerSegment>& ref, double frameStep,
                double collar, std::int64_t frames) {
  if (!(collar > 0)) return;
  for (const auto& segment : ref) {
    if (!(segment.start < segment.end)) continue;
    for (double boundary : {segment.start, segment.end}) {
      addRange(changes, Change::Kind::collar, 0, frameIndex(std::floor((boundary - collar / 2) / frameStep), frames),
               frameIndex(std::ceil((boundary + collar / 2) / frameStep), frames));
    }
  }
}

// What is active over a run of frames.
struct Run {
  std::int64_t frames = 0;
  bool excluded = false;
  const std::vector<std::int64_t>* activeReference = nullptr;
  const std::vector<std::int64_t>* activeHypothesis = nullptr;
};

// Calls `visit` for each run of equal frames, in order. REQUIRES: `changes` sorted by frame.
void forEachRun(const std::vector<Change>& changes, std::int64_t R, std::int64_t H,
                const std::function<void(const Run&)>& visit) {
  std::vector<std::int64_t> refDepth(static_cast<std::size_t>(R), 0), hypDepth(static_cast<std::size_t>(H), 0);
  std::int64_t collarDepth = 0;
  std::vector<std::int64_t> activeRef, activeHyp;
  std::size_t i = 0;
  while (i < changes.size()) {
    const std::int64_t frame = changes[i].frame;
    for (; i < changes.size() && changes[i].frame == frame; ++i) {
      const Change& change = changes[i];
      auto& depth = change.kind == Change::Kind::reference    ? refDepth[static_cast<std::size_t>(change.index)]
                    : change.kind == Change::Kind::hypothesis ? hypDepth[static_cast<std::size_t>(change.index)]
                                                              : collarDepth;
      depth += change.delta;
    }
    if (i == changes.size()) break;  // every range has ended
    activeRef.clear();
    activeHyp.clear();
    for (std::int64_t r = 0; r < R; ++r) {
      if (refDepth[static_cast<std::size_t>(r)] > 0) activeRef.push_back(r);
    }
    for (std::int64_t h = 0; h < H; ++h) {
      if (hypDepth[static_cast<std::size_t>(h)] > 0) activeHyp.push_back(h);
    }
    visit({changes[i].frame - frame, collarDepth > 0, &activeRef, &activeHyp});
  }
}

// The reference speaker of each hypothesis speaker, or -1: the assignment of most total overlap,
// keeping only pairs that overlap at all.
std::vector<std::int64_t> mapSpeakers(const std::vector<std::int64_t>& overlap, std::int64_t H, std::int64_t R) {
  const std::int64_t n = std::max(H, R);
  const std::int64_t most = overlap.empty() ? 0 : *std::max_element(overlap.begin(), overlap.end());
  std::vector<std::int64_t> cost(static_cast<std::size_t>(n * n), most);
  for (std::int64_t h = 0; h < H; ++h) {
    for (std::int64_t r = 0; r < R; ++r) {
      cost[static_cast<std::size_t>(h * n + r)] = most - overlap[static_cast<std::size_t>(h * R + r)];
    }
  }
  const auto columns = HungarianAssignment::solve(cost, n);
  std::vector<std::int64_t> mapped(static_cast<std::size_t>(H), -1);
  for (std::int64_t h = 0; h < H; ++h) {
    const std::int64_t r = columns[static_cast<std::size_t>(h)];
    if (r < R && overlap[static_cast<std::size_t>(h * R + r)] > 0) mapped[static_cast<std::size_t>(h)] = r;
  }
  return mapped;
}

}  // namespace

DERResult compute(const std::vector<DERSpeakerSegment>& ref, const std::vector<DERSpeakerSegment>& hyp,
                  double frameStep, double collar) {
  if (!(frameStep > 0)) {
    throw platform::InvalidArgumentError("frameStep", fmt::format("must be above 0, got {}", frameStep));
  }
  if (!(collar >= 0)) throw platform::InvalidArgumentError("collar", fmt::format("must be at least 0, got {}", collar));

  const Speakers refSpeakers = indexSpeakers(ref);
  const Speakers hypSpeakers = indexSpeakers(hyp);
  const auto R = static_cast<std::int64_t>(refSpeakers.labels.size());
  const auto H = static_cast<std::int64_t>(hypSpeakers.labels.size());

  double maxEnd = 0;
  const char* latest = "ref";
  for (const auto* segments : {&ref, &hyp}) {
    for (const auto& segment : *segments) {
      if (segment.end > maxEnd) {
        maxEnd = segment.end;
        latest = segments == &ref ? "ref" : "hyp";
      }
    }
  }
  const double lastFrame = std::ceil(maxEnd / frameStep);
  if (!(lastFrame + 1 <= kFrameLimit)) {
    throw platform::InvalidArgumentError(latest, fmt::format("its end time {} needs more than 2^50 frames", maxEnd));
  }
  const auto frames = static_cast<std::int64_t>(lastFrame) + 1;
  if (R == 0 && H == 0) return {};

  std::vector<Change> changes;
  addSegments(changes, Change::Kind::reference, ref, refSpeakers, frameStep, frames);
  addSegments(changes, Change::Kind::hypothesis, hyp, hypSpeakers, frameStep, frames);
  addCollars(changes, ref, frameStep, collar, frames);
  std::sort(changes.begin(), changes.end(), [](const Change& a, const Change& b) { return a.frame < b.frame; });

  // The mapping counts every frame, collars included.
  std::vector<std::int64_t> overlap(static_cast<std::size_t>(H * R), 0);
  forEachRun(changes, R, H, [&](const Run& run) {
    for (std::int64_t h : *run.activeHypothesis) {
      for (std::int64_t r : *run.activeReference) overlap[static_cast<std::size_t>(h * R + r)] += run.frames;
    }
  });
  const auto mapped = mapSpeakers(overlap, H, R);

  // Frame counts, summed as doubles: exact below 2^53, and no overflow with many speakers.
  double miss = 0, falseAlarm = 0, confusion = 0, refSpeech = 0;
  std::vector<std::uint8_t> refActive(static_cast<std::size_t>(R), 0);
  forEachRun(changes, R, H, [&](const Run& run) {
    if (run.excluded) return;
    const auto l = static_cast<std::int64_t>(run.activeReference->size());
    const auto k = static_cast<std::int64_t>(run.activeHypothesis->size());
    for (std::int64_t r : *run.activeReference) refActive[static_cast<std::size_t>(r)] = 1;
    std::int64_t correct = 0;
    for (std::int64_t h : *run.activeHypothesis) {
      const std::int64_t r = mapped[static_cast<std::size_t>(h)];
      if (r >= 0 && refActive[static_cast<std::size_t>(r)]) ++correct;
    }
    for (std::int64_t r : *run.activeReference) refActive[static_cast<std::size_t>(r)] = 0;
    const auto frames = static_cast<double>(run.frames);
    miss += static_cast<double>(std::max<std::int64_t>(l - k, 0)) * frames;
    falseAlarm += static_cast<double>(std::max<std::int64_t>(k - l, 0)) * frames;
    confusion += static_cast<double>(std::min(k, l) - correct) * frames;
    refSpeech += static_cast<double>(l) * frames;
  });

  DERResult result;
  result.miss = miss * frameStep;
  result.falseAlarm = falseAlarm * frameStep;
  result.confusion = confusion * frameStep;
  result.totalRefSpeech = refSpeech * frameStep;
  result.der = result.totalRefSpeech > 0
                   ? (result.confusion + (result.falseAlarm + result.miss)) / result.totalRefSpeech
                   : 0;
  for (std::int64_t h = 0; h < H; ++h) {
    const std::int64_t r = mapped[static_cast<std::size_t>(h)];
    if (r >= 0) {
      result.mapping[hypSpeakers.labels[static_cast<std::size_t>(h)]] = refSpeakers.labels[static_cast<std::size_t>(r)];
    }
  }
  return result;
}

}  // namespace tesselaudio::DiarizationDER
