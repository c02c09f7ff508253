#include "speech/Speaker/SendableSpeaker.h"

#include <vector>

#include <gtest/gtest.h>

#include "speech/Speaker/Speaker.h"

namespace tesselaudio {
namespace {

TEST(SendableSpeakerTest, NumericIdsFromSpeakerIds) {
  struct Case {
    const char* id;
    std::int64_t numeric;
  };
  const Case cases[] = {
      {"12", 12}, {"+5", 5}, {"-3", -3}, {"0", 0},
      {"9223372036854775807", 9223372036854775807}, {"-9223372036854775808", INT64_MIN},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    EXPECT_EQ(Speaker(c.id, std::nullopt, std::vector<float>{1}).toSendable().id, c.numeric);
  }
}

TEST(SendableSpeakerTest, OtherIdsFallBackToANonNegativeHash) {
  for (const char* id : {"alpha", "12a", "", "+", "-", "1 2", "++1", "9223372036854775808", " 7"}) {
    SCOPED_TRACE(id);
    const SendableSpeaker sendable(Speaker(id, "x", std::vector<float>{1}));
    EXPECT_GE(sendable.id, 0);
    EXPECT_EQ(sendable.id, SendableSpeaker(Speaker(id, "y", std::vector<float>{2})).id);
  }
}

TEST(SendableSpeakerTest, CopiesTheSpeaker) {
  Speaker speaker("4", "Chair", std::vector<float>{3, 4}, 7.5f, 10, 20);
  const SendableSpeaker sendable = speaker.toSendable();
  EXPECT_EQ(sendable.name, "Chair");
  EXPECT_EQ(sendable.duration, 7.5f);
  EXPECT_EQ(sendable.mainEmbedding, speaker.currentEmbedding);
  EXPECT_EQ(sendable.createdAt, 10);
  EXPECT_EQ(sendable.updatedAt, 20);
}

TEST(SendableSpeakerTest, LabelAndEquality) {
  const SendableSpeaker unnamed(7, "", 1, {}, 0, 0);
  const SendableSpeaker guest(7, "Guest", 1, {}, 0, 0);
  EXPECT_EQ(unnamed.label(), "Speaker #7");
  EXPECT_EQ(guest.label(), "Guest");
  EXPECT_NE(unnamed, guest);
  EXPECT_EQ(guest, SendableSpeaker(7, "Guest", 99, {1, 2}, 5, 6));
  EXPECT_NE(guest, SendableSpeaker(8, "Guest", 1, {}, 0, 0));
  EXPECT_EQ(std::hash<SendableSpeaker>()(unnamed), std::hash<SendableSpeaker>()(guest));
}

}  // namespace
}  // namespace tesselaudio
