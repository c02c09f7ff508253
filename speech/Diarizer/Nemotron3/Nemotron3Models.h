#pragma once

// The Nemotron 3 model contract, with W = chunkEncFrames, T = packedFrames, s = subsamplingFactor,
// M = melFeatures, D = preEncoderDims, n = numSpeakers, U = upsampleFactor.
//
// Fused graph (run):
//   inputs  "chunk"             float32 [1, W·s, M]   mel frames of the chunk window, zero-padded
//           "chunk_lengths"     int32 [1]             valid mel frames
//           "spkcache"          float32 [1, spkcacheLen, D], "spkcache_lengths" int32 [1]
//           "fifo"              float32 [1, fifoLen, D],     "fifo_lengths" int32 [1]
//   outputs "speaker_preds"         [1, T, n]     80 ms probabilities
//           "speaker_preds_10ms"    [1, T·U, n]   the same at 10 ms
//           "chunk_pre_encode_embs" [1, W, D]     the window's encoder-frame embeddings
// Split graph (runSplit):
//   inputs  "packed" float32 [1, T, D]; "attn_bias" float32 [1, 1, 1, T] (0 used, −30000 padding);
//           "output_mask" float32 [1, T, 1] (1 used, 0 padding)
//   outputs "speaker_preds", "speaker_preds_10ms" as above
// Output rows: the spkcacheLength cache rows, the fifoLength FIFO rows, the window's rows (left
// context first), then padding up to T (T·U at 10 ms). Outputs are float32 or float16, as the model
// declares them (float16 when it declares nothing).
//
// Cache layout of loadFromHuggingFace, below the models root:
//   nemotron-3-diarization/                        the repository folder
//     monolithic/v2/<modelFileName>/ or split/<modelFileName>/
//     learnable_sil_emb.bin                        D little-endian float32 values
//     pre_encode_proj_t.bin                        1024 × 512 float32, row-major (split graph only)
//     .tesselaudio-nemotron3-weights               "ga-2026-09-23\n": the weights' release tag

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/ml/MLComputeUnits.h"
#include "speech/Diarizer/Nemotron3/Nemotron3Config.h"
#include "speech/Diarizer/Nemotron3/Nemotron3StreamingState.h"
#include "speech/Shared/Download/DownloadProgress.h"

namespace platform {
class MLFeatureProvider;
class MLModel;
class MLMultiArray;
struct MLPredictionOptions;
}  // namespace platform

namespace tesselaudio {

class ANEMemoryOptimizer;

// A loaded Nemotron 3 diarization model with its assets, its input buffers (allocated once, 64-byte
// aligned) and output buffers handed to the runtime as output backings. A value whose buffers and
// prediction options are shared by its copies: only one run may be in flight on a set and its
// copies. Loading is safe from any thread.
//
//   auto models = Nemotron3Models::loadFromHuggingFace(Nemotron3Config::offline(), {},
//                                                      platform::MLComputeUnits::all, {}, stop);
//   Nemotron3StreamingState state(config);
//   auto output = models.run(chunk, chunkLength, state, config);
struct Nemotron3Models {
  // One chunk's outputs, read back into flat frame-major arrays.
  struct Output {
    // "speaker_preds": T × n values.
    std::vector<float> predictions;
    // "speaker_preds_10ms": T·U × n values.
    std::vector<float> highResPredictions;
    // The window's embeddings, W × D values (from the model, or the projection for a split graph).
    std::vector<float> chunkEmbeddings;
    // Valid encoder frames: the mel-frame length passed in, divided by s and rounded up.
    std::int64_t chunkLength = 0;
    double inputPrepSeconds = 0;
    double predictSeconds = 0;
    double readbackSeconds = 0;
  };

  Nemotron3Config config;
  std::shared_ptr<const platform::MLModel> model;
  // The learned silence embedding, D values.
  std::vector<float> silenceEmbedding;
  // 1024 × D values, row-major; split graph only.
  std::optional<std::vector<float>> preEncodeProjection;
  // Seconds that loading took (compile, model load and asset reads).
  double compilationDuration = 0;
  std::shared_ptr<platform::MLMultiArray> chunkArray;           // "chunk"
  std::shared_ptr<platform::MLMultiArray> chunkLengthArray;     // "chunk_lengths"
  std::shared_ptr<platform::MLMultiArray> spkcacheArray;        // "spkcache"
  std::shared_ptr<platform::MLMultiArray> spkcacheLengthArray;  // "spkcache_lengths"
  std::shared_ptr<platform::MLMultiArray> fifoArray;            // "fifo"
  std::shared_ptr<platform::MLMultiArray> fifoLengthArray;      // "fifo_lengths"
  std::shared_ptr<platform::MLMultiArray> packedArray;          // "packed"; split graph only
  std::shared_ptr<platform::MLMultiArray> attnBiasArray;        // "attn_bias"; split graph only
  std::shared_ptr<platform::MLMultiArray> outputMaskArray;      // "output_mask"; split graph only
  std::shared_ptr<ANEMemoryOptimizer> memoryOptimizer;
  std::shared_ptr<platform::MLMultiArray> predsBacking;         // "speaker_preds"
  std::shared_ptr<platform::MLMultiArray> hiresBacking;         // "speaker_preds_10ms"
  std::shared_ptr<platform::MLMultiArray> embsBacking;          // "chunk_pre_encode_embs"; fused only
  // Carries the backings until a prediction rejects them; shared by every copy.
  std::shared_ptr<platform::MLPredictionOptions> predictionOptions;

  // Allocates the buffers for `config` around a loaded model. Throws ANEMemoryError or
  // platform::MLModelError when a buffer cannot be allocated.
  // REQUIRES: model is not null.
  Nemotron3Models(const Nemotron3Config& config, std::shared_ptr<const platform::MLModel> model,
                  std::vector<float> silenceEmbedding, std::optional<std::vector<float>> preEncodeProjection,
                  double compilationDuration);

  // Runs one chunk window through a fused-graph model. `chunk`: W·s mel frames of M values,
  // frame-major, zero-padded after the `chunkLength` valid ones. The state is read, never changed.
  // Throws Nemotron3Error::invalidState when the chunk, the state or `config` do not fit the
  // configuration the set was built for (nothing runs then); Nemotron3Error::inferenceFailed
  // ("Missing chunk_pre_encode_embs output") when the model gives no embeddings and the set has no
  // embeddings backing; the runtime's error when the prediction fails (after one retry without
  // backings when backings were set).
  Output run(std::span<const float> chunk, std::int64_t chunkLength, const Nemotron3StreamingState& state,
             const Nemotron3Config& config) const;

  // The same through a split-graph model: the program computes the window's embeddings with the
  // projection and packs the valid cache, FIFO and chunk rows into "packed". Throws
  // Nemotron3Error::invalidState("runSplit called on a non-split configuration") before anything
  // else on a set without the split buffers or the projection; otherwise as run().
  Output runSplit(std::span<const float> chunk, std::int64_t chunkLength, const Nemotron3StreamingState& state,
                  const Nemotron3Config& config) const;

  // The array's elements in logical row-major order (1 element for an empty shape), whatever its
  // strides and element type. Contiguous and row-strided float32 and float16 arrays are copied
  // row by row; anything else element by element.
  static std::vector<float> floats(const platform::MLMultiArray& array);

  // Finds or downloads config's model and assets in `cacheDirectory` (default: the library's
  // models root) / "nemotron-3-diarization", first deleting a cache whose weights marker is not
  // this release's, then loads them with `computeUnits`. `progressHandler` sees the model download
  // only. Writes the marker after the downloads (a failure to write it is ignored).
  // Throws the file system's error when a stale cache cannot be removed, the hub's download error
  // unchanged (no marker written then), and whatever load() throws. Deletes nothing on a load error.
  static Nemotron3Models loadFromHuggingFace(const Nemotron3Config& config,
                                             const std::optional<std::filesystem::path>& cacheDirectory,
                                             platform::MLComputeUnits computeUnits,
                                             const ProgressHandler& progressHandler = {}, std::stop_token stop = {});

  // Loads directory / config.modelFileName (compiling directory / <name>.mlpackage when only the
  // package is there) and the assets in `directory`; no network.
  // Throws Nemotron3Error::modelLoadFailed when neither model nor package exists or an asset is
  // missing or of the wrong size; UnsupportedModelFormatError for a bundle without model.onnx;
  // the runtime's compile or load error unchanged.
  static Nemotron3Models load(const Nemotron3Config& config, const std::filesystem::path& directory,
                              platform::MLComputeUnits computeUnits, std::stop_token stop = {});

 private:
  // The loading step of both entry points.
  static Nemotron3Models loadModelAndAssets(const Nemotron3Config& config, const std::filesystem::path& modelURL,
                                            const std::filesystem::path& assetsDirectory,
                                            platform::MLComputeUnits computeUnits, std::stop_token stop);
  // Deletes `folder` unless its weights marker names this release. Throws the file system's error.
  static void discardStaleCache(const std::filesystem::path& folder);

  // Refuses a call whose inputs the buffers cannot take. `chunkValues`: values read from the chunk.
  void checkCall(std::span<const float> chunk, std::int64_t chunkLength, const Nemotron3StreamingState& state,
                 const Nemotron3Config& config, std::int64_t chunkValues) const;
  // One prediction with the shared options; without backings once they have been rejected.
  std::unique_ptr<platform::MLFeatureProvider> predict(const platform::MLFeatureProvider& features) const;
  // Predicts on `inputs` and reads both prediction outputs into `output`, with the three timings
  // (input preparation counted from `start`). Returns the result for further outputs.
  std::unique_ptr<platform::MLFeatureProvider> predictAndReadBack(
      const std::map<std::string, std::shared_ptr<platform::MLMultiArray>>& inputs,
      std::chrono::steady_clock::time_point start, Output& output) const;
};

}  // namespace tesselaudio
