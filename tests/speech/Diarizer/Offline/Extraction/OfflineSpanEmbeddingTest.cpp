#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLModelError.h"
#include "platform/sys/CancellationError.h"
#include "speech/Diarizer/Offline/Core/OfflineDiarizationError.h"
#include "speech/Diarizer/Offline/Extraction/OfflineEmbeddingExtractor.h"
#include "speech/Shared/ArrayAudioSampleSource.h"
#include "tests/speech/Diarizer/Offline/Extraction/OfflineEmbeddingFixture.h"

namespace tesselaudio {
namespace {

using Code = OfflineDiarizationError::Code;
using Span = OfflineEmbeddingExtractor::Span;
using testsupport::ElementType;
using testsupport::ModelBuilder;
using testsupport::TensorValue;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Sample i holds i + 1, so no sample is zero and a probe's value names the sample it saw.
std::vector<float> countingSamples(std::int64_t seconds) {
  std::vector<float> samples(static_cast<std::size_t>(seconds * 16000));
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<float>(i + 1);
  return samples;
}

// The value that sample `index` holds.
float sample(std::int64_t index) { return static_cast<float>(index + 1); }

// "FBank" that fails on every call: 160,000 samples cannot take the shape [1, 7].
ModelBuilder failingFbankModel() {
  ModelBuilder model("FBank");
  model.input("audio", ElementType::float32, {1, 1, 160000})
      .output("fbank_features", ElementType::float32, {1, 1, 1, 589})
      .initializer("badShape", TensorValue::int64s({1, 7}))
      .node("Reshape", {"audio", "badShape"}, {"fbank_features"});
  return model;
}

// 30 s of counting samples, embedded by the probe FBANK (window positions `positions`) and the echo
// embedding: each embedding value is the mean, over the span's pieces, of the sample one window
// position held.
class OfflineSpanEmbeddingTest : public OfflineEmbeddingFixture {
 protected:
  OfflineSpanEmbeddingTest() : source_(countingSamples(30)) {}

  OfflineEmbeddingExtractor probe(const std::vector<std::int64_t>& positions,
                                  const OfflineDiarizerConfig& config = OfflineDiarizerConfig::default_()) {
    return made(testsupport::probeFbankModel(positions), config);
  }

  OfflineEmbeddingExtractor made(const ModelBuilder& fbank,
                                 const OfflineDiarizerConfig& config = OfflineDiarizerConfig::default_()) {
    auto extractor =
        OfflineEmbeddingExtractor::make(load(fbank), load(testsupport::echoEmbeddingModel()), std::nullopt, config);
    EXPECT_TRUE(extractor.has_value());
    return std::move(*extractor);
  }

  // The error `body` throws, or none.
  template <class Body>
  static std::optional<OfflineDiarizationError> thrown(Body body) {
    try {
      body();
    } catch (const OfflineDiarizationError& e) {
      return e;
    }
    return std::nullopt;
  }

  ArrayAudioSampleSource source_;
};

TEST_F(OfflineSpanEmbeddingTest, BadSpansFailWithTheirTexts) {
  struct Case {
    const char* name;
    double start, end;
    Code code;
    const char* message;
  };
  const Case cases[] = {
      {"empty", 1.0, 1.0, Code::processingFailed, "embedSpan: empty span [1.0s, 1.0s)"},
      {"belowOneSample", 1.0, 1.00001, Code::processingFailed, "embedSpan: empty span [1.0s, 1.00001s)"},
      {"reversed", 12.0, 10.0, Code::invalidSpan, "span [12.0s, 10.0s) ends before it starts"},
      {"afterTheEnd", 30.0, 31.0, Code::invalidSpan, "span [30.0s, 31.0s) starts after the audio ends (30.0s)"},
      {"notANumberEnd", 1.0, kNaN, Code::invalidSpan, "span [1.0s, nans) is not finite"},
      {"infiniteStart", -kInfinity, 1.0, Code::invalidSpan, "span [-infs, 1.0s) is not finite"},
      {"infiniteEnd", 1.0, kInfinity, Code::invalidSpan, "span [1.0s, infs) is not finite"},
  };
  const auto extractor = probe({0});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto error = thrown([&] { extractor.embedSpan(source_, c.start, c.end); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->errorCode(), c.code);
    EXPECT_EQ(error->message(), c.message);
    const auto listed = thrown([&] { extractor.embedSpans(source_, {{c.start, c.end}}); });
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->message(), c.message);
  }
}

TEST_F(OfflineSpanEmbeddingTest, FirstBadSpanFailsTheWholeList) {
  const auto extractor = probe({0});
  const auto error =
      thrown([&] { extractor.embedSpans(source_, {{0.0, 4.0}, {12.0, 10.0}, {30.0, 31.0}, {5.0, 6.0}}); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description(), "Invalid span: span [12.0s, 10.0s) ends before it starts");
}

TEST_F(OfflineSpanEmbeddingTest, SpansAreCutToTheAudio) {
  const auto extractor = probe({0, 7999, 8000});
  // 29.5 s to the end is 8,000 samples, repeated.
  EXPECT_EQ(extractor.embedSpan(source_, 29.5, 40.0).at(0), sample(472000));
  const auto tail = extractor.embedSpans(source_, {{29.5, 40.0}}).at(0);
  EXPECT_EQ(tail[0], sample(472000));
  EXPECT_EQ(tail[1], sample(479999));
  EXPECT_EQ(tail[2], sample(472000));
  // A negative start begins at sample 0: [0, 8,000).
  const auto head = extractor.embedSpan(source_, -2.0, 0.5);
  EXPECT_EQ(head[0], sample(0));
  EXPECT_EQ(head[1], sample(7999));
  EXPECT_EQ(head[2], sample(0));
}

TEST_F(OfflineSpanEmbeddingTest, ShortSpanRepeatsUntilTheWindowIsFull) {
  const auto extractor = probe({0, 63999, 64000, 159999});
  const std::vector<float> repeated = {sample(32000), sample(95999), sample(32000), sample(63999)};
  const auto embedding = extractor.embedSpan(source_, 2.0, 6.0);
  ASSERT_EQ(embedding.size(), 256u);
  EXPECT_EQ(std::vector<float>(embedding.begin(), embedding.begin() + 4), repeated);
  const auto embeddings = extractor.embedSpans(source_, {{2.0, 6.0}});
  ASSERT_EQ(embeddings.size(), 1u);
  ASSERT_EQ(embeddings[0].size(), 256u);
  EXPECT_EQ(std::vector<float>(embeddings[0].begin(), embeddings[0].begin() + 4), repeated);
}

TEST_F(OfflineSpanEmbeddingTest, SpanOfOneWindowFillsItOnce) {
  const auto extractor = probe({0, 159999});
  const auto embedding = extractor.embedSpans(source_, {{5.0, 15.0}}).at(0);
  EXPECT_EQ(embedding[0], sample(80000));
  EXPECT_EQ(embedding[1], sample(239999));
}

TEST_F(OfflineSpanEmbeddingTest, LongSpanAveragesEqualPiecesButEmbedSpanTakesTheFirstWindow) {
  // 25 s = 400,000 samples: pieces [0, 133333), [133333, 266666), [266666, 400000).
  const auto extractor = probe({0, 133332, 133333, 159999});
  const auto mean = [](float a, float b, float c) { return (a + b + c) / 3.0f; };
  const auto embedding = extractor.embedSpans(source_, {{0.0, 25.0}}).at(0);
  EXPECT_FLOAT_EQ(embedding[0], mean(sample(0), sample(133333), sample(266666)));
  EXPECT_FLOAT_EQ(embedding[1], mean(sample(133332), sample(266665), sample(399998)));
  // Only the last piece is long enough not to repeat here.
  EXPECT_FLOAT_EQ(embedding[2], mean(sample(0), sample(133333), sample(399999)));
  EXPECT_FLOAT_EQ(embedding[3], mean(sample(26666), sample(159999), sample(266666 + 26665)));

  const auto first = extractor.embedSpan(source_, 0.0, 25.0);
  EXPECT_EQ(first[0], sample(0));
  EXPECT_EQ(first[2], sample(133333));
  EXPECT_EQ(first[3], sample(159999));
}

TEST_F(OfflineSpanEmbeddingTest, PiecesOfManySpansShareBatchesAndKeepTheirSpans) {
  auto config = OfflineDiarizerConfig::default_();
  config.embedding.batchSize = 4;
  const auto batched = probe({0, 1, 100000, 159999}, config);
  ASSERT_EQ(batched.modelBatchLimit(), 4);
  // 3 + 1 + 2 + 1 + 2 = 9 pieces: batches of 4, 4 and 1.
  const std::vector<Span> spans = {{0.0, 25.0}, {3.0, 4.5}, {4.0, 16.0}, {20.0, 30.0}, {10.0, 29.0}};
  const auto together = batched.embedSpans(source_, spans);
  ASSERT_EQ(together.size(), spans.size());
  const auto single = probe({0, 1, 100000, 159999});
  for (std::size_t i = 0; i < spans.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(together[i], single.embedSpans(source_, {spans[i]}).at(0));
  }
}

TEST_F(OfflineSpanEmbeddingTest, EmptyListMakesNoModelCall) {
  const auto failing = made(failingFbankModel());
  EXPECT_TRUE(failing.embedSpans(source_, {}).empty());
  EXPECT_THROW(failing.embedSpan(source_, 0.0, 1.0), platform::MLModelError);
}

TEST_F(OfflineSpanEmbeddingTest, WindowBelowOneSampleIsRefused) {
  auto config = OfflineDiarizerConfig::default_();
  config.segmentation.windowDurationSeconds = 0.00005;  // 0.8 samples
  const auto extractor = probe({0}, config);
  for (const auto& call : {std::function<void()>([&] { extractor.embedSpan(source_, 0.0, 1.0); }),
                           std::function<void()>([&] { extractor.embedSpans(source_, {{0.0, 1.0}}); })}) {
    const auto error = thrown(call);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->errorCode(), Code::invalidConfiguration);
    EXPECT_EQ(error->message(), "segmentation.windowDurationSeconds must be positive to embed spans");
  }
}

TEST_F(OfflineSpanEmbeddingTest, StopBeforeAGroupCancels) {
  const auto extractor = probe({0});
  std::stop_source stop;
  stop.request_stop();
  EXPECT_THROW(extractor.embedSpan(source_, 0.0, 1.0, stop.get_token()), platform::CancellationError);
  EXPECT_THROW(extractor.embedSpans(source_, {{0.0, 1.0}}, stop.get_token()), platform::CancellationError);
}

}  // namespace
}  // namespace tesselaudio
