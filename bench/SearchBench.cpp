// One keystroke in the conversation list's search field and one paint of the level waveform, each
// beside the plain work it should stay close to.
//   BM_SessionListModelFilter     a new query over 200 conversations of 1,000 sentences that no
//                                 conversation contains (every text is scanned); the folded texts
//                                 are cached, as they are after the first keystroke. Should stay
//                                 within 3x BM_QStringContains
//   BM_QStringContains            a case-sensitive QString::contains over the same texts, unfolded
//   BM_WaveformViewPaint          painting a 1,000-point-wide waveform (200 rounded bars) into an
//                                 image. Should stay within 2x BM_RectangleFill
//   BM_RectangleFill              filling the same 200 rectangles, unrounded, with the same painter
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "app/Model/LiveModel.h"
#include "app/Shell/SessionListModel.h"
#include "app/Shell/WaveformView.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TemporaryFolder.h"

namespace {

using veltovoice::LiveModel;
using veltovoice::LiveModelServices;
using veltovoice::LiveSegment;
using veltovoice::VoiceSession;

constexpr int kConversations = 200;
constexpr int kSentences = 1000;
constexpr double kWaveformWidth = 1000;
constexpr double kWaveformHeight = 56;

QApplication& application() {
  static int argc = 1;
  static char name[] = "bench_search";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    benchmark::AddCustomContext("hardware_threads", std::to_string(std::thread::hardware_concurrency()));
    return new QApplication(argc, argv);
  }();
  return *app;
}

class BenchModel : public LiveModel {
 public:
  using LiveModel::insertSession;
  using LiveModel::LiveModel;
};

std::vector<VoiceSession> conversations() {
  std::vector<VoiceSession> sessions;
  for (int c = 0; c < kConversations; ++c) {
    VoiceSession session;
    session.title = fmt::format("第{}回 Planning の定例", c);
    session.startedAt = 700000000.0 - c;
    for (int i = 0; i < kSentences; ++i) {
      LiveSegment segment;
      segment.text = fmt::format("今日の議題は{}番目の項目 Café について確認することです。", i);
      session.segments.push_back(segment);
    }
    sessions.push_back(std::move(session));
  }
  return sessions;
}

// Two queries that nothing contains, so that each keystroke is a change that scans every text.
const QString kQueries[] = {QStringLiteral("見つからない語"), QStringLiteral("見つからない語句")};

void BM_SessionListModelFilter(benchmark::State& state) {
  application();
  testsupport::TemporaryFolder data;
  testsupport::TemporaryFolder root;
  setenv("XDG_DATA_HOME", data.path().c_str(), 1);
  LiveModelServices services;
  services.clock = std::make_shared<testsupport::ManualClock>();
  auto model = std::make_unique<BenchModel>(root.path(), services);
  for (VoiceSession& session : conversations()) model->insertSession(model->sessionCount(), std::move(session));
  veltovoice::SessionListModel list(*model);
  list.setQuery(kQueries[1]);  // folds and caches every text

  std::size_t turn = 0;
  for (auto _ : state) {
    list.setQuery(kQueries[turn++ % 2]);
    benchmark::DoNotOptimize(list.rowCount());
  }
  state.SetItemsProcessed(state.iterations() * kConversations * kSentences);
}
BENCHMARK(BM_SessionListModelFilter)->Unit(benchmark::kMillisecond);

void BM_QStringContains(benchmark::State& state) {
  std::vector<QString> titles;
  std::vector<QStringList> texts;
  for (const VoiceSession& session : conversations()) {
    titles.push_back(QString::fromStdString(session.title));
    QStringList sentences;
    for (const LiveSegment& segment : session.segments) sentences.append(QString::fromStdString(segment.text));
    texts.push_back(std::move(sentences));
  }
  std::size_t turn = 0;
  for (auto _ : state) {
    const QString& needle = kQueries[turn++ % 2];
    int found = 0;
    for (std::size_t c = 0; c < titles.size(); ++c) {
      if (titles[c].contains(needle)) {
        ++found;
        continue;
      }
      for (const QString& sentence : texts[c]) {
        if (sentence.contains(needle)) {
          ++found;
          break;
        }
      }
    }
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(state.iterations() * kConversations * kSentences);
}
BENCHMARK(BM_QStringContains)->Unit(benchmark::kMillisecond);

std::vector<float> levels() {
  std::vector<float> levels;
  for (std::size_t i = 0; i < LiveModel::kMaxLevels; ++i) levels.push_back(0.0005f * static_cast<float>(i % 97));
  return levels;
}

void BM_WaveformViewPaint(benchmark::State& state) {
  application();
  veltovoice::WaveformView view;
  view.resize(static_cast<int>(kWaveformWidth), static_cast<int>(kWaveformHeight));
  view.setLevels(levels());
  view.setActive(true);
  QImage image(view.size(), QImage::Format_ARGB32_Premultiplied);
  for (auto _ : state) {
    image.fill(Qt::transparent);
    view.render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
    benchmark::DoNotOptimize(image.constBits());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kWaveformWidth / veltovoice::WaveformView::kBarPitch));
}
BENCHMARK(BM_WaveformViewPaint)->Unit(benchmark::kMicrosecond);

void BM_RectangleFill(benchmark::State& state) {
  application();
  const std::vector<QRectF> bars = veltovoice::waveformBars(levels(), kWaveformWidth, kWaveformHeight);
  QImage image(static_cast<int>(kWaveformWidth), static_cast<int>(kWaveformHeight),
               QImage::Format_ARGB32_Premultiplied);
  QColor color(170, 232, 168);
  color.setAlphaF(0.85f);
  for (auto _ : state) {
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    for (const QRectF& bar : bars) painter.fillRect(bar, color);
    painter.end();
    benchmark::DoNotOptimize(image.constBits());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(bars.size()));
}
BENCHMARK(BM_RectangleFill)->Unit(benchmark::kMicrosecond);

}  // namespace
