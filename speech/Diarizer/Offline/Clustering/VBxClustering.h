#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/sys/Signposter.h"
#include "speech/Diarizer/Offline/Clustering/PLDATransform.h"
#include "speech/Diarizer/Offline/Clustering/SpeakerCountConstraints.h"
#include "speech/Diarizer/Offline/Clustering/VBxOutput.h"
#include "speech/Diarizer/Offline/Core/OfflineDiarizerConfig.h"
#include "speech/Shared/AppLogger.h"

namespace tesselaudio {

namespace detail {

// The variational posterior on flat row-major matrices: gamma N × S, pi S, and the objective
// (ELBO) of each iteration run.
struct VBxPosterior {
  std::vector<double> gamma;
  std::vector<double> pi;
  std::vector<double> elbos;

  bool operator==(const VBxPosterior&) const = default;
};

// Throws ASRError::processingFailed ("VBx frame count", "VBx speaker count" or "VBx feature
// dimension" + " exceeds supported range") for the first of N, S and D beyond a signed 32-bit
// integer, the dimension type of the BLAS.
void checkBlasSizes(std::int64_t frameCount, std::int64_t speakerCount, std::int64_t dimension);

}  // namespace detail

// Refines agglomerative clusters by variational Bayes over PLDA features (VBx without transitions:
// a mixture of speakers with a Gaussian prior on each speaker's mean), and brings a clustering
// within speaker-count bounds by k-means. Reads Fa, Fb, the iteration limit and the tolerance of
// the configuration and the psi of the transform (its Phi). A value; any number of refinements may
// run at once.
//
//   VBxClustering vbx(config, plda);
//   auto output = vbx.refine(trainingRho, ahcLabels);
//   output = VBxClustering::applyConstraints(output, trainingEmbeddings, constraints);
class VBxClustering {
 public:
  // Logs under "OfflineVBx"; intervals under "tessel-audio.diarization", points of interest.
  VBxClustering(OfflineDiarizerConfig config, PLDATransform pldaTransform);
  VBxClustering(OfflineDiarizerConfig config, PLDATransform pldaTransform, AppLogger logger,
                platform::Signposter signposter);

  const OfflineDiarizerConfig& config() const { return config_; }
  const PLDATransform& pldaTransform() const { return pldaTransform_; }
  const AppLogger& logger() const { return logger_; }
  const platform::Signposter& signposter() const { return signposter_; }

  // The posterior of N rows of D features, warm-started from one-hot rows of `initialClusters`
  // (labels clamped into the S = number of distinct labels columns; uniform rows when there are no
  // labels) softened by a softmax at 7.0. Never throws:
  //   - no rows give the empty output; an empty first row the same with an error line;
  //   - a psi of another length than D is replaced by ones, with a warning;
  //   - rows of unequal length or sizes beyond the BLAS's 32 bits log an error and give the
  //     unsmoothed warm start with uniform pi and no ELBO values.
  VBxOutput refine(const std::vector<std::vector<double>>& rhoFeatures,
                   const std::vector<std::int64_t>& initialClusters) const;

  // The inference step of refine on flat matrices: the posterior, or, when N, S or D exceed the
  // BLAS's 32 bits, the error line "VBx failed to prepare BLAS arguments: <description>" and the
  // warm start `initialGamma` with pi of 1/S each and no ELBO values.
  // REQUIRES: features holds frameCount × dimension values, phi dimension values, initialGamma
  // frameCount × speakerCount values, unless a size is beyond 32 bits (checked before any read).
  detail::VBxPosterior posteriorOrWarmStart(std::span<const double> features, std::int64_t frameCount,
                                            std::int64_t dimension, std::span<const double> phi,
                                            std::span<const double> initialGamma,
                                            std::int64_t speakerCount) const;

  // `output` unchanged when there are no constraints or its cluster count lies within them: the
  // assigned count when that lies outside, else the active count. Otherwise the training
  // embeddings re-clustered by k-means to the nearer bound (best inertia of seeds 0 to 9, or seed
  // 0 alone when the target reaches the number of embeddings), with an info line; gamma, pi and
  // elbos stay those of `output`. Never throws.
  static VBxOutput applyConstraints(const VBxOutput& output, const std::vector<std::vector<double>>& trainingEmbeddings,
                                    const std::optional<SpeakerCountConstraints>& constraints);

 private:
  OfflineDiarizerConfig config_;
  PLDATransform pldaTransform_;
  AppLogger logger_;
  platform::Signposter signposter_;
};

}  // namespace tesselaudio
