#include "speech/Diarizer/Offline/Clustering/VBxClustering.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <numeric>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "platform/dsp/VectorOps.h"
#include "platform/text/DoubleText.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/Diarizer/Offline/Clustering/KMeansClustering.h"

namespace tesselaudio {

namespace detail {

void checkBlasSizes(std::int64_t frameCount, std::int64_t speakerCount, std::int64_t dimension) {
  constexpr std::int64_t kLimit = std::numeric_limits<std::int32_t>::max();
  for (const auto& [size, subject] : {std::pair{frameCount, "VBx frame count"}, std::pair{speakerCount, "VBx speaker count"},
                                      std::pair{dimension, "VBx feature dimension"}}) {
    if (size < 0 || size > kLimit) throw ASRError::processingFailed(std::string(subject) + " exceeds supported range");
  }
}

}  // namespace detail

namespace {

using platform::dsp::Transpose;
using Matrix = std::vector<std::vector<double>>;

constexpr double kInitSmoothing = 7.0;
constexpr double kLogTwoPi = 1.8378770664093453;
constexpr double kPhiFloor = 1e-12;
constexpr double kPrecisionFloor = 1e-12;
constexpr double kInversePrecisionCap = 1e12;
constexpr double kWeightFloor = 1e-8;
constexpr int kConstraintSeeds = 10;
constexpr std::int64_t kConstraintIterations = 100;

const AppLogger& constraintLogger() {
  static const AppLogger instance("OfflineVBx");
  return instance;
}

bool usableSum(double sum) { return sum > 0.0 && std::isfinite(sum); }

// Divides the values by their sum when that is positive and finite, else makes them uniform.
void normalizeOrUniform(std::span<double> values) {
  const double sum = std::accumulate(values.begin(), values.end(), 0.0);
  if (usableSum(sum)) {
    for (double& v : values) v /= sum;
  } else {
    std::fill(values.begin(), values.end(), 1.0 / static_cast<double>(values.size()));
  }
}

// Each row replaced by the softmax of row × smoothing, then normalised once more.
void smoothRows(std::vector<double>& gamma, int speakers, double smoothing) {
  for (std::size_t start = 0; start < gamma.size(); start += static_cast<std::size_t>(speakers)) {
    const std::span<double> row(gamma.data() + start, static_cast<std::size_t>(speakers));
    if (smoothing >= 0.0) {
      for (double& v : row) v *= smoothing;
      const double largest = *std::max_element(row.begin(), row.end());
      for (double& v : row) v = std::exp(v - largest);
      normalizeOrUniform(row);
    }
    normalizeOrUniform(row);
  }
}

struct VBxProblem {
  std::span<const double> features;  // X, N × D
  int frames;                        // N
  int dimension;                     // D
  int speakers;                      // S
  std::vector<double> phi;           // Phi', D
};

// One iteration's posterior of the speaker means and the objective's terms that depend on it.
struct SpeakerModel {
  std::vector<double> invL;   // S × D
  std::vector<double> alpha;  // S × D
};

SpeakerModel speakerModel(const VBxProblem& p, const std::vector<double>& rho, const std::vector<double>& gamma,
                          const std::vector<double>& ones, double ratio) {
  const auto S = static_cast<std::size_t>(p.speakers), D = static_cast<std::size_t>(p.dimension);
  std::vector<double> occupancy(S);
  platform::dsp::matrixVector(gamma, p.frames, p.speakers, ones, occupancy, Transpose::transposed);
  SpeakerModel model{std::vector<double>(S * D), std::vector<double>(S * D)};
  platform::dsp::matrixMultiply(gamma, rho, model.alpha, p.speakers, p.frames, p.dimension, Transpose::transposed);
  for (std::size_t s = 0; s < S; ++s) {
    for (std::size_t d = 0; d < D; ++d) {
      const double den = 1.0 + ratio * occupancy[s] * p.phi[d];
      const double invL = den <= kPrecisionFloor ? kInversePrecisionCap : 1.0 / den;
      model.invL[s * D + d] = invL;
      model.alpha[s * D + d] *= ratio * invL;
    }
  }
  return model;
}

// Log-likelihood of every row under every speaker: Fa × (rho · alphaᵀ − q / 2 + G).
std::vector<double> logLikelihoods(const VBxProblem& p, const std::vector<double>& rho, const std::vector<double>& g,
                                   const SpeakerModel& model, double Fa) {
  const auto S = static_cast<std::size_t>(p.speakers), D = static_cast<std::size_t>(p.dimension);
  std::vector<double> penalty(S, 0.0);
  for (std::size_t s = 0; s < S; ++s) {
    for (std::size_t d = 0; d < D; ++d) {
      const double a = model.alpha[s * D + d];
      penalty[s] += (a * a + model.invL[s * D + d]) * p.phi[d];
    }
  }
  std::vector<double> logp(static_cast<std::size_t>(p.frames) * S);
  platform::dsp::matrixMultiply(rho, model.alpha, logp, p.frames, p.dimension, p.speakers, Transpose::none,
                                Transpose::transposed);
  for (std::size_t n = 0; n < static_cast<std::size_t>(p.frames); ++n) {
    for (std::size_t s = 0; s < S; ++s) {
      double& value = logp[n * S + s];
      value = Fa * (value - 0.5 * penalty[s] + g[n]);
    }
  }
  return logp;
}

// New responsibilities from the log-likelihoods and the prior; returns Σ log-sum-exp of the rows.
double updateResponsibilities(const VBxProblem& p, const std::vector<double>& logp, const std::vector<double>& pi,
                              std::vector<double>& gamma) {
  const auto S = static_cast<std::size_t>(p.speakers);
  std::vector<double> logPrior(S);
  for (std::size_t s = 0; s < S; ++s) logPrior[s] = std::log(std::max(pi[s], kWeightFloor));
  double total = 0.0;
  for (std::size_t start = 0; start < gamma.size(); start += S) {
    const std::span<double> row(gamma.data() + start, S);
    for (std::size_t s = 0; s < S; ++s) row[s] = logp[start + s] + logPrior[s];
    const double largest = *std::max_element(row.begin(), row.end());
    for (double& v : row) v = std::exp(v - largest);
    const double z = std::accumulate(row.begin(), row.end(), 0.0);
    if (usableSum(z)) {
      for (double& v : row) v /= z;
      total += largest + std::log(z);
    } else {
      std::fill(row.begin(), row.end(), 1.0 / static_cast<double>(S));
      total += largest;
    }
  }
  return total;
}

double elbo(double logSumExpTotal, const SpeakerModel& model, const VBxProblem& p, double Fb) {
  double terms = static_cast<double>(p.dimension) * static_cast<double>(p.speakers);
  for (std::size_t i = 0; i < model.invL.size(); ++i) {
    terms += std::log(model.invL[i]) - model.invL[i] - model.alpha[i] * model.alpha[i];
  }
  return logSumExpTotal + Fb / 2.0 * terms;
}

detail::VBxPosterior runVBx(std::span<const double> features, std::int64_t frameCount, std::int64_t dimension,
                            std::span<const double> phi, std::span<const double> initialGamma,
                            std::int64_t speakerCount, std::int64_t maxIterations, double epsilon, double Fa,
                            double Fb, double initSmoothing) {
  detail::checkBlasSizes(frameCount, speakerCount, dimension);
  VBxProblem p{features, static_cast<int>(frameCount), static_cast<int>(dimension), static_cast<int>(speakerCount),
               std::vector<double>(phi.begin(), phi.end())};
  const auto N = static_cast<std::size_t>(frameCount), D = static_cast<std::size_t>(dimension);
  const auto S = static_cast<std::size_t>(speakerCount);

  std::vector<double> gamma(initialGamma.begin(), initialGamma.end());
  smoothRows(gamma, p.speakers, initSmoothing);
  std::vector<double> pi(S, 1.0 / static_cast<double>(S));
  for (double& value : p.phi) value = std::max(value, kPhiFloor);
  std::vector<double> rho(N * D), g(N), ones(N, 1.0);
  for (std::size_t n = 0; n < N; ++n) {
    double squares = 0.0;
    for (std::size_t d = 0; d < D; ++d) {
      const double x = features[n * D + d];
      rho[n * D + d] = x * std::sqrt(p.phi[d]);
      squares += x * x;
    }
    g[n] = -0.5 * (static_cast<double>(D) * kLogTwoPi + squares);
  }

  std::vector<double> elbos(static_cast<std::size_t>(std::max<std::int64_t>(maxIterations, 1)), 0.0);
  std::size_t iterationsRun = 0;
  const double ratio = Fa / Fb;
  for (std::int64_t ii = 0; ii < maxIterations; ++ii) {
    const SpeakerModel model = speakerModel(p, rho, gamma, ones, ratio);
    const auto logp = logLikelihoods(p, rho, g, model, Fa);
    const double logSumExpTotal = updateResponsibilities(p, logp, pi, gamma);
    platform::dsp::matrixVector(gamma, p.frames, p.speakers, ones, pi, Transpose::transposed);
    normalizeOrUniform(pi);
    elbos[static_cast<std::size_t>(ii)] = elbo(logSumExpTotal, model, p, Fb);
    iterationsRun = static_cast<std::size_t>(ii) + 1;
    if (ii > 0 && std::abs(elbos[static_cast<std::size_t>(ii)] - elbos[static_cast<std::size_t>(ii) - 1]) < epsilon) {
      break;
    }
  }
  elbos.resize(iterationsRun);
  return {std::move(gamma), std::move(pi), std::move(elbos)};
}

std::string histogramText(const std::vector<std::int64_t>& labels) {
  std::map<std::int64_t, std::int64_t> counts;
  for (std::int64_t label : labels) ++counts[label];
  std::string text = "[";
  for (const auto& [label, count] : counts) {
    if (text.size() > 1) text += ", ";
    text += fmt::format("{}: {}", label, count);
  }
  return text + "]";
}

std::vector<std::int64_t> hardLabels(const Matrix& gamma) {
  std::vector<std::int64_t> labels;
  labels.reserve(gamma.size());
  for (const auto& row : gamma) {
    std::size_t best = 0;
    for (std::size_t s = 1; s < row.size(); ++s) {
      if (row[s] > row[best]) best = s;
    }
    labels.push_back(static_cast<std::int64_t>(best));
  }
  return labels;
}

// One-hot rows of the labels, clamped into the columns; rows without a label stay zeros. Without
// labels every entry is 1/S.
std::vector<double> warmStartGamma(const std::vector<std::int64_t>& labels, std::size_t frameCount,
                                   std::size_t speakerCount) {
  std::vector<double> gamma(frameCount * speakerCount, labels.empty() ? 1.0 / static_cast<double>(speakerCount) : 0.0);
  for (std::size_t j = 0; j < std::min(frameCount, labels.size()); ++j) {
    const auto column = std::clamp<std::int64_t>(labels[j], 0, static_cast<std::int64_t>(speakerCount) - 1);
    gamma[j * speakerCount + static_cast<std::size_t>(column)] = 1.0;
  }
  return gamma;
}

// What refine returns when the inference cannot run: the warm start as it is, uniform weights and
// no objective.
detail::VBxPosterior warmStartPosterior(std::span<const double> gamma, std::size_t speakerCount) {
  return {std::vector<double>(gamma.begin(), gamma.end()),
          std::vector<double>(speakerCount, 1.0 / static_cast<double>(speakerCount)), {}};
}

void logMixtureWeights(const std::vector<double>& pi, const AppLogger& logger) {
  if (pi.empty()) {
    logger.debug("VBx mixture weights unavailable");
    return;
  }
  const auto [low, high] = std::minmax_element(pi.begin(), pi.end());
  logger.debug(fmt::format("VBx mixture weights \u2013 min: {}, max: {}, count: {}", platform::text::shortestDouble(*low),
                           platform::text::shortestDouble(*high), pi.size()));
}

Matrix reshapeGamma(const std::vector<double>& flat, std::size_t frameCount, std::size_t speakerCount) {
  Matrix rows(frameCount);
  for (std::size_t r = 0; r < frameCount; ++r) {
    rows[r].assign(flat.begin() + static_cast<std::ptrdiff_t>(r * speakerCount),
                   flat.begin() + static_cast<std::ptrdiff_t>((r + 1) * speakerCount));
  }
  return rows;
}

double inertia(const KMeansClustering::Result& result, const Matrix& normalized) {
  double total = 0.0;
  for (std::size_t i = 0; i < normalized.size() && i < result.clusters.size(); ++i) {
    const std::int64_t label = result.clusters[i];
    if (label < 0 || label >= static_cast<std::int64_t>(result.centroids.size())) continue;
    const auto& centroid = result.centroids[static_cast<std::size_t>(label)];
    if (centroid.size() != normalized[i].size()) {
      total += std::numeric_limits<double>::max();
      continue;
    }
    for (std::size_t d = 0; d < centroid.size(); ++d) {
      const double difference = normalized[i][d] - centroid[d];
      total += difference * difference;
    }
  }
  return total;
}

KMeansClustering::Result bestOfSeeds(const Matrix& embeddings, std::int64_t target) {
  const Matrix normalized = KMeansClustering::normalizeEmbeddings(embeddings);
  std::optional<KMeansClustering::Result> best;
  double bestInertia = 0.0;
  for (int seed = 0; seed < kConstraintSeeds; ++seed) {
    auto result = KMeansClustering::clusterWithCentroids(embeddings, target, kConstraintIterations,
                                                         static_cast<std::uint64_t>(seed));
    const double value = inertia(result, normalized);
    if (!best || value < bestInertia) {
      bestInertia = value;
      best = std::move(result);
    }
  }
  if (!best) return KMeansClustering::clusterWithCentroids(embeddings, target, kConstraintIterations, 0);
  return *std::move(best);
}

}  // namespace

VBxClustering::VBxClustering(OfflineDiarizerConfig config, PLDATransform pldaTransform)
    : VBxClustering(std::move(config), std::move(pldaTransform), AppLogger("OfflineVBx"),
                    platform::Signposter("tessel-audio.diarization", platform::Signposter::pointsOfInterest)) {}

VBxClustering::VBxClustering(OfflineDiarizerConfig config, PLDATransform pldaTransform, AppLogger logger,
                             platform::Signposter signposter)
    : config_(std::move(config)),
      pldaTransform_(std::move(pldaTransform)),
      logger_(std::move(logger)),
      signposter_(std::move(signposter)) {}

detail::VBxPosterior VBxClustering::posteriorOrWarmStart(std::span<const double> features, std::int64_t frameCount,
                                                         std::int64_t dimension, std::span<const double> phi,
                                                         std::span<const double> initialGamma,
                                                         std::int64_t speakerCount) const {
  try {
    return runVBx(features, frameCount, dimension, phi, initialGamma, speakerCount, config_.vbx.maxIterations,
                  config_.vbx.convergenceTolerance, config_.clustering.warmStartFa, config_.clustering.warmStartFb,
                  kInitSmoothing);
  } catch (const ASRError& error) {
    logger_.error("VBx failed to prepare BLAS arguments: " + error.description());
  }
  return warmStartPosterior(initialGamma, static_cast<std::size_t>(std::max<std::int64_t>(speakerCount, 1)));
}

VBxOutput VBxClustering::refine(const std::vector<std::vector<double>>& rhoFeatures,
                                const std::vector<std::int64_t>& initialClusters) const {
  const std::size_t N = rhoFeatures.size();
  if (N == 0) return {};
  const std::size_t D = rhoFeatures.front().size();
  if (D == 0) {
    logger_.error("VBx received empty feature vectors");
    return {};
  }
  auto interval = signposter_.beginInterval("VBx Clustering Algorithm");

  std::vector<double> phi = pldaTransform_.psi();
  if (phi.size() != D) {
    logger_.warning(fmt::format("PLDA psi dimension ({}) mismatches rho dimension ({}); falling back to identity",
                                phi.size(), D));
    phi.assign(D, 1.0);
  }
  const auto distinct = std::set<std::int64_t>(initialClusters.begin(), initialClusters.end()).size();
  const std::size_t S = std::max<std::size_t>(distinct, 1);
  logger_.debug(fmt::format("VBx warm start clusters: {} histogram: {}", S, histogramText(initialClusters)));

  const std::vector<double> gamma = warmStartGamma(initialClusters, N, S);

  detail::VBxPosterior posterior;
  const auto unequal = std::find_if(rhoFeatures.begin(), rhoFeatures.end(), [&](const auto& row) { return row.size() != D; });
  if (unequal != rhoFeatures.end()) {
    logger_.error(fmt::format("VBx received feature rows of unequal length: row {} has {} values, the first has {}",
                              unequal - rhoFeatures.begin(), unequal->size(), D));
    posterior = warmStartPosterior(gamma, S);
  } else {
    std::vector<double> features;
    features.reserve(N * D);
    for (const auto& row : rhoFeatures) features.insert(features.end(), row.begin(), row.end());
    posterior = posteriorOrWarmStart(features, static_cast<std::int64_t>(N), static_cast<std::int64_t>(D), phi, gamma,
                                     static_cast<std::int64_t>(S));
  }

  Matrix rows = reshapeGamma(posterior.gamma, N, S);
  auto labels = hardLabels(rows);
  logMixtureWeights(posterior.pi, logger_);
  return VBxOutput{std::move(rows), std::move(posterior.pi), {std::move(labels)}, {}, static_cast<std::int64_t>(S),
                   std::move(posterior.elbos), false, std::nullopt};
}

VBxOutput VBxClustering::applyConstraints(const VBxOutput& output, const Matrix& trainingEmbeddings,
                                          const std::optional<SpeakerCountConstraints>& constraints) {
  if (!constraints) return output;
  const std::int64_t lower = constraints->minSpeakers, upper = constraints->maxSpeakers;
  const auto within = [&](std::int64_t count) { return count >= lower && count <= upper; };
  const std::int64_t assigned = output.assignedClusterCount();
  const std::int64_t count = within(assigned) ? output.activeClusterCount() : assigned;
  if (within(count)) return output;

  const std::int64_t target = count < lower ? lower : upper;
  constraintLogger().info(
      fmt::format("Speaker count {} outside bounds [{}, {}]; re-clustering to {}", count, lower, upper, target));
  auto result = target < static_cast<std::int64_t>(trainingEmbeddings.size())
                    ? bestOfSeeds(trainingEmbeddings, target)
                    : KMeansClustering::clusterWithCentroids(trainingEmbeddings, target, kConstraintIterations, 0);
  return VBxOutput{output.gamma, output.pi,   {std::move(result.clusters)}, std::move(result.centroids),
                   target,       output.elbos, true,                          count};
}

}  // namespace tesselaudio
