#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "speech/ASR/Parakeet/AsrModelVersion.h"
#include "speech/Shared/AppLogger.h"

namespace tesselaudio {

class AudioSampleSource;

// The long-audio path of the Parakeet TDT recogniser: input longer than one model window is cut
// into overlapping windows, which are decoded and joined into one result. This file holds the
// window plan: window sizes, window starts on a regular grid or moved into pauses, the end of the
// last speech, and the list of windows with the encoder frames each stands for.
//
// Positions are sample indices of the whole 16 kHz input. Global encoder frame k covers samples
// k × 1,280 to (k + 1) × 1,280; "rounded down to a frame" is ⌊x ÷ 1,280⌋ × 1,280.
//
// A value made by the recogniser for one recognition; it borrows the sample source, which must
// outlive it. The planning operations are synchronous, change nothing and read the source only, so
// any number of threads may call them at once. Every read goes through the source's copySamples;
// whatever that throws leaves the operation at once, and no partial result is returned.
//
//   ChunkProcessor processor(source);
//   const auto layout = processor.chunkLayout(false, AsrModelVersion::v3);
//   const auto decisions = processor.silenceAlignedChunkStarts(layout.chunkSamples,
//                                                              layout.strideSamples, false, true);
//   const auto plan = processor.planWindows(decisions, layout, processor.speechEndSamples(), true);
class ChunkProcessor {
 public:
  // One planned window start.
  struct ChunkStartDecision {
    std::int64_t start = 0;         // first sample the window starting here is responsible for
    bool useWarmupPrefix = false;   // the window decodes a warm-up prefix before `start`
    bool pauseCut = false;          // `start` lies in a pause; the window before may end its audio here

    bool operator==(const ChunkStartDecision&) const = default;
  };

  // One window of the plan. Its audio is [start − max(warmupSamples, contextSamples), audioEnd);
  // at most one of warmupSamples and contextSamples is non-zero.
  struct PlannedWindow {
    std::int64_t index = 0;           // 0-based position in the plan
    std::int64_t start = 0;           // first sample the window is responsible for
    std::int64_t warmupSamples = 0;   // decoded before `start`; tokens emitted there are suppressed
    std::int64_t contextSamples = 0;  // before `start`, given to the model as mel context only
    std::int64_t chunkEnd = 0;        // nominal end (exclusive), never beyond the input
    std::int64_t audioEnd = 0;        // end (exclusive) of the audio handed to the model, ≤ chunkEnd
    bool isLastChunk = false;         // the window reaches the end of the input

    bool operator==(const PlannedWindow&) const = default;
  };

  // The global encoder frames of a window: where its decoded audio begins, and its audioEnd.
  struct WindowFrames {
    std::int64_t decodeStart = 0;
    std::int64_t end = 0;

    bool operator==(const WindowFrames&) const = default;
  };

  // Window sizes of one recognition.
  struct ChunkLayout {
    std::int64_t chunkSamples = 0;         // window length without context or warm-up
    std::int64_t strideSamples = 0;        // distance of regular window starts
    std::int64_t melContextSamples = 0;    // mel context before every window but the first
    std::int64_t warmupPrefixSamples = 0;  // warm-up before a window whose decision asks for it

    bool operator==(const ChunkLayout&) const = default;
  };

  // The windows in plan order and, for each, its frames.
  struct WindowPlan {
    std::vector<PlannedWindow> windows;
    std::vector<WindowFrames> frames;

    bool operator==(const WindowPlan&) const = default;
  };

  // A processor over all of `sampleSource`: totalSamples is its sample count, the other fields
  // take the values below.
  explicit ChunkProcessor(const AudioSampleSource& sampleSource);

  const AudioSampleSource& sampleSource;
  std::int64_t totalSamples;
  AppLogger logger{"ChunkProcessor"};
  double overlapSeconds = 2.0;               // wanted overlap of consecutive windows
  std::int64_t melContextSamples = 1280;     // audio before a window fed as mel context; ≥ 0
  std::int64_t noMelWarmupPrefixFrames = 0;  // warm-up for v3-family models without mel context; ≥ 0

  // The window sizes for a model decoded with or without mel context. chunkSamples is 240,000
  // less one mel hop (160) less the context, at least 1,280 and rounded down to a frame; the
  // warm-up prefix is noMelWarmupPrefixFrames frames for a v3-family version without mel context,
  // else 0 (also without a version).
  // REQUIRES: melContextSamples ≥ 0 and noMelWarmupPrefixFrames ≥ 0.
  ChunkLayout chunkLayout(bool melChunkContext, std::optional<AsrModelVersion> modelVersion) const;

  // The stride for windows of `chunkSamples`: the window less the overlap, where the overlap is
  // overlapSeconds of audio limited to half a window and rounded down to a frame. A negative or
  // non-finite overlapSeconds counts as none. The result is a whole number of frames in
  // [1,280, chunkSamples].
  // REQUIRES: chunkSamples ≥ 1,280.
  std::int64_t strideSamples(std::int64_t chunkSamples) const;

  // Starts 0, s, 2s, ... below totalSamples (0 always), none with warm-up or pause cut.
  // REQUIRES: strideSamples ≥ 1.
  std::vector<ChunkStartDecision> regularChunkStarts(std::int64_t strideSamples) const;

  // The end of the last 1,280-sample block, counted back from the end of the input, whose RMS is at
  // least 0.0005; totalSamples when every block is quieter (or the input is empty).
  std::int64_t speechEndSamples() const;

  // Window starts moved into pauses near the regular grid of `strideSamples`, or, with
  // preferLatePause, to the middle of the latest real pause before the previous window's end.
  // The first decision is (0, no warm-up, no pause cut); starts never go backwards. With
  // canUseWarmupPrefix a start in a pause may ask for a warm-up prefix.
  std::vector<ChunkStartDecision> silenceAlignedChunkStarts(std::int64_t chunkSamples,
                                                            std::int64_t strideSamples,
                                                            bool canUseWarmupPrefix,
                                                            bool preferLatePause) const;

  // Each 1,280-sample frame's sum of squares (the last frame possibly shorter):
  // ⌈totalSamples ÷ 1,280⌉ entries, empty for an empty input. Reads at most 256 frames at a time.
  std::vector<float> frameEnergySums() const;

  // The middle boundary of the latest run of three or more quiet frame boundaries within the
  // 80,000 samples before the window from `previousStart` ends, or none. A boundary is quiet when
  // its RMS over the two frames meeting there is at most max(0.18 × the loudest boundary's RMS,
  // 0.004). `frameEnergySums` is the table frameEnergySums() gives.
  std::optional<std::int64_t> latestPauseCut(std::int64_t previousStart, std::int64_t chunkSamples,
                                             const std::vector<float>& frameEnergySums) const;

  // False only when the 3,200 samples from `position` are quiet: every block of 320 has an RMS
  // below 0.003. The input ending sooner gives true.
  bool shouldUseWarmupPrefix(std::int64_t position) const;

  // The mean square of the samples within `halfWindowSamples` of `centeredAt`, 0 for none.
  float boundaryEnergyScore(std::int64_t centeredAt, std::int64_t halfWindowSamples) const;

  // Turns start decisions into windows. `speechEnd` is speechEndSamples() when the recognition
  // stops its last window at the end of the speech, none when it decodes to the end of the input.
  // With preferLatePause a window followed by a pause-cut start ends its audio at that start.
  // An empty input, or decisions starting at or beyond its end, give no window.
  WindowPlan planWindows(const std::vector<ChunkStartDecision>& decisions, const ChunkLayout& layout,
                         std::optional<std::int64_t> speechEnd, bool preferLatePause) const;
};

}  // namespace tesselaudio
