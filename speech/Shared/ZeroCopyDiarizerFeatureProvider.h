#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/ml/MLFeatureProvider.h"
#include "platform/ml/MLFeatureValue.h"
#include "platform/ml/MLMultiArray.h"

namespace tesselaudio {

// The diarizers' feature provider over a prepared map of names to values: hands prepared arrays to
// a model, chains one model's output into the next model's inputs by reference, and makes batches
// of ("waveform", "mask") inputs. Immutable; safe to read from any thread.
class ZeroCopyDiarizerFeatureProvider : public platform::MLFeatureProvider {
 public:
  using Features = std::map<std::string, std::shared_ptr<const platform::MLFeatureValue>>;

  explicit ZeroCopyDiarizerFeatureProvider(Features features);

  const Features& features() const { return features_; }

  std::set<std::string> featureNames() const override;
  std::shared_ptr<const platform::MLFeatureValue> featureValue(const std::string& featureName) const override;

  // A provider holding `additionalFeatures` with `from`'s value named `outputName` put under `to`
  // (replacing an entry of that name), or null when `from` has no such value.
  static std::unique_ptr<ZeroCopyDiarizerFeatureProvider> chain(const platform::MLFeatureProvider& from,
                                                                const std::string& outputName,
                                                                const std::string& to,
                                                                Features additionalFeatures = {});

  // One provider per index up to the shorter list, in order, each with "waveform" and "mask" wrapping
  // the two arrays (no copy).
  static std::vector<std::unique_ptr<ZeroCopyDiarizerFeatureProvider>> batchProvider(
      const std::vector<std::shared_ptr<platform::MLMultiArray>>& waveforms,
      const std::vector<std::shared_ptr<platform::MLMultiArray>>& masks);

 private:
  const Features features_;
};

}  // namespace tesselaudio
