#include "speech/ASR/Parakeet/SlidingWindow/CTC/ARPAWordTable.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "speech/ASR/Parakeet/SlidingWindow/CTC/ARPALanguageModel.h"

namespace tesselaudio {
namespace {

using Entry = ARPALanguageModel::Entry;
using Table = ARPAWordTable<Entry>;

TEST(ARPAWordTableTest, FindsEveryWordAcrossGrowth) {
  Table table;
  for (int i = 0; i < 5000; ++i) table["w" + std::to_string(i)] = {static_cast<float>(i), 0};
  table["w7"].backoff = -1;
  ASSERT_EQ(table.size(), 5000U);
  for (int i = 0; i < 5000; ++i) {
    const Entry* entry = table.find("w" + std::to_string(i));
    ASSERT_NE(entry, nullptr) << i;
    EXPECT_EQ(entry->logProb, static_cast<float>(i));
  }
  EXPECT_EQ(table.at("w7"), (Entry{7, -1}));
  EXPECT_EQ(table.find("w5000"), nullptr);
  EXPECT_EQ(table.find(""), nullptr);
  EXPECT_THROW(static_cast<void>(table.at("missing")), std::out_of_range);
  EXPECT_EQ(Table().find("w1"), nullptr);
  EXPECT_EQ(table.begin()->first, "w0");
}

TEST(ARPAWordTableTest, EqualityIgnoresOrderButNotValues) {
  const Table ab = {{"a", {1, 0}}, {"b", {2, 0}}};
  EXPECT_EQ(ab, (Table{{"b", {2, 0}}, {"a", {1, 0}}}));
  EXPECT_EQ(ab, (Table{{"a", {9, 0}}, {"b", {2, 0}}, {"a", {1, 0}}}));
  EXPECT_NE(ab, (Table{{"a", {1, 0}}, {"b", {2, 1}}}));
  EXPECT_NE(ab, (Table{{"a", {1, 0}}, {"c", {2, 0}}}));
  EXPECT_NE(ab, (Table{{"a", {1, 0}}}));
  EXPECT_EQ(Table(), Table{});
}

}  // namespace
}  // namespace tesselaudio
