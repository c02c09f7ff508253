#include <filesystem>
#include <string>

#include <QCoreApplication>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/app/Shell/MainWindowFixture.h"

namespace veltovoice {
namespace {

using ::testing::IsEmpty;
using testing::kMarch3;

class MainViewRecordingNameTest : public testing::MainWindowTest {};

// The player takes a conversation's recording only by a plain name inside the audio folder, as
// deleting and revealing do: a hand-edited name reaching outside is not opened.
TEST_F(MainViewRecordingNameTest, NameReachingOutsideTheAudioFolderIsNotOpened) {
  VoiceSession outside = stored("外の録音", kMarch3);
  outside.audioFile = "../outside.m4a";
  SessionStore::inFolder(root_.path()).save(outside);
  writeRecording(outside);  // root/outside.m4a: a playable file beside the audio folder
  ASSERT_TRUE(std::filesystem::exists(root_.path() / "outside.m4a"));
  const VoiceSession inside = storedWithRecording("中の録音", kMarch3 + 60);

  model().setSelectedID(outside.id);
  view();
  EXPECT_THAT(opened_, IsEmpty());
  EXPECT_FALSE(player().loaded());

  model().setSelectedID(inside.id);
  EXPECT_TRUE(player().loaded()) << "a plain name still plays";
}

}  // namespace
}  // namespace veltovoice
