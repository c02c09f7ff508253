#include "app/Model/LiveModel.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>

#include <QCoreApplication>
#include <QSignalSpy>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/sys/FileIO.h"
#include "tests/support/ManualClock.h"
#include "tests/support/RecordingDesktop.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

LiveSegment sentence(const std::string& text, double start = 0, std::optional<double> end = {},
                     std::optional<int> speaker = {}) {
  LiveSegment segment;
  segment.text = text;
  segment.start = start;
  segment.end = end;
  segment.speaker = speaker;
  return segment;
}

TopicTag topicAt(const QUuid& start, const std::string& title) {
  TopicTag topic;
  topic.title = title;
  topic.startSegmentID = start;
  topic.points = {"point of " + title};
  return topic;
}

// A stored conversation of sentences "s0", "s1", ... started at `startedAt`.
VoiceSession conversation(int sentences, double startedAt = 1000) {
  VoiceSession session;
  session.title = "会議";
  session.startedAt = startedAt;
  session.markdownFile = "会議 " + std::to_string(static_cast<long>(startedAt)) + ".md";
  for (int i = 0; i < sentences; ++i) session.segments.push_back(sentence("s" + std::to_string(i), i));
  return session;
}

std::vector<std::string> textsOf(const VoiceSession& session) {
  std::vector<std::string> texts;
  for (const LiveSegment& segment : session.segments) texts.push_back(segment.text);
  return texts;
}

std::vector<std::string> topicTitles(const VoiceSession& session) {
  std::vector<std::string> titles;
  for (const TopicTag& topic : session.topics.value_or(std::vector<TopicTag>{})) titles.push_back(topic.title);
  return titles;
}

// A model over a temporary root with the real store, a hand-driven clock, an in-memory clipboard
// and a recording desktop. Conversations are stored before the model is made.
class EditingTest : public ::testing::Test {
 protected:
  EditingTest() { setenv("XDG_DATA_HOME", data_.path().c_str(), 1); }
  ~EditingTest() override {
    model_.reset();
    QCoreApplication::processEvents();
  }

  SessionStore store() const { return SessionStore::inFolder(root_.path()); }

  VoiceSession stored(VoiceSession session) {
    store().save(session);
    return session;
  }

  LiveModel& model() {
    if (!model_) {
      LiveModelServices services;
      services.clock = clock_;
      services.clipboard = clipboard_;
      services.desktop = desktop_;
      model_ = std::make_unique<LiveModel>(root_.path(), services);
      QCoreApplication::processEvents();
    }
    return *model_;
  }

  const VoiceSession& inModel(const QUuid& id) { return *model().session(id); }

  // Makes the model, if not yet made, and lets every pending save run.
  void settle() {
    model();
    clock_->advance(10);
  }

  // The conversation file's text, after every pending debounced save has run.
  std::string settledFile(const QUuid& id) {
    clock_->advance(LiveModel::kSaveDebounceSeconds);
    return platform::readFile(store().conversationFile(id));
  }

  // Runs `edit` and checks that it signals one change of `id` and, once the debounce has passed,
  // writes the conversation once, as it then stands in the model.
  template <class Edit>
  void expectOneSavedChange(const QUuid& id, Edit edit) {
    settle();
    const fs::path file = store().conversationFile(id);
    fs::remove(file);
    QSignalSpy changed(&model(), &LiveModel::sessionChanged);
    edit();
    EXPECT_EQ(changed.count(), 1);
    EXPECT_FALSE(fs::exists(file)) << "written before the debounce";
    clock_->advance(LiveModel::kSaveDebounceSeconds);
    ASSERT_TRUE(fs::exists(file)) << "not written";
    EXPECT_EQ(VoiceSession::fromJsonText(platform::readFile(file)), inModel(id));
    fs::remove(file);
    clock_->advance(10);
    EXPECT_FALSE(fs::exists(file)) << "written twice";
  }

  // Runs `edit` and checks that it neither signals nor writes anything.
  template <class Edit>
  void expectNoChange(Edit edit) {
    settle();
    const std::vector<VoiceSession> before = model().sessions();
    for (const VoiceSession& session : before) fs::remove(store().conversationFile(session.id));
    QSignalSpy changed(&model(), &LiveModel::sessionChanged);
    edit();
    clock_->advance(10);
    EXPECT_EQ(changed.count(), 0);
    EXPECT_EQ(model().sessions(), before);
    for (const VoiceSession& session : before) {
      EXPECT_FALSE(fs::exists(store().conversationFile(session.id))) << "saved";
    }
  }

  int argc_ = 0;
  QCoreApplication app_{argc_, nullptr};
  testsupport::TemporaryFolder data_;
  testsupport::TemporaryFolder root_;
  std::shared_ptr<testsupport::ManualClock> clock_ = std::make_shared<testsupport::ManualClock>();
  std::shared_ptr<testsupport::MemoryClipboard> clipboard_ = std::make_shared<testsupport::MemoryClipboard>();
  std::shared_ptr<testsupport::RecordingDesktop> desktop_ = std::make_shared<testsupport::RecordingDesktop>();
  std::unique_ptr<LiveModel> model_;
};

// ---- Sentences ----------------------------------------------------------------------------------

TEST_F(EditingTest, EveryChangingOperationSignalsOnceAndSavesOnceAfterTheDebounce) {
  const VoiceSession session = stored(conversation(6));
  const auto& s = session.segments;
  std::vector<std::pair<const char*, std::function<void()>>> edits = {
      {"updateText", [&] { model().updateText(s[0].id, "新しい"); }},
      {"setSpeaker", [&] { model().setSpeaker(s[0].id, 3); }},
      {"renameSpeaker", [&] { model().renameSpeaker(session.id, 3, "佐藤"); }},
      {"deleteSegment", [&] { model().deleteSegment(s[5].id); }},
      {"mergeWithPrevious", [&] { model().mergeWithPrevious(s[4].id); }},
      {"deleteSegments", [&] { model().deleteSegments(session.id, {s[1].id}); }},
      {"undoSegmentDeletion", [&] { model().undoSegmentDeletion(); }},
      {"addTopic", [&] { model().addTopic(session.id, s[2].id); }},
      {"renameTopic", [&] { model().renameTopic(session.id, inModel(session.id).topics->front().id, "題"); }},
      {"deleteTopic", [&] { model().deleteTopic(session.id, inModel(session.id).topics->front().id); }},
      {"updateMemo", [&] { model().updateMemo(session.id, "参加者"); }},
  };
  for (auto& [name, edit] : edits) {
    SCOPED_TRACE(name);
    expectOneSavedChange(session.id, edit);
  }
}

TEST_F(EditingTest, UpdateTextMarksEditedButTheSameTextChangesNothing) {
  const VoiceSession session = stored(conversation(2));
  const QUuid id = session.segments[0].id;
  expectNoChange([&] { model().updateText(id, "s0"); });
  EXPECT_FALSE(inModel(session.id).segments[0].edited);

  model().updateText(id, "直した");
  const LiveSegment& edited = inModel(session.id).segments[0];
  EXPECT_EQ(edited.text, "直した");
  EXPECT_TRUE(edited.edited);
  EXPECT_FALSE(inModel(session.id).segments[1].edited);
}

TEST_F(EditingTest, SetSpeakerLocksEvenWhenClearingOrUnchanged) {
  VoiceSession session = conversation(1);
  session.segments[0].speaker = 1;
  stored(session);
  const QUuid id = session.segments[0].id;
  for (std::optional<int> speaker : {std::optional<int>(1), std::optional<int>()}) {
    SCOPED_TRACE(speaker ? "same" : "none");
    expectOneSavedChange(session.id, [&] { model().setSpeaker(id, speaker); });
    EXPECT_EQ(inModel(session.id).segments[0].speaker, speaker);
    EXPECT_TRUE(inModel(session.id).segments[0].speakerLocked);
  }
}

TEST_F(EditingTest, RenameSpeakerStoresTheNameAsGivenAndKnownSpeakersListsUsedAndNamedSlots) {
  VoiceSession session = conversation(3);
  session.segments[0].speaker = 2;
  session.segments[2].speaker = 0;
  stored(session);
  model().renameSpeaker(session.id, 5, "");
  EXPECT_EQ(inModel(session.id).speakerNames.at(5), "");
  EXPECT_THAT(LiveModel::knownSpeakers(inModel(session.id)), ElementsAre(0, 2, 5));
  model().renameSpeaker(session.id, 0, "  田中 ");
  EXPECT_EQ(inModel(session.id).speakerNames.at(0), "  田中 ");
  EXPECT_THAT(LiveModel::knownSpeakers(inModel(session.id)), ElementsAre(0, 2, 5));
}

TEST_F(EditingTest, DeletingASentenceMovesItsTopicToTheNextOrForTheLastToThePrevious) {
  VoiceSession session = conversation(3);
  const auto& s = session.segments;
  session.topics = {topicAt(s[1].id, "middle"), topicAt(s[2].id, "last")};
  stored(session);

  model().deleteSegment(s[1].id);
  EXPECT_THAT(textsOf(inModel(session.id)), ElementsAre("s0", "s2"));
  // "middle" moved onto s2, where "last" also starts: the later one in the list goes.
  ASSERT_THAT(topicTitles(inModel(session.id)), ElementsAre("middle"));
  EXPECT_EQ(inModel(session.id).topics->front().startSegmentID, s[2].id);
  EXPECT_EQ(inModel(session.id).topics->front().points, std::vector<std::string>{"point of middle"});

  model().deleteSegment(s[2].id);
  ASSERT_THAT(topicTitles(inModel(session.id)), ElementsAre("middle"));
  EXPECT_EQ(inModel(session.id).topics->front().startSegmentID, s[0].id);

  model().deleteSegment(s[0].id);
  EXPECT_THAT(inModel(session.id).segments, IsEmpty());
  ASSERT_TRUE(inModel(session.id).topics.has_value());
  EXPECT_THAT(*inModel(session.id).topics, IsEmpty());
}

TEST_F(EditingTest, AnyRemovalDropsTopicsThatStartNowhere) {
  VoiceSession session = conversation(3);
  session.topics = {topicAt(QUuid::createUuid(), "stray"), topicAt(session.segments[0].id, "first")};
  stored(session);
  model().deleteSegment(session.segments[2].id);
  EXPECT_THAT(topicTitles(inModel(session.id)), ElementsAre("first"));
}

TEST_F(EditingTest, MergeJoinsOntoThePreviousAndReturnsTheSeamInUtf16Units) {
  struct Case {
    const char* name;
    std::string previousText;
    std::optional<double> end;
    int offset;
    double joinedEnd;
  };
  const Case cases[] = {
      {"three units", "abc", 2.5, 3, 2.5},
      {"Japanese counts one unit a character", "会議で", 2.5, 3, 2.5},
      {"an emoji counts two", "a😀", 2.5, 3, 2.5},
      {"missing end keeps the previous end", "abc", std::nullopt, 3, 1.2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VoiceSession session;
    session.startedAt = 1000;
    session.segments = {sentence(c.previousText, 0.0, 1.2, 1), sentence("です", 1.2, c.end, 4)};
    session.segments[1].speakerLocked = true;
    stored(session);
    model_.reset();
    model();

    const std::optional<LiveModel::Caret> caret = model().mergeWithPrevious(session.segments[1].id);
    ASSERT_TRUE(caret.has_value());
    EXPECT_EQ(*caret, (LiveModel::Caret{session.segments[0].id, c.offset}));
    ASSERT_EQ(inModel(session.id).segments.size(), 1u);
    const LiveSegment& joined = inModel(session.id).segments[0];
    EXPECT_EQ(joined.id, session.segments[0].id);
    EXPECT_EQ(joined.text, c.previousText + "です");
    EXPECT_EQ(joined.start, 0.0);
    EXPECT_EQ(joined.end, c.joinedEnd);
    EXPECT_EQ(joined.speaker, 1);
    EXPECT_FALSE(joined.speakerLocked);
    EXPECT_TRUE(joined.edited);
    fs::remove(store().conversationFile(session.id));
  }
}

TEST_F(EditingTest, MergeMovesTheJoinedSentencesTopicBackAndKeepsAnEarlierOne) {
  VoiceSession session = conversation(3);
  const auto& s = session.segments;
  session.topics = {topicAt(s[0].id, "earlier"), topicAt(s[1].id, "joined")};
  VoiceSession other = conversation(3, 2000);
  other.topics = {topicAt(other.segments[2].id, "only")};
  stored(session);
  stored(other);

  model().mergeWithPrevious(s[1].id);
  EXPECT_THAT(topicTitles(inModel(session.id)), ElementsAre("earlier"));
  model().mergeWithPrevious(other.segments[2].id);
  ASSERT_THAT(topicTitles(inModel(other.id)), ElementsAre("only"));
  EXPECT_EQ(inModel(other.id).topics->front().startSegmentID, other.segments[1].id);
}

TEST_F(EditingTest, MergeOfTheFirstOrAnUnknownSentenceReturnsNothing) {
  const VoiceSession session = stored(conversation(2));
  expectNoChange([&] {
    EXPECT_FALSE(model().mergeWithPrevious(session.segments[0].id));
    EXPECT_FALSE(model().mergeWithPrevious(QUuid::createUuid()));
  });
}

TEST_F(EditingTest, UnknownIdsChangeNothing) {
  const VoiceSession session = stored(conversation(2));
  const QUuid unknown = QUuid::createUuid();
  expectNoChange([&] {
    model().updateText(unknown, "x");
    model().setSpeaker(unknown, 1);
    model().renameSpeaker(unknown, 1, "x");
    model().deleteSegment(unknown);
    model().deleteSegments(unknown, {session.segments[0].id});
    model().deleteSegments(session.id, {});
    model().deleteSegments(session.id, {unknown});
    model().renameTopic(unknown, unknown, "x");
    model().deleteTopic(unknown, unknown);
    model().updateMemo(unknown, "x");
    model().undoSegmentDeletion();
    EXPECT_FALSE(model().addTopic(unknown, session.segments[0].id).isNull());
  });
  EXPECT_FALSE(model().lastSegmentDeletion().has_value());
}

TEST_F(EditingTest, DuplicateSentenceIdsEditTheFirstMatch) {
  VoiceSession session = conversation(3);
  session.segments[2].id = session.segments[1].id;
  stored(session);
  model().updateText(session.segments[1].id, "first");
  EXPECT_THAT(textsOf(inModel(session.id)), ElementsAre("s0", "first", "s2"));
  model().deleteSegment(session.segments[1].id);
  EXPECT_THAT(textsOf(inModel(session.id)), ElementsAre("s0", "s2"));
}

// ---- Deleting several sentences and undoing -----------------------------------------------------

TEST_F(EditingTest, DeleteSegmentsAndUndoRestoreTheFormerOrderOnce) {
  const VoiceSession session = stored(conversation(6));
  const auto& s = session.segments;
  QSignalSpy recorded(&model(), &LiveModel::lastSegmentDeletionChanged);
  model().deleteSegments(session.id, {s[2].id, s[4].id, QUuid::createUuid()});
  EXPECT_THAT(textsOf(inModel(session.id)), ElementsAre("s0", "s1", "s3", "s5"));
  ASSERT_TRUE(model().lastSegmentDeletion().has_value());
  EXPECT_EQ(model().lastSegmentDeletion()->sessionID, session.id);
  ASSERT_EQ(model().lastSegmentDeletion()->removed.size(), 2u);
  EXPECT_EQ(model().lastSegmentDeletion()->removed[0], std::make_pair(2, s[2]));
  EXPECT_EQ(model().lastSegmentDeletion()->removed[1], std::make_pair(4, s[4]));
  EXPECT_EQ(recorded.count(), 1);

  model().undoSegmentDeletion();
  EXPECT_EQ(inModel(session.id).segments, s);
  EXPECT_FALSE(model().lastSegmentDeletion().has_value());
  EXPECT_EQ(recorded.count(), 2);
  expectNoChange([&] { model().undoSegmentDeletion(); });
}

TEST_F(EditingTest, UndoAfterFurtherDeletionsClampsToTheCurrentLength) {
  const VoiceSession session = stored(conversation(6));
  const auto& s = session.segments;
  model().deleteSegments(session.id, {s[1].id, s[5].id});
  model().deleteSegment(s[4].id);
  model().deleteSegment(s[3].id);  // s0 s2 left
  model().undoSegmentDeletion();
  // s1 goes back at 1; s5 at min(5, 3) = 3, the end.
  EXPECT_THAT(textsOf(inModel(session.id)), ElementsAre("s0", "s1", "s2", "s5"));
}

TEST_F(EditingTest, DeletionNamingNoSentenceKeepsTheOlderRecord) {
  const VoiceSession first = stored(conversation(3));
  const VoiceSession second = stored(conversation(3, 2000));
  model().deleteSegments(first.id, {first.segments[0].id});
  const auto record = model().lastSegmentDeletion();
  expectNoChange([&] { model().deleteSegments(first.id, {second.segments[1].id}); });
  EXPECT_EQ(model().lastSegmentDeletion(), record);
}

TEST_F(EditingTest, UndoForADeletedConversationOnlyForgetsTheRecord) {
  const VoiceSession first = stored(conversation(3));
  const VoiceSession second = stored(conversation(3, 2000));
  model().deleteSegments(first.id, {first.segments[0].id});
  model().deleteSession(first.id);
  clock_->advance(10);
  expectNoChange([&] { model().undoSegmentDeletion(); });
  EXPECT_FALSE(model().lastSegmentDeletion().has_value());
  EXPECT_FALSE(fs::exists(store().conversationFile(first.id)));
}

TEST_F(EditingTest, DeleteSegmentsRepairsTopicsForTheWholeSet) {
  VoiceSession session = conversation(5);
  const auto& s = session.segments;
  session.topics = {topicAt(s[1].id, "a"), topicAt(s[3].id, "b")};
  stored(session);
  model().deleteSegments(session.id, {s[1].id, s[2].id});
  const VoiceSession& now = inModel(session.id);
  // "a" skips the deleted s2 too and lands on s3, where "b" starts; "b" comes later and goes.
  ASSERT_THAT(topicTitles(now), ElementsAre("a"));
  EXPECT_EQ(now.topics->front().startSegmentID, s[3].id);
}

// ---- Topics and the memo -------------------------------------------------------------------------

TEST_F(EditingTest, AddTopicKeepsTranscriptOrderAndReplacesATopicAtTheSameSentence) {
  VoiceSession session = conversation(10);
  const auto& s = session.segments;
  stored(session);
  ASSERT_FALSE(session.topics.has_value());
  model().addTopic(session.id, s[5].id);
  ASSERT_TRUE(inModel(session.id).topics.has_value());
  EXPECT_EQ(inModel(session.id).topics->size(), 1u);
  const QUuid nowhere = QUuid::createUuid();
  model().addTopic(session.id, nowhere);
  model().addTopic(session.id, s[2].id);
  model().addTopic(session.id, s[9].id);
  std::vector<QUuid> starts;
  for (const TopicTag& t : *inModel(session.id).topics) starts.push_back(t.startSegmentID);
  EXPECT_THAT(starts, ElementsAre(s[2].id, s[5].id, s[9].id, nowhere));

  const QUuid old = inModel(session.id).topics->at(1).id;
  model().renameTopic(session.id, old, "予算");
  const QUuid replacement = model().addTopic(session.id, s[5].id);
  const TopicTag& topic = inModel(session.id).topics->at(1);
  EXPECT_EQ(topic.id, replacement);
  EXPECT_NE(topic.id, old);
  EXPECT_EQ(topic.title, "新しい話題");
  EXPECT_THAT(topic.points, IsEmpty());
  EXPECT_THAT(topic.decisions, IsEmpty());
  EXPECT_EQ(inModel(session.id).topics->size(), 4u);
}

TEST_F(EditingTest, TopicAndMemoTextsAreStoredAsGiven) {
  VoiceSession session = conversation(2);
  session.topics = {topicAt(session.segments[0].id, "only")};
  stored(session);
  const QUuid topic = session.topics->front().id;
  model().renameTopic(session.id, topic, "");
  EXPECT_EQ(inModel(session.id).topics->front().title, "");
  model().renameTopic(session.id, QUuid::createUuid(), "ignored");
  EXPECT_THAT(topicTitles(inModel(session.id)), ElementsAre(""));
  model().deleteTopic(session.id, topic);
  ASSERT_TRUE(inModel(session.id).topics.has_value());
  EXPECT_THAT(*inModel(session.id).topics, IsEmpty());
  model().updateMemo(session.id, "");
  EXPECT_EQ(inModel(session.id).memo, std::optional<std::string>(""));
  const std::string written = settledFile(session.id);
  EXPECT_EQ(VoiceSession::fromJsonText(written).memo, std::optional<std::string>(""));
  EXPECT_EQ(VoiceSession::fromJsonText(written).topics, std::optional<std::vector<TopicTag>>(std::vector<TopicTag>{}));
}

// ---- Commands ------------------------------------------------------------------------------------

TEST_F(EditingTest, CopyTranscriptUsesTheGivenOrSelectedConversation) {
  VoiceSession session = conversation(2);
  session.segments[0].speaker = 0;
  stored(session);
  const VoiceSession empty = stored(conversation(0, 500));
  model().setSelectedID(std::nullopt);
  model().copyTranscript();
  EXPECT_FALSE(clipboard_->text.has_value());
  model().copyTranscript(QUuid::createUuid());
  EXPECT_FALSE(clipboard_->text.has_value());

  model().copyTranscript(empty.id);
  EXPECT_EQ(clipboard_->text, empty.transcriptText());
  model().setSelectedID(session.id);
  model().copyTranscript();
  EXPECT_EQ(clipboard_->text, session.transcriptText());
  EXPECT_THAT(*clipboard_->text, ::testing::HasSubstr("s1"));
}

TEST_F(EditingTest, SelectByOffsetWrapsAround) {
  const VoiceSession third = stored(conversation(1, 1000));
  const VoiceSession second = stored(conversation(1, 2000));
  const VoiceSession first = stored(conversation(1, 3000));
  struct Case {
    std::optional<QUuid> from;
    int offset;
    QUuid to;
  };
  const Case cases[] = {
      {second.id, +1, third.id}, {third.id, +1, first.id},  {first.id, -1, third.id},
      {std::nullopt, +1, second.id}, {std::nullopt, -1, third.id}, {QUuid::createUuid(), +1, second.id},
  };
  for (const Case& c : cases) {
    model().setSelectedID(c.from);
    model().select(c.offset);
    EXPECT_EQ(model().selectedID(), c.to);
  }
}

TEST_F(EditingTest, SelectWithOneOrNoConversation) {
  model().select(1);
  EXPECT_FALSE(model().selectedID().has_value());
  model_.reset();
  const VoiceSession only = stored(conversation(1));
  for (int offset : {1, -1}) {
    model().select(offset);
    EXPECT_EQ(model().selectedID(), only.id);
  }
}

TEST_F(EditingTest, RevealShowsTheMarkdownFileOrOpensTheSessionsFolder) {
  const VoiceSession present = stored(conversation(1, 1000));
  VoiceSession gone = stored(conversation(1, 2000));
  VoiceSession unnamed = conversation(1, 3000);
  unnamed.markdownFile.reset();
  stored(unnamed);
  VoiceSession escaping = conversation(1, 4000);
  escaping.markdownFile = "../outside.md";
  // A conversation file naming a Markdown file outside the folder, as a damaged file could: the
  // store writes the conversation file and then refuses the Markdown name.
  EXPECT_ANY_THROW(store().save(escaping));
  std::ofstream(root_.path() / "outside.md") << "x";
  fs::remove(store().sessionsDirectory / *gone.markdownFile);

  for (const QUuid& id : {present.id, gone.id, unnamed.id, escaping.id, QUuid::createUuid()}) model().reveal(id);
  const std::string folder = store().sessionsDirectory.string();
  EXPECT_THAT(desktop_->calls, ElementsAre("show " + (store().sessionsDirectory / *present.markdownFile).string(),
                                           "open " + folder, "open " + folder, "open " + folder));
}

TEST_F(EditingTest, PerformOpensTheSettingsAddressOnlyWhereTheDesktopHasPanes) {
  model().perform(LiveModel::Notice::Action::microphone);
  EXPECT_THAT(desktop_->calls, IsEmpty());
  desktop_->settingsPanes = true;
  model().perform(LiveModel::Notice::Action::microphone);
  model().perform(LiveModel::Notice::Action::fullDiskAccess);
  EXPECT_THAT(desktop_->calls,
              ElementsAre("address x-apple.systempreferences:com.apple.preference.security?Privacy_Microphone",
                          "address x-apple.systempreferences:com.apple.preference.security?Privacy_AllFiles"));
}

}  // namespace
}  // namespace veltovoice
