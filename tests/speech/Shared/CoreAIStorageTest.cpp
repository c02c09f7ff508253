#include "speech/Shared/CoreAIStorage.h"

#include <memory>

#include <gtest/gtest.h>

namespace tesselaudio {
namespace {

TEST(CoreAIStorageTest, HoldersShareOneValueThatGoesWithTheLast) {
  auto value = std::make_shared<int>(4);
  std::weak_ptr<int> watch = value;
  auto box = std::make_shared<CoreAIStorage<std::shared_ptr<int>>>(std::move(value));
  auto other = box;
  *other->wrappedValue = 5;
  EXPECT_EQ(*box->wrappedValue, 5);
  box.reset();
  EXPECT_FALSE(watch.expired());
  other.reset();
  EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace tesselaudio
