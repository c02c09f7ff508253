// What the transcript view costs as conversations grow: showing a conversation until its first
// paint (300 against 3,000 sentences), one keystroke in an edited sentence (in a 30-sentence
// transcript against row 1,500 of 3,000) and one live sentence arriving while recording (30 against
// 3,000), each with the repaint it causes. The small sizes are the yardsticks of the large ones.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QKeyEvent>
#include <QListView>
#include <QMouseEvent>

#include "app/Editor/AudioPlayback.h"
#include "app/Editor/SegmentTextEdit.h"
#include "app/Editor/TranscriptRowsModel.h"
#include "app/Editor/TranscriptView.h"
#include "app/Editor/VeltoToolsDesign.h"
#include "app/Model/LiveModel.h"
#include "app/Model/SessionStore.h"
#include "platform/audio/AudioPlayer.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TemporaryFolder.h"

namespace {

using veltovoice::LiveModel;
using veltovoice::LiveSegment;
using veltovoice::TranscriptView;
using veltovoice::VoiceSession;

constexpr int kWidth = 900;
constexpr int kHeight = 700;

QApplication& application() {
  static int argc = 1;
  static char name[] = "bench_transcript_view";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    auto* made = new QApplication(argc, argv);
    veltovoice::VeltoToolsDesign::applyTo(*made);
    benchmark::AddCustomContext("qt", qVersion());
    return made;
  }();
  return *app;
}

// The model with its recording road opened up, so that a conversation can be made the live one.
class BenchModel : public LiveModel {
 public:
  using LiveModel::LiveModel;
  using LiveModel::apply;
  using LiveModel::setLiveID;
};

std::vector<LiveSegment> sentences(int count) {
  const std::vector<std::string> texts = {
      "来週の展示会の搬入は午前九時からです。",
      "資料は金曜日までに共有フォルダに置いておきます。",
      "見積もりの件は、先方の返事を待ってから決めましょう。",
      "はい。",
      "それでは次の議題に移ります。予算の配分について、各部署からの要望をまとめた表を見てください。",
  };
  std::vector<LiveSegment> made;
  made.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    LiveSegment segment;
    segment.text = texts[static_cast<std::size_t>(i) % texts.size()];
    segment.start = i * 2.5;
    segment.end = i * 2.5 + 2;
    segment.speaker = (i / 3) % 3;
    made.push_back(std::move(segment));
  }
  return made;
}

// A model over a temporary root holding one conversation of `count` sentences, on a clock that
// stands still (so that no debounced save runs while measuring), and a player with nothing loaded.
struct World {
  explicit World(int count) {
    application();
    VoiceSession session;
    session.title = "定例";
    session.segments = sentences(count);
    session.markdownFile = LiveModel::idText(session.id) + ".md";
    id = session.id;
    veltovoice::SessionStore::inFolder(folder.path()).save(session);
    veltovoice::LiveModelServices services;
    services.clock = clock;
    live = std::make_unique<BenchModel>(folder.path(), services);
    live->setSelectedID(id);
    player = std::make_unique<veltovoice::AudioPlayback>([](const std::filesystem::path& path) {
      platform::AudioPlayer::Options options;
      options.output = platform::AudioPlayer::Options::Output::nullSink;
      return std::make_unique<platform::AudioPlayer>(path, options);
    });
  }

  // A shown window with the view, laid out and painted.
  std::unique_ptr<QWidget> shownView() {
    auto window = std::make_unique<QWidget>();
    window->resize(kWidth, kHeight);
    view = new TranscriptView(*live, *player, window.get());
    view->setGeometry(0, 0, kWidth, kHeight);
    window->show();
    QCoreApplication::processEvents();
    return window;
  }

  testsupport::TemporaryFolder folder;
  std::shared_ptr<testsupport::ManualClock> clock = std::make_shared<testsupport::ManualClock>();
  std::unique_ptr<BenchModel> live;
  std::unique_ptr<veltovoice::AudioPlayback> player;
  TranscriptView* view = nullptr;
  QUuid id;
};

void BM_TranscriptViewShow(benchmark::State& state) {
  World world(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    std::unique_ptr<QWidget> window = world.shownView();
    benchmark::DoNotOptimize(window->grab());
    state.PauseTiming();
    window.reset();
    QCoreApplication::processEvents();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TranscriptViewShow)->Arg(300)->Arg(3000)->Unit(benchmark::kMillisecond);

void press(QWidget* widget, Qt::Key key, const QString& text) {
  QKeyEvent down(QEvent::KeyPress, key, Qt::NoModifier, text);
  QCoreApplication::sendEvent(widget, &down);
  QKeyEvent up(QEvent::KeyRelease, key, Qt::NoModifier, text);
  QCoreApplication::sendEvent(widget, &up);
}

// One keystroke in the sentence in the middle of the transcript, alternately typing a character
// and deleting it, with the repaint that follows.
void BM_TranscriptViewKeystroke(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  World world(count);
  std::unique_ptr<QWidget> window = world.shownView();
  const int row = count / 2;
  world.live->setScrollRequest(world.live->session(world.id)->segments[static_cast<std::size_t>(row)].id);
  QCoreApplication::processEvents();
  const QRect text = world.view->rowAt(row).regionRect(veltovoice::SegmentRow::Region::text, world.view->sentenceRect(row));
  QWidget* viewport = world.view->list()->viewport();
  QMouseEvent click(QEvent::MouseButtonPress, QPointF(text.center()), viewport->mapToGlobal(QPointF(text.center())),
                    Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(viewport, &click);
  QCoreApplication::processEvents();
  veltovoice::SegmentTextEdit* editor = world.view->sentenceEditor();
  if (!editor) {
    state.SkipWithError("no editor opened");
    return;
  }
  editor->setFocus();
  editor->moveCursor(QTextCursor::End);
  QCoreApplication::processEvents();
  bool typed = false;
  for (auto _ : state) {
    if (typed) {
      press(editor, Qt::Key_Backspace, QString());
    } else {
      press(editor, Qt::Key_A, QStringLiteral("あ"));
    }
    typed = !typed;
    QCoreApplication::processEvents();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TranscriptViewKeystroke)->Arg(30)->Arg(3000)->Unit(benchmark::kMicrosecond);

// One final recogniser result appended to the conversation being recorded, with the scroll to the
// end and the repaint; the sentence is taken away again outside the measurement.
void BM_TranscriptViewLiveAppend(benchmark::State& state) {
  World world(static_cast<int>(state.range(0)));
  world.live->setLiveID(world.id);
  std::unique_ptr<QWidget> window = world.shownView();
  double start = 100000;
  for (auto _ : state) {
    devadevev::LiveTranscriber::Update update;
    update.isFinal = true;
    update.text = "では、その方向で進めましょう。";
    update.start = start;
    update.end = start + 2;
    world.live->apply(update);
    QCoreApplication::processEvents();
    state.PauseTiming();
    world.live->deleteSegment(world.live->session(world.id)->segments.back().id);
    QCoreApplication::processEvents();
    start += 3;
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TranscriptViewLiveAppend)->Arg(30)->Arg(3000)->Unit(benchmark::kMicrosecond);

}  // namespace
