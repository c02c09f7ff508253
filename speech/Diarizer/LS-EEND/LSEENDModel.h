#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <vector>

#include "platform/ml/MLComputeUnits.h"
#include "speech/Diarizer/LS-EEND/LSEENDMetadata.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/DownloadProgress.h"
#include "speech/Shared/ModelNames.h"

namespace platform {
class MLModel;
}

namespace tesselaudio {

class LSEENDInput;

// One loaded LS-EEND model with the configuration it carries. Immutable after loading and safe to
// share: predict() runs one call at a time under the model's lock.
//
//   auto model = LSEENDModel::loadFromHuggingFace(ModelNames::LSEEND::Variant::dihard3,
//                                                 ModelNames::LSEEND::StepSize::step100ms);
//   LSEENDInput input(model->metadata());
//   input.loadInputs(features, mask);
//   std::vector<float> probs = model->predict(input);   // frame-major, maxSpeakers per frame
class LSEENDModel {
 public:
  // Opens the compiled model folder with `computeUnits` and reads its "config" entry.
  // Throws the loader's error (UnsupportedModelFormatError for a bundle without model.onnx,
  // platform::MLModelError otherwise); LSEENDError::initializationFailed "No `config` found in model
  // metadata" when the entry is absent, or naming the field when the values give no state;
  // platform::JsonCodingError when the entry does not decode.
  LSEENDModel(const std::filesystem::path& modelURL, platform::MLComputeUnits computeUnits);
  ~LSEENDModel();
  LSEENDModel(const LSEENDModel&) = delete;
  LSEENDModel& operator=(const LSEENDModel&) = delete;

  // The model of `variant` at `stepSize` from <root>/<repository folder>/<path in the repository>,
  // root being `cacheDirectory` or the default models root (created when missing). A missing or
  // empty model folder is downloaded first (the repository's folder for that model only), with an
  // info line.
  // `progressHandler` receives the download's progress. The caller owns the result.
  // Throws the file system's error creating the root, the download's error, LSEENDError::
  // initializationFailed when the folder is still missing or empty afterwards, and the errors of loading.
  static std::unique_ptr<LSEENDModel> loadFromHuggingFace(
      ModelNames::LSEEND::Variant variant = ModelNames::LSEEND::defaultVariant,
      ModelNames::LSEEND::StepSize stepSize = ModelNames::LSEEND::defaultStep,
      const std::optional<std::filesystem::path>& cacheDirectory = std::nullopt,
      platform::MLComputeUnits computeUnits = platform::MLComputeUnits::cpuOnly,
      const ProgressHandler& progressHandler = {}, std::stop_token stop = {});

  // Runs the model on `input`, which receives the next state in place, and returns the speaker
  // probabilities of the chunk's frames after its warm-up: (chunkSize - warmupFrames) x maxSpeakers
  // values, frame-major; empty when every frame is warm-up.
  // Throws the runtime's platform::MLModelError, or LSEENDError::inferenceFailed when the
  // probabilities' innermost stride is not 1.
  // REQUIRES: `input` was made from this model's metadata.
  std::vector<float> predict(LSEENDInput& input) const;

  const LSEENDMetadata& metadata() const { return metadata_; }

  // The logger of the model, category "LS-EEND Model".
  static const AppLogger& logger();

 private:
  LSEENDMetadata metadata_;
  std::shared_ptr<platform::MLModel> model_;
  mutable std::mutex lock_;
};

}  // namespace tesselaudio
