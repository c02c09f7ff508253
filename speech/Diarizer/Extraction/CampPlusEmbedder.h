#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stop_token>
#include <vector>

#include "speech/Diarizer/Extraction/CampPlusModels.h"
#include "speech/Shared/Download/DownloadProgress.h"

namespace tesselaudio {

// Speaker embeddings from the CAM++ networks: samples (or an audio file) in, one unit-length
// embedding out. Embeddings run one at a time behind a mutex; safe from any thread.
//
//   auto embedder = CampPlusEmbedder::load(onProgress, stop);
//   float similarity = CampPlusEmbedder::cosine(embedder->embed(a), embedder->embed(b));
class CampPlusEmbedder {
 public:
  // The size of the embedding the network gives (the actual output is not checked against it).
  static constexpr std::size_t embeddingDim = 192;

  explicit CampPlusEmbedder(CampPlusModels models);
  CampPlusEmbedder(const CampPlusEmbedder&) = delete;
  CampPlusEmbedder& operator=(const CampPlusEmbedder&) = delete;

  // Downloads the models when missing, loads them and makes an embedder. Throws what
  // CampPlusModels::download and CampPlusModels::load throw.
  static std::unique_ptr<CampPlusEmbedder> load(const ProgressHandler& progressHandler = {},
                                                std::stop_token stop = {});

  // The unit-length embedding of mono 16 kHz samples (all zeros when the network gives zeros, empty
  // when it gives nothing). Throws ASRError::processingFailed when the preprocessor gives no
  // "features" or features that are not float32 of rank 3, or the network no "embedding"; the
  // runtime's prediction errors unchanged.
  std::vector<float> embed(const std::vector<float>& audio) const;

  // The same for an audio file, read and converted to 16 kHz mono first. Throws the converter's
  // errors unchanged, then as embed(audio).
  std::vector<float> embed(const std::filesystem::path& audioURL) const;

  // Sum of a[i] × b[i] over the indices both have, in single precision; 0 when `a` is empty. Equals
  // the cosine similarity for two embeddings of embed().
  static float cosine(const std::vector<float>& a, const std::vector<float>& b);

  const CampPlusModels& models() const { return models_; }

 private:
  // Constant after construction.
  const CampPlusModels models_;

  // Serialises the embeddings.
  mutable std::mutex mutex_;
  // Guarded by mutex_: the scaled waveform of the running call, kept (up to a minute of audio) to
  // spare a large allocation per call; nothing read from it outlives the call.
  mutable std::vector<float> waveform_;
};

}  // namespace tesselaudio
