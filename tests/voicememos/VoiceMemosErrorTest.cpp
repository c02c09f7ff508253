#include "voicememos/VoiceMemosError.h"

#include <gtest/gtest.h>

namespace voicememos {
namespace {

TEST(VoiceMemosErrorTest, DescribesEveryKind) {
  using Kind = VoiceMemosError::Kind;
  struct Case {
    VoiceMemosError error;
    Kind kind;
    const char* message;
  };
  const Case cases[] = {
      {VoiceMemosError::queryFailed("no such table: ZFOLDER"), Kind::queryFailed,
       "The Voice Memos library cannot be read: no such table: ZFOLDER"},
      {VoiceMemosError::invalidLimit(0), Kind::invalidLimit,
       "The limit must be a positive number, not 0."},
      {VoiceMemosError::invalidLimit(-5), Kind::invalidLimit,
       "The limit must be a positive number, not -5."},
      {VoiceMemosError::recordingNotFound({42}), Kind::recordingNotFound,
       "No recording has the identifier 42."},
      {VoiceMemosError::audioFileNotFound({7}), Kind::audioFileNotFound,
       "The audio file of the recording with the identifier 7 is not on this computer."},
      {VoiceMemosError::storeNotFound(), Kind::storeNotFound,
       "The selected folder does not contain a Voice Memos library."},
      {VoiceMemosError::storeNotReadable(), Kind::storeNotReadable,
       "The Voice Memos library cannot be read. The database and its write-ahead log files must "
       "be readable."},
      {VoiceMemosError::unsupportedSchema(), Kind::unsupportedSchema,
       "The Voice Memos library uses an unsupported schema."},
      {VoiceMemosError::databaseBusy(), Kind::databaseBusy,
       "Voice Memos is using the library. Try again later."},
      {VoiceMemosError::timedOut(), Kind::timedOut,
       "Reading the Voice Memos library stopped at the time limit."},
      {VoiceMemosError::malformedAudioFile(), Kind::malformedAudioFile,
       "The audio file is damaged or is not a QuickTime or MPEG-4 file."},
      {VoiceMemosError::malformedTranscript(), Kind::malformedTranscript,
       "The transcript in the audio file is damaged or in an unknown format."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_EQ(c.error.description(), c.message);
    EXPECT_STREQ(c.error.what(), c.message);
    EXPECT_EQ(c.error.code(), static_cast<int>(c.kind));
    EXPECT_EQ(c.error.typeName(), "VoiceMemosError");
  }
}

TEST(VoiceMemosErrorTest, ComparesKindAndPayload) {
  EXPECT_EQ(VoiceMemosError::recordingNotFound({42}), VoiceMemosError::recordingNotFound({42}));
  EXPECT_NE(VoiceMemosError::recordingNotFound({42}), VoiceMemosError::recordingNotFound({43}));
  EXPECT_NE(VoiceMemosError::recordingNotFound({7}), VoiceMemosError::audioFileNotFound({7}));
  EXPECT_NE(VoiceMemosError::queryFailed("a"), VoiceMemosError::queryFailed("b"));
  EXPECT_NE(VoiceMemosError::invalidLimit(0), VoiceMemosError::invalidLimit(-5));
  EXPECT_EQ(VoiceMemosError::timedOut(), VoiceMemosError::timedOut());
}

}  // namespace
}  // namespace voicememos
