#pragma once

// The Sortformer model contract. The network takes six inputs:
//   "chunk"            float32 [1, chunkMelFrames, melFeatures]  log-mel frames with context,
//                                                               zeros after the valid ones
//   "chunk_lengths"    int32 [1]                                 valid mel frames in "chunk"
//   "spkcache"         float32 [1, spkcacheLen, preEncoderDims]  speaker-cache embeddings
//   "spkcache_lengths" int32 [1]                                 valid cache frames
//   "fifo"             float32 [1, fifoLen, preEncoderDims]      FIFO embeddings
//   "fifo_lengths"     int32 [1]                                 valid FIFO frames
// and gives three outputs, each read under its "_out" name first and its plain name second:
//   "speaker_preds_out"              float32: numSpeakers per row; a row per valid cache frame, then
//                                    per valid FIFO frame, then per chunk frame, packed from row 0
//   "chunk_pre_encoder_lengths_out"  integer: element 0 is the number of valid chunk embeddings
//   "chunk_pre_encoder_embs_out"     float32 (or float16 under this name only): preEncoderDims per
//                                    frame, valid frames first
// The model's metadata.json may carry the chunk settings it was exported for in "creatorDefined":
// "chunk_len", "chunk_left_context", "chunk_right_context", "fifo_len", "spkcache_len", each a
// decimal integer text.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <vector>

#include "platform/ml/MLComputeUnits.h"
#include "platform/ml/MLModelConfiguration.h"
#include "speech/Diarizer/Sortformer/SortformerConfig.h"
#include "speech/Shared/Download/DownloadProgress.h"

namespace platform {
class MLModel;
class MLMultiArray;
}  // namespace platform

namespace tesselaudio {

class ANEMemoryOptimizer;

// A loaded streaming Sortformer model with its six input buffers, allocated once, 64-byte aligned
// and reused by every step. A value: copies share the model and the buffers. Loading is safe from
// any thread; inference steps on one set (and its copies) must not overlap, since each writes the
// shared buffers.
//
//   auto models = SortformerModels::load(config, "/models/Sortformer.mlpackage", {}, stop);
//   auto output = models.runMainModel(chunk.chunkFeatures, chunk.chunkLength, state.spkcache,
//                                     state.spkcacheLength, state.fifo, state.fifoLength, config);
struct SortformerModels {
  // The chunk settings a model file was exported for.
  struct EmbeddedConfig {
    std::int64_t chunkLen = 0;
    std::int64_t chunkLeftContext = 0;
    std::int64_t chunkRightContext = 0;
    std::int64_t fifoLen = 0;
    std::int64_t spkcacheLen = 0;

    bool operator==(const EmbeddedConfig&) const = default;
  };

  // One step's outputs, whole: the caller keeps the first chunkLength × preEncoderDims embedding
  // values.
  struct MainModelOutput {
    std::vector<float> predictions;
    std::vector<float> chunkEmbeddings;
    std::int64_t chunkLength = 0;
  };

  std::shared_ptr<const platform::MLModel> mainModel;
  // Seconds from the start of the load call until the model was ready (download included).
  double compilationDuration = 0;
  std::shared_ptr<ANEMemoryOptimizer> memoryOptimizer;
  std::shared_ptr<platform::MLMultiArray> chunkArray;           // "chunk"
  std::shared_ptr<platform::MLMultiArray> chunkLengthArray;     // "chunk_lengths"
  std::shared_ptr<platform::MLMultiArray> fifoArray;            // "fifo"
  std::shared_ptr<platform::MLMultiArray> fifoLengthArray;      // "fifo_lengths"
  std::shared_ptr<platform::MLMultiArray> spkcacheArray;        // "spkcache"
  std::shared_ptr<platform::MLMultiArray> spkcacheLengthArray;  // "spkcache_lengths"

  // Builds the set around a loaded model, with input buffers shaped by `config`. Throws
  // ANEMemoryError when a buffer cannot be allocated.
  // REQUIRES: main is not null.
  SortformerModels(const SortformerConfig& config, std::shared_ptr<const platform::MLModel> main,
                   double compilationDuration);

  // Compiles the uncompiled model at `mainModelPath` (a `.mlpackage`) and loads it with
  // `computeUnits`, or recommendedComputeUnits(config) when none are given. Throws the compiler's
  // or loader's MLModelError unchanged, ANEMemoryError for the buffers, CancellationError when
  // `stop` is requested before the model is ready.
  static SortformerModels load(const SortformerConfig& config,
                               const std::filesystem::path& mainModelPath,
                               std::optional<platform::MLComputeUnits> computeUnits,
                               std::stop_token stop);

  // Loads config.modelVariant's file at config.precision from the model hub into
  // `cacheDirectory` (default: the library's models folder), downloading what is missing; after a
  // failure that the cache may have caused, deletes the file and tries once more. Throws
  // SortformerError::modelLoadFailed("Unsupported Sortformer configuration") for a configuration
  // without a variant (before any request), the hub's download or load errors otherwise, and
  // CancellationError when `stop` is requested.
  static SortformerModels loadFromHuggingFace(
      const SortformerConfig& config, const std::optional<std::filesystem::path>& cacheDirectory,
      std::optional<platform::MLComputeUnits> computeUnits, ProgressHandler progressHandler,
      std::stop_token stop);

  // CPU only for the fp16 high-context variants on machines with less than 8 GiB of memory
  // (logging a warning), all units otherwise.
  static platform::MLComputeUnits recommendedComputeUnits(const SortformerConfig& config);

  // Low-precision GPU accumulation allowed; CPU and Neural Engine when the environment has "CI",
  // all units otherwise.
  static platform::MLModelConfiguration defaultConfiguration();

  // The chunk settings from the model's metadata, or none when any of the five keys is missing
  // or is not a decimal integer (optional sign) within 64 bits.
  std::optional<EmbeddedConfig> embeddedConfig() const;

  // Runs the model on one chunk. The features and embeddings are copied into the input buffers
  // (zeros after the given values), the counts into the length inputs. `config` is not used.
  // Throws SortformerError::inferenceFailed when an output is missing (the set stays usable) and
  // the runtime's MLModelError when the prediction fails.
  // REQUIRES: no other step runs on this set or a copy of it; the counts fit 32 bits.
  MainModelOutput runMainModel(std::span<const float> chunk, std::int64_t chunkLength,
                               std::span<const float> spkcache, std::int64_t spkcacheLength,
                               std::span<const float> fifo, std::int64_t fifoLength,
                               const SortformerConfig& config) const;
};

}  // namespace tesselaudio
