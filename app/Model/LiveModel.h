#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

#include <QCoroTask>
#include <QObject>
#include <QUuid>

#include "DevadEvev/SpeakerDiarizer.h"
#include "app/Model/ConversationJobs.h"
#include "app/Model/LiveModelServices.h"
#include "app/Model/SegmentDeletion.h"
#include "app/Model/SessionStore.h"
#include "app/Model/VoiceSession.h"
#include "app/Processing/MinutesMaker.h"
#include "app/Processing/TaskExtractor.h"

namespace devadevev {
class LiveTranscriber;
class RecordingWriter;
}  // namespace devadevev

namespace veltovoice {

class LiveModelInbox;

// The application's one conversation model: the list of conversations, the selection, the state
// of the running recording, the notice shown to the user, the table of running jobs and the
// debounced saving of conversations. Views observe its properties and signals and call its
// operations. GUI thread only: other threads reach it through queued calls that hold it in a
// QPointer. Its asynchronous operations are coroutines on the GUI thread that check the model
// still exists after every suspension.
//
// Conversations are read by row or id, never kept by reference: a reference or pointer handed out
// stays valid only until the model next changes its list. The list signals every change: a
// conversation inserted (its row), removed (its id and former row), changed (its id, once per
// operation) and the whole list reordered.
//
// The operations live in one source file per area: LiveModel.cpp (construction, state,
// lookups), LiveModelSaving.cpp (saving, renaming, deleting), LiveModelImport.cpp (importing audio,
// the demo), LiveModelLinking.cpp (linking recordings), LiveModelSpeakers.cpp (speaker letters), LiveModelRecording.cpp (starting a
// recording), LiveModelEditing.cpp (sentences, topics, memo), LiveModelCommands.cpp (clipboard,
// selection, file browser, settings), LiveModelJobs.cpp (the shared running of jobs),
// LiveModelMinutes.cpp (minutes), LiveModelTaskTree.cpp (editing the task tree), LiveModelTaskRuns.cpp
// (task extraction and regrouping), LiveModelCleanup.cpp (transcript clean-up and restore),
// LiveModelRedo.cpp (redo from the recording, adding missing parts); later areas add theirs beside
// them.
class LiveModel : public QObject {
  Q_OBJECT
  Q_PROPERTY(Phase phase READ phase NOTIFY phaseChanged)
  Q_PROPERTY(OptionalID selectedID READ selectedID WRITE setSelectedID NOTIFY selectedIDChanged)
  Q_PROPERTY(OptionalID liveID READ liveID NOTIFY liveIDChanged)
  Q_PROPERTY(std::string volatileText READ volatileText NOTIFY volatileTextChanged)
  Q_PROPERTY(double elapsed READ elapsed NOTIFY elapsedChanged)
  Q_PROPERTY(Levels levels READ levels NOTIFY levelsChanged)
  Q_PROPERTY(bool speakersAvailable READ speakersAvailable NOTIFY speakersAvailableChanged)
  Q_PROPERTY(std::string status READ status NOTIFY statusChanged)
  Q_PROPERTY(OptionalNotice notice READ notice WRITE setNotice NOTIFY noticeChanged)
  Q_PROPERTY(JobTable jobs READ jobs WRITE setJobs NOTIFY jobsChanged)
  Q_PROPERTY(OptionalDeletion lastSegmentDeletion READ lastSegmentDeletion
                 WRITE setLastSegmentDeletion NOTIFY lastSegmentDeletionChanged)
  Q_PROPERTY(OptionalID scrollRequest READ scrollRequest WRITE setScrollRequest
                 NOTIFY scrollRequestChanged)

 public:
  // ---- Types -----------------------------------------------------------------------------------

  // The state of the recording machinery.
  enum class Phase { idle, starting, recording, paused, stopping };
  Q_ENUM(Phase)

  // The one message shown to the user; with an action the banner offers to open the matching
  // privacy settings.
  struct Notice {
    enum class Action { fullDiskAccess, microphone };
    std::string text;
    std::optional<Action> action;
    bool operator==(const Notice&) const = default;
  };

  using OptionalID = std::optional<QUuid>;
  using OptionalNotice = std::optional<Notice>;
  using OptionalDeletion = std::optional<SegmentDeletion>;
  using Levels = std::vector<float>;
  // Progress text of the running job of each conversation.
  using JobTable = std::map<QUuid, std::string>;

  static constexpr double kSaveDebounceSeconds = 1.0;
  static constexpr std::size_t kMaxLevels = 240;

  // ---- Construction (LiveModel.cpp) -----------------------------------------------------------

  // A model over the application folder `root` (Sessions, Audio and Models below it; nothing is
  // created here). Loads every stored conversation, selects the newest and, once the event loop
  // runs, starts linking conversations without a recording. Reports nothing: unreadable files are
  // the store's to skip.
  explicit LiveModel(std::filesystem::path root, LiveModelServices services = {},
                     QObject* parent = nullptr);
  // Pending debounced saves are dropped (they hold the model weakly and end when they wake).
  ~LiveModel() override;

  LiveModel(const LiveModel&) = delete;
  LiveModel& operator=(const LiveModel&) = delete;

  // The application folder: $XDG_DATA_HOME/VeltoVoice (~/.local/share/VeltoVoice).
  static std::filesystem::path defaultRoot();

  const SessionStore& store() const { return store_; }
  // Where the speaker diarizer keeps its model files: root/"Models".
  const std::filesystem::path& modelsDirectory() const { return modelsDirectory_; }
  const LiveModelServices& services() const { return services_; }

  // ---- Published state (LiveModel.cpp) --------------------------------------------------------

  Phase phase() const { return phase_; }
  // The conversation shown in the main window.
  const OptionalID& selectedID() const { return selectedID_; }
  // The conversation being recorded, from the moment it exists until the recording stops.
  const OptionalID& liveID() const { return liveID_; }
  // The recogniser's not yet final text of the running recording.
  const std::string& volatileText() const { return volatileText_; }
  // Recorded seconds of the running (or last) recording.
  double elapsed() const { return elapsed_; }
  // Input levels of the running recording, oldest first, at most kMaxLevels.
  const Levels& levels() const { return levels_; }
  // Whether the speaker diarizer was prepared for the current (or last) recording.
  bool speakersAvailable() const { return speakersAvailable_; }
  // Progress text while starting or stopping; empty otherwise.
  const std::string& status() const { return status_; }
  const OptionalNotice& notice() const { return notice_; }
  const JobTable& jobs() const { return jobs_; }
  const OptionalDeletion& lastSegmentDeletion() const { return lastSegmentDeletion_; }
  // A sentence the transcript view is asked to scroll to.
  const OptionalID& scrollRequest() const { return scrollRequest_; }

  // Each setter changes the field and signals only when the value differs.
  void setSelectedID(const OptionalID& id);
  // A notice that differs from the one shown is also written to the log ("知らせ: <text>").
  void setNotice(const OptionalNotice& notice);
  void setJobs(const JobTable& jobs);
  // Puts `text` under `id` in jobs(), or removes the entry when `text` is nothing.
  void setJob(const QUuid& id, const std::optional<std::string>& text);
  void setLastSegmentDeletion(const OptionalDeletion& deletion);
  void setScrollRequest(const OptionalID& id);
  // Signals preferencesChanged(): a view changed a preference that other views show.
  void announcePreferencesChanged();

  // ---- Conversations (LiveModel.cpp) -----------------------------------------------------------

  // Every conversation, newest first. Valid until the list next changes.
  const std::vector<VoiceSession>& sessions() const { return sessions_; }
  int sessionCount() const { return static_cast<int>(sessions_.size()); }
  // REQUIRES: 0 <= row < sessionCount(). Valid until the list next changes.
  const VoiceSession& sessionAt(int row) const;
  // The row of the first conversation with `id`, or nothing.
  std::optional<int> rowOf(const QUuid& id) const;
  // The first conversation with `id`, or null. Valid until the list next changes.
  const VoiceSession* session(const QUuid& id) const;
  // The conversation whose id is selectedID(), or null. Valid until the list next changes.
  const VoiceSession* selected() const;

  // Up to three latest transcript lines for the status-bar popover: the last sentences of the
  // conversation being recorded (else of the newest one), each "<speaker name>：<text>" or the
  // bare text, followed by the live text while recording; at most three lines in all.
  std::vector<std::string> latestLines() const;

  // ---- Saving, renaming and deleting (LiveModelSaving.cpp) ------------------------------------

  // Drops the pending debounced save of `id` and writes the conversation now (conversation file
  // and Markdown). A failed write is logged and shown as a notice; the conversation stays as it
  // is in memory. An unknown id writes and reports nothing.
  void saveNow(const QUuid& id);

  // Writes the conversation kSaveDebounceSeconds after the last call for the same id; each call
  // replaces the pending save of that id. Conversations are debounced independently.
  void scheduleSave(const QUuid& id);

  // Writes every conversation whose debounced save is pending now (saveNow() of each), as the
  // application does before it ends.
  void saveAllPending();

  // Sets the conversation's title exactly as given (no trimming; empty is kept) and schedules a
  // save. The Markdown file keeps its name.
  void renameSession(const QUuid& id, const std::string& title);

  // Removes the conversation's files (conversation file, Markdown, recording; failures ignored)
  // and the conversation itself; when it was selected, the newest remaining one is selected.
  // Refuses the conversation being recorded. An unknown id changes nothing.
  void deleteSession(const QUuid& id);

  // ---- Speaker letters (LiveModelSpeakers.cpp) -------------------------------------------------

  // The letters of the default names of the slots 0 to 3: "A", "B", "C", "D".
  static const std::vector<std::string>& speakerLetters();

  // ---- Starting a recording (LiveModelRecording.cpp) -------------------------------------------

  // Starts a recording from idle: checks the microphone, makes the new conversation (first and
  // selected) with its recording file, prepares the speaker diarizer (a failure only means no
  // speakers) and the recogniser off the GUI thread, opens the microphone, writes the conversation
  // and starts the half-second ticker. Either ends recording, or undoes everything and ends idle
  // with a notice. Does nothing unless idle. Never throws.
  QCoro::Task<> start();

  // "M月d日 H:mm の録音" of `date` in Japanese, in the system's time zone.
  static std::string defaultTitle(std::chrono::system_clock::time_point date);

  // Upper-case UUID text, as logs and file names show ids.
  static std::string idText(const QUuid& id);

  static constexpr double kTickSeconds = 0.5;
  static constexpr double kNoAudioSeconds = 5.0;

  // ---- Pausing, stopping and the next recording (LiveModelStopping.cpp) ------------------------

  // Stops a running or paused recording, then starts a new one; from idle it only starts. Does
  // nothing while starting or stopping. Never throws.
  QCoro::Task<> startNext();
  // Holds the microphone input back while recording, lets it through again while paused; nothing
  // in other phases. Paused audio reaches neither the file nor the transcript nor the speakers.
  void togglePause();
  // Ends a running or paused recording: finishes the recogniser, then the speaker diarizer (both
  // off the GUI thread; their last results still reach the conversation), closes the recording
  // file, keeps left-over live text as a last sentence without times, stores the length, saves the
  // conversation, ends idle and asks for task extraction. Does nothing in other phases. Never
  // throws; a failed save is shown as the save notice.
  QCoro::Task<> stop();

  // ---- Task extraction (LiveModelTaskRuns.cpp) --------------------------------------------------

  // Starts task extraction over the conversation's sentences not yet scanned, when the language
  // model is available and no extraction runs for it; with `live` the newest sentence waits and
  // enough new text must have come together. Returns at once. Virtual so that tests can see when
  // the model asks for it.
  virtual void extractTasksIfNeeded(const QUuid& id, bool live);

  // Throws away the tasks the extractor made (manual and done tasks stay, with their parents),
  // forgets how far the transcript was scanned and scans it all again, stopping the conversation's
  // running extraction or regrouping first. With the language model unavailable only shows the
  // availability notice. Returns at once; never throws.
  void reextractTasks(const QUuid& id);

  // Asks the language model which of the conversation's leaf tasks belong together and puts them
  // under parents it finds or makes, removing the automatic parents left empty. Nothing with fewer
  // than two leaves or while a task job runs for the conversation; with the language model
  // unavailable only shows the availability notice. Returns at once; never throws.
  void regroupTasks(const QUuid& id);

  // ---- Editing sentences, topics and the memo (LiveModelEditing.cpp) ---------------------------
  // Each operation finds its sentence or conversation by id at the time of the call, does nothing
  // for an unknown id, signals sessionChanged once and ends in scheduleSave(); none reports errors.
  // Whenever sentences are removed, topics that started at them move to a surviving sentence first.

  // Where the caret goes after a join: the joined sentence and an offset into its text in UTF-16
  // code units (what a QString counts).
  struct Caret {
    QUuid id;
    int offset = 0;
    bool operator==(const Caret&) const = default;
  };

  // Sets the sentence's text and marks it edited; the same text changes and saves nothing.
  void updateText(const QUuid& segmentID, const std::string& text);
  // Sets (or, with nothing, clears) the sentence's speaker and locks it, every time.
  void setSpeaker(const QUuid& segmentID, std::optional<int> speaker);
  // Stores the name of speaker `slot` exactly as given, also empty.
  void renameSpeaker(const QUuid& sessionID, int slot, const std::string& name);
  // Removes one sentence. No undo record.
  void deleteSegment(const QUuid& segmentID);
  // Appends the sentence's text to the previous sentence's and removes it; returns the previous
  // sentence and the length of its text before the join. Nothing for the first sentence.
  std::optional<Caret> mergeWithPrevious(const QUuid& segmentID);
  // Removes the conversation's sentences named in `segmentIDs` and records them for one undo in
  // lastSegmentDeletion(). Ids of other conversations are ignored; naming none changes nothing.
  void deleteSegments(const QUuid& sessionID, const std::set<QUuid>& segmentIDs);
  // Puts the recorded sentences back at their former indices (clamped to the current length) and
  // forgets the record, also when its conversation is gone.
  void undoSegmentDeletion();
  // The speaker slots the conversation's sentences use or its names name, ascending.
  static std::vector<int> knownSpeakers(const VoiceSession& session);

  // Starts a topic titled "新しい話題" at the sentence, replacing a topic that starts there, and
  // keeps the topics in transcript order. Returns the new topic's id, also when the conversation
  // is unknown (then nothing is stored).
  QUuid addTopic(const QUuid& sessionID, const QUuid& segmentID);
  void renameTopic(const QUuid& sessionID, const QUuid& topicID, const std::string& title);
  void deleteTopic(const QUuid& sessionID, const QUuid& topicID);
  // Stores the memo exactly as given; empty stays present.
  void updateMemo(const QUuid& sessionID, const std::string& memo);

  // ---- Importing audio and the demo (LiveModelImport.cpp) ---------------------------------------

  // Asks for an audio file with the injected chooser and, unless the user cancels, starts
  // importFile() on it and returns.
  void importAudio();
  // Imports `url` as a new conversation: copies it to Audio/<ID>.<its extension> (the file itself
  // is only read), titles the conversation by its name, dates it by its birth time (else now),
  // takes the copy's duration and the transcript Voice Memos stored in it, puts it among the
  // conversations by date, selects it and saves it at once. A failed copy shows its error as the
  // notice and adds nothing. The file work runs on a worker. Never throws.
  QCoro::Task<> importFile(std::filesystem::path url);
  // Puts the sample meeting "サンプル" first and selected, with a demo level history; writes
  // nothing and leaves the phase alone.
  void loadDemo();

  // ---- Linking recordings (LiveModelLinking.cpp) -----------------------------------------------

  // Finds the Voice Memos recording made within 30 s of the conversation's start (with
  // `waitForFile`, looking again each second for 20 s), waits until its size settles, copies it to
  // Audio/<ID>.<its extension> and makes it the conversation's recording, with its duration, and
  // saves at once. Shows the Full Disk Access notice when the library cannot be read, and, unless
  // `waitForFile` or `quiet`, a notice when nothing is found. A failed copy keeps the old recording
  // and the conversation as they were. An unknown id does nothing. Never throws.
  QCoro::Task<> linkAudio(QUuid id, bool waitForFile, bool quiet);

  // ---- Commands (LiveModelCommands.cpp) ---------------------------------------------------------
  // None of these changes a conversation or writes a file.

  // Puts the transcript of the conversation (by default the selected one) on the clipboard;
  // nothing when there is no such conversation.
  void copyTranscript(const OptionalID& sessionID = std::nullopt);
  // Moves the selection `offset` conversations on, wrapping around; with nothing selected it
  // counts from the first.
  void select(int offset);
  // Shows the conversation's Markdown file in the file browser, or opens the sessions folder
  // when it has none or the file is gone.
  void reveal(const QUuid& sessionID);
  // Opens the settings pane that the notice's action names, where the desktop has such panes.
  void perform(Notice::Action action);
  // The settings address of `action`.
  static std::string settingsAddress(Notice::Action action);

  // ---- Jobs (LiveModelJobs.cpp) -----------------------------------------------------------------
  // A job runs on one conversation as a coroutine on the GUI thread. Its refusal checks, its entry
  // in jobs() and its handle in one of these tables are made in one turn, before it first waits;
  // both entries go when it ends, however it ends.

  // The running minutes job of each conversation.
  const ConversationJobs& minutesJobs() const { return minutesJobs_; }
  // The running task extraction or regrouping of each conversation.
  const ConversationJobs& taskJobs() const { return taskJobs_; }

  // The job text of a phase that reports a fraction: `phase`, a blank, the fraction in whole
  // percent (cut towards zero) and "%": "話題を区切っています… 33%".
  static std::string progressText(const std::string& phase, double fraction);

  // ---- Minutes (LiveModelMinutes.cpp) -----------------------------------------------------------

  // Starts the minutes job of the conversation: topic starts from the language model, merged by
  // coarsen(), stored and saved at once, then each topic's points and decisions, saved with the
  // debounced save. With the language model unavailable only shows the availability notice; does
  // nothing for the conversation being recorded, one with a minutes job running, or an unknown id.
  // The job works on the transcript as it stands at this call. Never throws.
  void makeMinutes(const QUuid& id);

  // The topic starts worth keeping: the first always; a later one is dropped when its title is
  // similar to the last kept title, or when its span (up to the next start of `boundaries`, or to
  // `count`) has at most 9 rows and lasts under 120 s by `starts` (a missing start counts as 0).
  // REQUIRES: `boundaries` ascending by index.
  static std::vector<MinutesMaker::Boundary> coarsen(
      const std::vector<MinutesMaker::Boundary>& boundaries,
      const std::vector<std::optional<double>>& starts, int count);

  // Puts the conversation's title, start, minutes and task outline on the clipboard as Markdown;
  // nothing for an unknown id.
  void copyMinutes(const QUuid& id);

  // ---- Transcript clean-up (LiveModelCleanup.cpp) ----------------------------------------------

  // Sends the conversation's sentences that nobody edited by hand to the assistant chosen in the
  // preferences, chunk by chunk, and takes each corrected sentence that stays within the
  // acceptance rule; keeps the transcript as it was in segmentsBackup first. Shows a notice when
  // no assistant is chosen or the chosen one is not installed; asks the consent prompt once per
  // assistant; does nothing for the conversation being recorded, a busy, unknown or empty one, or
  // when consent is refused. Ends with a notice of the counts, or of the failure (sentences
  // corrected before it stay so). Never throws.
  void cleanTranscript(const QUuid& id);

  // Puts segmentsBackup back as the transcript and forgets it, keeps only the topics whose start
  // sentence is in it, saves, logs and shows a notice. Nothing without a backup or for an unknown id.
  void restoreTranscriptBackup(const QUuid& id);

  // ---- Redo from the recording and adding missing parts (LiveModelRedo.cpp) --------------------

  using TimeRange = LiveModelServices::TimeRange;

  // Recognises the conversation's whole recording again with the file recogniser, lets the
  // language model choose line by line between each stored text and the new one, adds the new
  // sentences that fall on no sentence with speakers from the range diarizer, keeps the transcript
  // as it was in segmentsBackup and saves. Changes made meanwhile stay: replacements go by
  // sentence id and skip sentences gone or edited by hand. Does nothing for the conversation being
  // recorded, a busy or unknown one, or one whose recording is missing. A failure is logged and
  // shown and leaves the conversation as it was; a cancellation ends it quietly. Returns at once;
  // never throws.
  void redoTranscript(const QUuid& id);

  // Recognises only the stretches of the conversation's recording that no sentence covers
  // (uncoveredRanges()), gives the new sentences speakers from the range diarizer, adds them in
  // time order, saves and asks for task extraction; never changes a sentence and keeps no backup.
  // Refused as redoTranscript() is. A failure of the length or the recognition, cancellation
  // included, is logged and shown. Returns at once; never throws.
  void fillTranscript(const QUuid& id);

  // `ranges` each reaching `before` seconds earlier (not below 0), sorted, with overlapping and
  // touching ranges merged.
  static std::vector<TimeRange> withContext(const std::vector<TimeRange>& ranges, double before);

  // Which conversation speaker each diarizer slot of `turns` stands for: slots that overlap the
  // speakers of `existing` take them, largest overlap first, one slot per speaker; the others get
  // the smallest of 0 to 7 not yet given (their own number when all are given).
  static std::map<int, int> speakerMapping(const std::vector<devadevev::SpeakerDiarizer::Turn>& turns,
                                           const std::vector<LiveSegment>& existing);

  // The stretches of a recording of `duration` seconds that no timed sentence covers (a missing
  // end covers 1 s): gaps of at least 30 s between sentences as [covered + 0.3, next start − 0.3),
  // and a tail of at least 5 s as [covered + 0.3, duration), ascending.
  static std::vector<TimeRange> uncoveredRanges(const std::vector<LiveSegment>& segments, double duration);

  // ---- Task tree (LiveModelTaskTree.cpp) --------------------------------------------------------
  // The tree is a conversation's flat `tasks` list shaped by `parentID`. Each operation finds the
  // conversation and the task by id at the call, changes the list in place (one sessionChanged
  // when something changed), never creates a cycle, and schedules a save as noted; unknown ids
  // change nothing. Lists read from files may hold cycles: every walk down the tree ends.

  // Puts the task under `parent` (nothing: a root) before the child now at `index` among the
  // parent's other children, or after the last child's subtree; a negative index counts as 0. A
  // move under the task itself or its descendants is refused. Expands the parent. Always
  // schedules a save.
  void moveTask(const QUuid& sessionID, const QUuid& taskID, const std::optional<QUuid>& parent,
                int index);
  // Swap with the previous or next sibling; nothing (and no save) at the end of the row.
  void moveTaskUp(const QUuid& sessionID, const QUuid& taskID);
  void moveTaskDown(const QUuid& sessionID, const QUuid& taskID);
  // Makes the task the last child of its previous sibling; nothing for a first sibling.
  void indentTask(const QUuid& sessionID, const QUuid& taskID);
  // Makes the task the sibling right after its parent; nothing for a root.
  void outdentTask(const QUuid& sessionID, const QUuid& taskID);
  // Moves the task with its subtree to the end of conversation `to`, as a root, without source
  // times, and shows a notice. Refused (nothing taken from the source) when `to` is unknown.
  void moveTaskToSession(const QUuid& from, const QUuid& taskID, const QUuid& to);
  // Flips the task's done state and gives it to its whole subtree. Always schedules a save.
  void toggleTaskDone(const QUuid& sessionID, const QUuid& taskID);
  // Applies `change` to the task in place. Always schedules a save.
  void updateTask(const QUuid& sessionID, const QUuid& taskID,
                  const std::function<void(TaskItem&)>& change);
  // Appends a new empty manual root task and returns its id (also when the conversation is
  // unknown). Schedules no save.
  QUuid addTask(const QUuid& sessionID);
  // Inserts a new empty manual task right after `after`, under the same parent; nothing when
  // `after` is not found.
  std::optional<QUuid> addTask(const QUuid& sessionID, const QUuid& after);
  // Removes the task and its whole subtree; a missing list becomes empty. Always schedules a save.
  void deleteTask(const QUuid& sessionID, const QUuid& taskID);
  // Puts the task outline, lines joined by "\n", on the clipboard; nothing for an unknown id.
  void copyTasks(const QUuid& sessionID);

  // Whether `ancestor` is reached from the parent of `taskID` within 100 steps up. False for the
  // task itself and for a task not in `tasks`.
  static bool isDescendant(const QUuid& taskID, const QUuid& ancestor,
                           const std::vector<TaskItem>& tasks);

 signals:
  void phaseChanged();
  void selectedIDChanged();
  void liveIDChanged();
  void volatileTextChanged();
  void elapsedChanged();
  void levelsChanged();
  void speakersAvailableChanged();
  void statusChanged();
  void noticeChanged();
  void jobsChanged();
  void lastSegmentDeletionChanged();
  void scrollRequestChanged();
  // A preference shown by views (the assistant chosen for clean-up) changed; they refresh.
  void preferencesChanged();

  // A conversation now stands at `row`.
  void sessionInserted(int row);
  // The conversation `id` that stood at `row` has left the list.
  void sessionRemoved(const QUuid& id, int row);
  // The conversation `id` changed; once per operation.
  void sessionChanged(const QUuid& id);
  // The same conversations now stand in another order.
  void sessionsReordered();

 protected:
  // ---- Fields only the model's own operations write (LiveModel.cpp) ----------------------------
  // Each signals only when the value differs.
  void setPhase(Phase phase);
  void setLiveID(const OptionalID& id);
  void setVolatileText(const std::string& text);
  void setElapsed(double seconds);
  // REQUIRES: levels.size() <= kMaxLevels.
  void setLevels(const Levels& levels);
  void setSpeakersAvailable(bool available);
  void setStatus(const std::string& status);

  // ---- Changing the list (LiveModel.cpp) --------------------------------------------------------

  // Applies `edit` to the first conversation with `id` in place and signals sessionChanged once.
  // Returns false, and signals nothing, when no conversation has the id.
  bool editSession(const QUuid& id, const std::function<void(VoiceSession&)>& edit);
  // Puts `session` at `row` and signals sessionInserted.
  // REQUIRES: 0 <= row <= sessionCount().
  void insertSession(int row, VoiceSession session);
  // Removes every conversation with `id`, signalling sessionRemoved for each.
  void removeSessions(const QUuid& id);
  // Orders the list by `before` (stable) and signals sessionsReordered when the order changed.
  void reorderSessions(const std::function<bool(const VoiceSession&, const VoiceSession&)>& before);

  // ---- Running jobs (LiveModelJobs.cpp) ---------------------------------------------------------

  // What a job does when it ends with an error other than a cancellation; called only while the
  // model exists.
  using JobFailure = std::function<void(const std::exception& error)>;

  // Awaits `job`, run `run` of conversation `id` in `table` (a member of this model). A
  // cancellation ends it quietly; any other error goes to `onFailure`. Then, while the model
  // exists, removes the job's handle (when still its own) and the conversation's job text.
  // Never throws.
  QCoro::Task<> runJob(ConversationJobs& table, QUuid id, std::uint64_t run,
                       QCoro::Task<> job, JobFailure onFailure);

  // A progress callback for work on other threads: safe from any thread, it shows
  // progressText(phase, fraction) as the conversation's job text, on the GUI thread, while the
  // model exists and the conversation still has a job text.
  std::function<void(double)> jobProgress(const QUuid& id, const std::string& phase);

  // How a failed minutes job reports: the log line and the notice.
  void minutesFailed(const QUuid& id, const std::exception& error);

  // ---- Task tree (LiveModelTaskTree.cpp) --------------------------------------------------------

  // The largest list position among the task and its descendants; nothing when it is missing.
  static std::optional<std::size_t> lastDescendantIndex(const QUuid& taskID,
                                                        const std::vector<TaskItem>& tasks);

  // ---- Task extraction (LiveModelTaskRuns.cpp) --------------------------------------------------

  // Adds a batch of found items to the conversation's task tree: each as a new automatic task,
  // under the first task whose title is similar to the item's parent name (a new parent appended
  // when none is), as that parent's last child; without a usable parent name at the end. The
  // list, absent counting as empty, is written back as a list.
  static void insert(const std::vector<TaskExtractor::Found>& found, VoiceSession& session);

  // Puts the members of each group under the group's parent (the first task with a similar title
  // that is not one of `candidates`, else a new one at the end) as its last children; a task named
  // in two groups ends under the later one, and no move puts a task under itself or its own
  // subtree. Then removes the automatic parents that had children in `snapshot` and have none now.
  static void applyGroups(const std::vector<TaskExtractor::Group>& groups,
                          const std::vector<TaskItem>& candidates,
                          const std::vector<TaskItem>& snapshot, std::vector<TaskItem>& tasks);

  // The line the extractor reads for one sentence: "[03:10] 話者A：text", "[--:--] text".
  static std::string transcriptLine(const VoiceSession& session, const LiveSegment& segment);

  // ---- Live results (LiveModelRecording.cpp); called by the recogniser's and the diarizer's posts
  // Folds a recogniser result into the conversation being recorded: volatile text to
  // volatileText(), a final result to sentences with speakers from the latest turns.
  void apply(const devadevev::LiveTranscriber::Update& update);
  // Stores the complete turn list and gives every unlocked sentence of the conversation being
  // recorded the speaker that overlaps it most; a sentence without overlapping turns keeps its
  // speaker.
  void apply(const std::vector<devadevev::SpeakerDiarizer::Turn>& turns);
  // The slot whose turns overlap the sentence's times most in total (touching turns do not count;
  // equal totals go to the lowest slot); nothing for a sentence without usable times or without
  // overlap. Turns with a slot outside 0 to 3 or without a positive length are ignored.
  static std::optional<int> speaker(const LiveSegment& segment,
                                    const std::vector<devadevev::SpeakerDiarizer::Turn>& turns);

 private:
  // ---- Linking recordings (LiveModelLinking.cpp) -----------------------------------------------
  // Looks for the Voice Memos recordings of conversations that have none, one after the other.
  QCoro::Task<> linkMissingAudio();
  // Waits until the recording's size is the same above zero twice, or for at most 20 pauses;
  // false when the model or the conversation went meanwhile.
  QCoro::Task<bool> waitForStableSize(QUuid id, std::filesystem::path recording);

  // ---- Saving (LiveModelSaving.cpp) ------------------------------------------------------------
  QCoro::Task<> debouncedSave(QUuid id, std::stop_token stop);

  // ---- Recording (LiveModelRecording.cpp) -------------------------------------------------------
  // Thrown by checkMicrophone() after it has put up its own notice.
  class StopError;
  void checkMicrophone();
  QCoro::Task<> prepareDiarizer(std::shared_ptr<devadevev::LiveTranscriber> transcriber);
  // Records one input level; only the last kMaxLevels are kept.
  void push(float level);
  void startTicker();
  QCoro::Task<> tick(std::stop_token stop);
  // Undoes a start that failed with `error`; `made` is the new conversation when it was made.
  QCoro::Task<> failStart(std::exception_ptr error, std::optional<QUuid> made);

  // ---- Stopping (LiveModelStopping.cpp) --------------------------------------------------------
  // Appends the left-over live text as a last sentence, stores the length (the written seconds,
  // else elapsed()) and saves; returns whether the conversation was there.
  bool closeLiveSession(const QUuid& id, std::optional<double> writtenSeconds);
  // "録音を終了: 会話 <ID> 長さ <whole seconds>秒 <sentences>文".
  void logEnding(const QUuid& id);

  // ---- Editing (LiveModelEditing.cpp) ----------------------------------------------------------
  struct SegmentLocation {
    std::size_t session;  // index in sessions_
    std::size_t segment;  // index in that conversation's segments
  };
  // The first sentence with `segmentID`, in list order.
  std::optional<SegmentLocation> locate(const QUuid& segmentID) const;
  // Moves the topics of `session` that start at a sentence in `removing` to the nearest surviving
  // sentence (the previous one first when `preferPrevious`), then drops topics that start at no
  // sentence or at one an earlier topic already starts at. Call before removing the sentences.
  static void repairTopics(VoiceSession& session, const std::set<QUuid>& removing,
                           bool preferPrevious);

  // ---- Transcript clean-up (LiveModelCleanup.cpp) ----------------------------------------------
  struct CleanupRun;
  QCoro::Task<> cleanupJob(QUuid id, std::shared_ptr<CleanupRun> run, std::stop_token stop);
  // Takes one chunk's answer (corrected texts by position in the run's snapshot).
  void applyCleanup(const QUuid& id, CleanupRun& run, const std::map<int, std::string>& answer);
  void cleanupFailed(const QUuid& id, const CleanupRun& run, const std::exception& error);

  // ---- Redo and adding missing parts (LiveModelRedo.cpp) ---------------------------------------
  struct TranscriptRun;
  // The recording of a conversation that a redo or an add-missing job may start on, or nothing.
  std::optional<std::filesystem::path> recordingForJob(const QUuid& id) const;
  QCoro::Task<> redoJob(QUuid id, std::shared_ptr<TranscriptRun> run, std::stop_token stop);
  QCoro::Task<> fillJob(QUuid id, std::shared_ptr<TranscriptRun> run, std::stop_token stop);
  // The range diarizer's turns of `ranges`; none when it fails.
  QCoro::Task<std::vector<devadevev::SpeakerDiarizer::Turn>> turnsOf(QUuid id, std::filesystem::path recording,
                                                                    std::vector<TimeRange> ranges,
                                                                    std::stop_token stop);

  // ---- Minutes (LiveModelMinutes.cpp) -----------------------------------------------------------
  // One row per sentence as the language model reads it, with the sentence's id and start.
  struct MinutesRows {
    std::vector<MinutesMaker::Line> lines;
    std::vector<QUuid> ids;
    std::vector<std::optional<double>> starts;
  };
  QCoro::Task<> minutesJob(QUuid id, MinutesRows rows, std::stop_token stop);

  // ---- Task extraction (LiveModelTaskRuns.cpp) --------------------------------------------------
  struct TaskRun;
  // Starts one run over `segments`, with `context` sent before them; nothing for an unknown id.
  void runTaskExtraction(const QUuid& id, const std::vector<LiveSegment>& segments,
                         const std::vector<LiveSegment>& context);
  QCoro::Task<> taskExtractionJob(QUuid id, std::shared_ptr<TaskRun> run, std::stop_token stop);
  // The end of a run that still owns the conversation's entry in taskJobs_.
  void endTaskExtraction(const QUuid& id, bool failed);
  QCoro::Task<> regroupJob(QUuid id, std::uint64_t run, std::vector<TaskItem> candidates,
                           std::vector<TaskItem> snapshot, std::stop_token stop);
  // The availability notice when the language model cannot be used; returns whether it can.
  bool languageModelUsable(bool notify);

  // ---- Task tree (LiveModelTaskTree.cpp) --------------------------------------------------------
  struct SiblingsInfo {
    TaskItem task;
    std::vector<TaskItem> siblings;  // the tasks with the task's parent, in list order
    int index = 0;                   // the task's place among them
  };
  std::optional<SiblingsInfo> siblingsInfo(const QUuid& sessionID, const QUuid& taskID) const;
  // The list of the conversation, or null when the conversation is unknown.
  std::optional<std::vector<TaskItem>>* tasksOf(const QUuid& sessionID);

  // ---- Services and files, constant after construction -----------------------------------------
  const LiveModelServices services_;
  const SessionStore store_;
  const std::filesystem::path modelsDirectory_;

  // ---- Published state -------------------------------------------------------------------------
  Phase phase_ = Phase::idle;
  std::vector<VoiceSession> sessions_;
  OptionalID selectedID_;
  OptionalID liveID_;
  std::string volatileText_;
  double elapsed_ = 0;
  Levels levels_;
  bool speakersAvailable_ = false;
  std::string status_;
  OptionalNotice notice_;
  JobTable jobs_;
  OptionalDeletion lastSegmentDeletion_;
  OptionalID scrollRequest_;

  // ---- Jobs: the running task-extraction and minutes job of each conversation ------------------
  ConversationJobs taskJobs_;
  ConversationJobs minutesJobs_;
  ConversationJobs cleanupJobs_;
  ConversationJobs transcriptJobs_;
  // Per conversation, the sentences without a start that a finished extraction run scanned: their
  // start cannot say so, and they would otherwise be scanned again after every run.
  std::map<QUuid, std::set<QUuid>> startlessScanned_;

  // ---- The running recording; all absent while the phase is idle -------------------------------
  // Shared with the workers that prepare them, which may outlive a start the model gave up.
  std::shared_ptr<devadevev::LiveTranscriber> transcriber_;
  std::shared_ptr<devadevev::SpeakerDiarizer> diarizer_;
  std::vector<devadevev::SpeakerDiarizer::Turn> turns_;
  std::optional<std::stop_source> ticker_;
  std::shared_ptr<devadevev::RecordingWriter> writer_;
  std::chrono::system_clock::time_point lastLevelAt_;

  // Requested when the model goes, so that a start's blocking preparation ends early.
  std::stop_source startStop_;
  // Requested when the model goes, so that links waiting on the clock end.
  std::stop_source linkStop_;
  // Where the recogniser's and the diarizer's threads post to the model; closed when it goes.
  std::shared_ptr<LiveModelInbox> inbox_;

  // ---- Pending debounced saves, one per conversation -------------------------------------------
  std::map<QUuid, std::stop_source> saveTasks_;
};

}  // namespace veltovoice
