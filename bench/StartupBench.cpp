// From the start of the application to its first painted main window, beside the least that any
// start must do: read the same folder and paint one window.
//   BM_AppDelegateLaunch            the delegate made and launched over 300 stored conversations of
//                                   40 sentences each, until the main window's first paint: model
//                                   and store, popover and status item, log line, window with its
//                                   content and menus, update service. Should stay within 1.5x
//                                   BM_StoreLoadAllAndEmptyWindow
//   BM_StoreLoadAllAndEmptyWindow   SessionStore::loadAll() of the same folder, then one empty
//                                   QMainWindow shown until its first paint
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <QApplication>
#include <QMainWindow>
#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "app/Editor/VeltoToolsDesign.h"
#include "app/Model/SessionStore.h"
#include "app/Shell/AppDelegate.h"
#include "app/Shell/MainWindow.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TemporaryFolder.h"

namespace {

using veltovoice::AppDelegate;
using veltovoice::LiveSegment;
using veltovoice::SessionStore;
using veltovoice::VoiceSession;

constexpr int kConversations = 300;
constexpr int kSentences = 40;

// The folders of the run: home, data and preferences of their own, so that nothing of the user's
// is read or written.
struct Folders {
  testsupport::TemporaryFolder home;
  testsupport::TemporaryFolder data;
  testsupport::TemporaryFolder config;
  std::filesystem::path root() const { return data.path() / "VeltoVoice"; }
};

Folders& folders() {
  static Folders* made = [] {
    auto* f = new Folders;
    setenv("HOME", f->home.path().c_str(), 1);
    setenv("XDG_DATA_HOME", f->data.path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", f->config.path().c_str(), 1);
    const SessionStore store = SessionStore::inFolder(f->root());
    for (int c = 0; c < kConversations; ++c) {
      VoiceSession session;
      session.title = fmt::format("第{}回 定例の打ち合わせ", c);
      session.startedAt = 700000000.0 - 3600.0 * c;
      session.duration = 1800;
      session.audioFile = fmt::format("{}.m4a", c);
      session.markdownFile = fmt::format("{}.md", c);
      for (int i = 0; i < kSentences; ++i) {
        LiveSegment segment;
        segment.text = fmt::format("{}番目の議題について、来週までに資料をまとめて共有します。", i);
        segment.start = 10.0 * i;
        segment.end = 10.0 * i + 8;
        segment.speaker = i % 3;
        session.segments.push_back(segment);
      }
      store.save(session);
    }
    return f;
  }();
  return *made;
}

QApplication& application() {
  static int argc = 1;
  static char name[] = "bench_startup";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    folders();
    benchmark::AddCustomContext("hardware_threads", std::to_string(std::thread::hardware_concurrency()));
    auto* made = new QApplication(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    veltovoice::VeltoToolsDesign::applyTo(*made);
    return made;
  }();
  return *app;
}

// Notes the first paint of anything in `window` once it exists.
class FirstPaint : public QObject {
 public:
  explicit FirstPaint(std::function<QWidget*()> window) : window_(std::move(window)) {
    qApp->installEventFilter(this);
  }
  ~FirstPaint() override { qApp->removeEventFilter(this); }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && !painted) {
      auto* widget = qobject_cast<QWidget*>(watched);
      QWidget* window = window_();
      painted = widget && window && widget->window() == window;
    }
    return false;
  }

  bool painted = false;

 private:
  std::function<QWidget*()> window_;
};

void BM_AppDelegateLaunch(benchmark::State& state) {
  application();
  for (auto _ : state) {
    AppDelegate::Setup setup;
    setup.root = folders().root();
    setup.services.clock = std::make_shared<testsupport::ManualClock>();
    auto delegate = std::make_unique<AppDelegate>(std::move(setup));
    FirstPaint paint([&] { return static_cast<QWidget*>(delegate->window()); });
    delegate->launch();
    testsupport::processEventsUntil([&] { return paint.painted; });
    benchmark::DoNotOptimize(delegate->live().sessionCount());
    state.PauseTiming();
    delegate.reset();
    QCoreApplication::processEvents();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kConversations);
}
BENCHMARK(BM_AppDelegateLaunch)->Unit(benchmark::kMillisecond);

void BM_StoreLoadAllAndEmptyWindow(benchmark::State& state) {
  application();
  for (auto _ : state) {
    const std::vector<VoiceSession> sessions = SessionStore::inFolder(folders().root()).loadAll();
    auto window = std::make_unique<QMainWindow>();
    FirstPaint paint([&] { return static_cast<QWidget*>(window.get()); });
    window->resize(veltovoice::MainWindow::kWidth, veltovoice::MainWindow::kHeight);
    window->show();
    testsupport::processEventsUntil([&] { return paint.painted; });
    benchmark::DoNotOptimize(sessions.size());
    state.PauseTiming();
    window.reset();
    QCoreApplication::processEvents();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kConversations);
}
BENCHMARK(BM_StoreLoadAllAndEmptyWindow)->Unit(benchmark::kMillisecond);

}  // namespace
