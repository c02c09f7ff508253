#include "speech/ASR/Parakeet/Streaming/EncoderCacheManager.h"

#include <cstdint>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLModelError.h"
#include "tests/support/MultiArrays.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArrayDataType;
using Shape = std::vector<std::int64_t>;

void expectZeros(const std::shared_ptr<platform::MLMultiArray>& array, const Shape& shape, MLMultiArrayDataType type) {
  ASSERT_TRUE(array);
  EXPECT_EQ(array->shape(), shape);
  EXPECT_EQ(array->dataType(), type);
  EXPECT_EQ(testsupport::arrayValues(*array), std::vector<double>(static_cast<std::size_t>(array->count()), 0.0));
}

TEST(EncoderCacheManagerTest, InitialCachesAreZeroFloatFloatAndInt) {
  const auto caches = EncoderCacheManager::createInitialCaches({{1, 2, 3, 4}, {1, 2, 4, 3}, {1}});
  expectZeros(caches.channel, {1, 2, 3, 4}, MLMultiArrayDataType::float32);
  expectZeros(caches.time, {1, 2, 4, 3}, MLMultiArrayDataType::float32);
  expectZeros(caches.len, {1}, MLMultiArrayDataType::int32);
  EXPECT_EQ(caches.len->count(), 1);
}

TEST(EncoderCacheManagerTest, ShapesTheRuntimeRefusesFailWholly) {
  struct Case {
    const char* name;
    EncoderCacheManager::CacheConfig config;
  };
  const Case cases[] = {
      {"negative channel dimension", {{1, -2}, {1, 2}, {1}}},
      {"zero time dimension", {{1, 2}, {1, 0}, {1}}},
      {"negative length dimension", {{1, 2}, {1, 2}, {-1}}},
      {"empty length shape", {{1, 2}, {1, 2}, {}}},
      {"time beyond memory", {{1, 2}, {1 << 30, 1 << 30, 1 << 30}, {1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      EncoderCacheManager::createInitialCaches(c.config);
      ADD_FAILURE() << "no error";
    } catch (const platform::MLModelError& e) {
      EXPECT_EQ(e.errorCode(), platform::MLModelError::Code::parameters) << e.description();
    }
  }
}

TEST(EncoderCacheManagerTest, ExtractTakesArraysByNameAndLeavesTheRestEmpty) {
  const auto channel = testsupport::makeArray({1, 2}, {1, 2});
  const auto len = testsupport::makeArray({1}, {3}, MLMultiArrayDataType::int32);
  const platform::MLDictionaryFeatureProvider output(platform::MLDictionaryFeatureProvider::Dictionary{
      {"channel_out", std::make_shared<platform::MLFeatureValue>(channel)},
      {"len_out", std::make_shared<platform::MLFeatureValue>(len)},
      {"number_out", std::make_shared<platform::MLFeatureValue>(std::int64_t{4})},
  });
  const auto found = EncoderCacheManager::extractCachesFromOutput(output, "channel_out", "time_out", "len_out");
  EXPECT_EQ(found.channel, channel);
  EXPECT_EQ(found.time, nullptr);
  EXPECT_EQ(found.len, len);
  const auto notArrays = EncoderCacheManager::extractCachesFromOutput(output, "number_out", "channel_out", "none");
  EXPECT_EQ(notArrays.channel, nullptr);
  EXPECT_EQ(notArrays.time, channel);
  EXPECT_EQ(notArrays.len, nullptr);
}

}  // namespace
}  // namespace tesselaudio
