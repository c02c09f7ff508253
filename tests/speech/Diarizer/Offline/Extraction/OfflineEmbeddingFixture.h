#pragma once

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLModel.h"
#include "speech/Diarizer/Offline/Clustering/PLDATransform.h"
#include "speech/Diarizer/Offline/Core/OfflineDiarizerConfig.h"
#include "speech/Diarizer/Offline/Core/OfflineDiarizerModels.h"
#include "speech/Diarizer/Offline/Extraction/OfflineEmbeddingExtractor.h"
#include "speech/Shared/AppLogger.h"
#include "tests/support/OfflineDiarizerModelBuilder.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {

// The offline stand-in models loaded from a fresh folder, and the log of the test.
class OfflineEmbeddingFixture : public testing::Test {
 protected:
  OfflineEmbeddingFixture() { AppLogger::setMirrorsToConsole(false); }
  ~OfflineEmbeddingFixture() override { AppLogger::setMirrorsToConsole(true); }

  std::shared_ptr<platform::MLModel> load(const testsupport::ModelBuilder& builder) {
    return std::make_shared<platform::MLModel>(builder.writeBundle(folder_.path()));
  }

  OfflineDiarizerModels standInModels() { return testsupport::loadOfflineStandIns(folder_.path()); }

  // An extractor over the stand-ins, with the PLDA stand-in unless `withPlda` is false.
  OfflineEmbeddingExtractor extractor(const OfflineDiarizerConfig& config = OfflineDiarizerConfig::default_(),
                                      bool withPlda = true) {
    if (!fbank_) fbank_ = load(testsupport::fbankModel());
    if (!embedding_) embedding_ = load(testsupport::embeddingModel());
    if (!plda_) plda_ = load(testsupport::pldaRhoModel());
    std::optional<PLDATransform> transform;
    if (withPlda) transform.emplace(plda_, std::vector<double>(testsupport::kRhoDimension, 1.0));
    auto made = OfflineEmbeddingExtractor::make(fbank_, embedding_, std::move(transform), config);
    EXPECT_TRUE(made.has_value());
    return std::move(*made);
  }

  std::vector<std::string> messages(const std::string& category) const {
    std::vector<std::string> out;
    for (const auto& record : log_.records()) {
      if (record.category == category) out.push_back(record.message);
    }
    return out;
  }

  bool logged(const std::string& category, const std::string& prefix) const {
    const auto all = messages(category);
    return std::any_of(all.begin(), all.end(), [&](const std::string& m) { return m.starts_with(prefix); });
  }

  testsupport::TemporaryFolder folder_;
  testsupport::SystemLogCapture log_;

 private:
  std::shared_ptr<platform::MLModel> fbank_, embedding_, plda_;
};

}  // namespace tesselaudio
