#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace tesselaudio {

// Settings of the offline (whole-recording) diarization pipeline, in seven groups, each a plain
// value whose defaults are its named preset. The pipeline validates a configuration before it does
// any work.
//
//   auto config = OfflineDiarizerConfig::default_().withSpeakers(2, 4);
//   config.setClusteringThreshold(0.7);
//   config.validate();  // throws OfflineDiarizationError
//   auto hop = config.samplesPerStep();
struct OfflineDiarizerConfig {
  // Windowing and segmentation.
  struct Segmentation {
    double windowDurationSeconds = 10.0;
    std::int64_t sampleRate = 16000;
    // Seconds; with embedding.minSegmentDurationSeconds, the shortest segment kept.
    double minDurationOn = 0.0;
    // Seconds; with postProcessing.minGapDurationSeconds, the gap below which one speaker's
    // segments merge.
    double minDurationOff = 0.0;
    // Hop between window starts as a fraction of the window.
    double stepRatio = 0.2;
    // A frame counts as speech when 1 − P(silence) reaches this (statistics only).
    float speechOnsetThreshold = 0.5f;
    float speechOffsetThreshold = 0.5f;
    // Windows per segmentation call, 1 to 32.
    std::int64_t batchSize = 32;

    static Segmentation community() { return {}; }
    bool operator==(const Segmentation&) const = default;
  };

  // Reuse of an earlier embedding of the same local speaker: maskSimilarity reuses it when the
  // speaker's activity mask is at least `threshold` cosine-similar to the cached one.
  struct EmbeddingSkipStrategy {
    enum class Kind { maskSimilarity, none };

    Kind kind = Kind::none;
    float threshold = 0;  // maskSimilarity only

    static EmbeddingSkipStrategy maskSimilarity(float threshold) { return {Kind::maskSimilarity, threshold}; }
    static EmbeddingSkipStrategy none() { return {}; }
    bool operator==(const EmbeddingSkipStrategy&) const = default;
  };

  // Speaker-embedding extraction.
  struct Embedding {
    // Windows per FBANK batch and embeddings per PLDA batch, 1 to 32.
    std::int64_t batchSize = 32;
    // Frames with two or more local speakers leave a speaker's embedding mask.
    bool excludeOverlap = true;
    // Seconds of overlap-free activity an embedding needs; also the shortest segment kept.
    double minSegmentDurationSeconds = 1.0;
    EmbeddingSkipStrategy skipStrategy = EmbeddingSkipStrategy::none();

    static Embedding community() { return {}; }
    bool operator==(const Embedding&) const = default;
  };

  struct Clustering {
    // Agglomerative threshold, within (0, 2].
    double threshold = 0.6;
    double warmStartFa = 0.07;
    double warmStartFb = 0.8;
    std::optional<std::int64_t> minSpeakers;
    std::optional<std::int64_t> maxSpeakers;
    std::optional<std::int64_t> numSpeakers;
    // Windows go to centroids by constrained assignment rather than arg-max.
    bool constrainedAssignment = true;

    static Clustering community() { return {}; }
    bool operator==(const Clustering&) const = default;
  };

  struct VBx {
    std::int64_t maxIterations = 20;
    double convergenceTolerance = 1e-4;

    static VBx community() { return {}; }
    bool operator==(const VBx&) const = default;
  };

  struct PostProcessing {
    // Seconds; one speaker's segments closer than this merge.
    double minGapDurationSeconds = 0.1;
    // Overlapping segments are cut so that one speaker at most is active at a time.
    bool exclusiveSegments = false;

    static PostProcessing community() { return {}; }
    bool operator==(const PostProcessing&) const = default;
  };

  // Re-embedding of speech stretches that no cluster voted for.
  struct ZeroVoteReembed {
    bool enabled = false;
    double minDurationSeconds = 0.4;

    static ZeroVoteReembed disabled() { return {}; }
    bool operator==(const ZeroVoteReembed&) const = default;
  };

  struct Export {
    // Where the clustering stage writes the embeddings as JSON; none writes nothing.
    std::optional<std::string> embeddingsPath;

    static Export none() { return {}; }
    bool operator==(const Export&) const = default;
  };

  // The flat form of the settings most callers tune, with the preset values as defaults; for
  // designated initialisers: OfflineDiarizerConfig({.clusteringThreshold = 0.7, .Fa = 0.1}).
  struct Flat {
    double clusteringThreshold = 0.6;
    double Fa = 0.07;
    double Fb = 0.8;
    double windowDuration = 10.0;
    std::int64_t sampleRate = 16000;
    double segmentationStepRatio = 0.2;
    std::int64_t embeddingBatchSize = 32;
    bool embeddingExcludeOverlap = true;
    EmbeddingSkipStrategy embeddingSkipStrategy = EmbeddingSkipStrategy::none();
    double minSegmentDuration = 1.0;
    double minGapDuration = 0.1;
    bool exclusiveSegments = false;
    float speechOnsetThreshold = 0.5f;
    float speechOffsetThreshold = 0.5f;
    double segmentationMinDurationOn = 0.0;
    double segmentationMinDurationOff = 0.0;
    std::int64_t maxVBxIterations = 20;
    double convergenceTolerance = 1e-4;
    std::optional<std::string> embeddingExportPath;
  };

  Segmentation segmentation;
  Embedding embedding;
  Clustering clustering;
  VBx vbx;
  PostProcessing postProcessing;
  ZeroVoteReembed zeroVoteReembed;
  Export export_;
  // When set, the diarization result carries the per-window speaker embeddings.
  bool exposeChunkEmbeddings = false;

  // The preset default_().
  OfflineDiarizerConfig() = default;
  OfflineDiarizerConfig(Segmentation segmentation, Embedding embedding, Clustering clustering, VBx vbx,
                        PostProcessing postProcessing, ZeroVoteReembed zeroVoteReembed, Export export_,
                        bool exposeChunkEmbeddings);
  // Each flat field goes to its nested field; the rest is fixed: segmentation batch 32, no
  // speaker-count bounds, constrained assignment, zero-vote re-embedding disabled (0.4 s) and no
  // chunk embeddings.
  explicit OfflineDiarizerConfig(const Flat& flat);

  // The community presets of every group and no chunk embeddings.
  static OfflineDiarizerConfig default_() { return {}; }

  // Each reads and writes one nested field.
  double clusteringThreshold() const { return clustering.threshold; }
  void setClusteringThreshold(double value) { clustering.threshold = value; }
  double Fa() const { return clustering.warmStartFa; }
  void setFa(double value) { clustering.warmStartFa = value; }
  double Fb() const { return clustering.warmStartFb; }
  void setFb(double value) { clustering.warmStartFb = value; }
  double windowDuration() const { return segmentation.windowDurationSeconds; }
  void setWindowDuration(double value) { segmentation.windowDurationSeconds = value; }
  std::int64_t sampleRate() const { return segmentation.sampleRate; }
  void setSampleRate(std::int64_t value) { segmentation.sampleRate = value; }
  double segmentationStepRatio() const { return segmentation.stepRatio; }
  void setSegmentationStepRatio(double value) { segmentation.stepRatio = value; }
  double segmentationMinDurationOn() const { return segmentation.minDurationOn; }
  void setSegmentationMinDurationOn(double value) { segmentation.minDurationOn = value; }
  double segmentationMinDurationOff() const { return segmentation.minDurationOff; }
  void setSegmentationMinDurationOff(double value) { segmentation.minDurationOff = value; }
  float speechOnsetThreshold() const { return segmentation.speechOnsetThreshold; }
  void setSpeechOnsetThreshold(float value) { segmentation.speechOnsetThreshold = value; }
  float speechOffsetThreshold() const { return segmentation.speechOffsetThreshold; }
  void setSpeechOffsetThreshold(float value) { segmentation.speechOffsetThreshold = value; }
  std::int64_t embeddingBatchSize() const { return embedding.batchSize; }
  void setEmbeddingBatchSize(std::int64_t value) { embedding.batchSize = value; }
  bool embeddingExcludeOverlap() const { return embedding.excludeOverlap; }
  void setEmbeddingExcludeOverlap(bool value) { embedding.excludeOverlap = value; }
  EmbeddingSkipStrategy embeddingSkipStrategy() const { return embedding.skipStrategy; }
  void setEmbeddingSkipStrategy(EmbeddingSkipStrategy value) { embedding.skipStrategy = value; }
  double minSegmentDuration() const { return embedding.minSegmentDurationSeconds; }
  void setMinSegmentDuration(double value) { embedding.minSegmentDurationSeconds = value; }
  std::int64_t maxVBxIterations() const { return vbx.maxIterations; }
  void setMaxVBxIterations(std::int64_t value) { vbx.maxIterations = value; }
  double convergenceTolerance() const { return vbx.convergenceTolerance; }
  void setConvergenceTolerance(double value) { vbx.convergenceTolerance = value; }
  double minGapDuration() const { return postProcessing.minGapDurationSeconds; }
  void setMinGapDuration(double value) { postProcessing.minGapDurationSeconds = value; }
  bool exclusiveSegments() const { return postProcessing.exclusiveSegments; }
  void setExclusiveSegments(bool value) { postProcessing.exclusiveSegments = value; }
  const std::optional<std::string>& embeddingExportPath() const { return export_.embeddingsPath; }
  void setEmbeddingExportPath(std::optional<std::string> value) { export_.embeddingsPath = std::move(value); }

  // Samples per window: windowDurationSeconds × sampleRate in double precision, truncated toward
  // zero (0 for not-a-number, saturated at the 64-bit limits; validate() refuses such windows).
  std::int64_t samplesPerWindow() const;
  // Samples per hop: samplesPerWindow() × stepRatio, truncated toward zero, at least 1.
  std::int64_t samplesPerStep() const;

  // Checks the configuration, in order: clustering threshold, warm-start Fa/Fb, window duration,
  // sample rate, step ratio, samples per window, segmentation batch, embedding batch (> 0, then
  // <= 32), VBx iterations and tolerance, the non-negative durations, onset and offset thresholds.
  // Throws the first failing check's OfflineDiarizationError (invalidConfiguration, or
  // invalidBatchSize for the batches); a value that is not a number fails its checks.
  void validate() const;

  // A copy with the speaker-count bounds `min` and `max` and no exact count.
  OfflineDiarizerConfig withSpeakers(std::optional<std::int64_t> min, std::optional<std::int64_t> max) const;
  // A copy with exactly `exactly` speakers and no bounds.
  OfflineDiarizerConfig withSpeakers(std::int64_t exactly) const;

  bool operator==(const OfflineDiarizerConfig&) const = default;
};

}  // namespace tesselaudio
