// What editing and painting a sentence costs beside laying its text out with QTextLayout: one
// keystroke in a 2,000-character sentence (the editor's own layout and its height) against one
// layout of the same text at the same width, and one painted row against its text painted alone.
#include <benchmark/benchmark.h>

#include <memory>

#include <QApplication>
#include <QImage>
#include <QKeyEvent>
#include <QPainter>
#include <QTextLayout>

#include "app/Editor/SegmentRow.h"
#include "app/Editor/SegmentTextEdit.h"
#include "app/Editor/VeltoToolsDesign.h"
#include "app/Model/LiveModel.h"
#include "tests/support/TemporaryFolder.h"

namespace {

using veltovoice::SegmentRow;
using veltovoice::SegmentTextEdit;

constexpr int kTextWidth = 400;
constexpr int kRowWidth = 640;

QApplication& application() {
  static int argc = 1;
  static char name[] = "bench_editor";
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

QString longSentence(int characters) {
  const QString phrase = QStringLiteral("来週の展示会の搬入は午前九時から、");
  QString text;
  while (text.size() < characters) text += phrase;
  return text.left(characters);
}

void press(QWidget* widget, Qt::Key key, const QString& text) {
  QKeyEvent down(QEvent::KeyPress, key, Qt::NoModifier, text);
  QCoreApplication::sendEvent(widget, &down);
  QKeyEvent up(QEvent::KeyRelease, key, Qt::NoModifier, text);
  QCoreApplication::sendEvent(widget, &up);
}

// One keystroke, alternately typing a character and deleting it, with the height the row asks for
// after it.
void BM_SegmentTextEditKeystroke(benchmark::State& state) {
  application();
  QWidget window;
  auto* editor = new SegmentTextEdit(&window);
  editor->setModelText(longSentence(static_cast<int>(state.range(0))));
  editor->setGeometry(0, 0, kTextWidth, editor->heightForWidth(kTextWidth));
  window.show();
  editor->setFocus();
  editor->moveCursor(QTextCursor::End);
  bool typed = false;
  for (auto _ : state) {
    if (typed) {
      press(editor, Qt::Key_Backspace, QString());
    } else {
      press(editor, Qt::Key_A, QStringLiteral("a"));
    }
    typed = !typed;
    benchmark::DoNotOptimize(editor->heightForWidth(kTextWidth));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SegmentTextEditKeystroke)->Arg(2000);

// The yardstick of the keystroke: the same text laid out once at the same width.
void BM_QTextLayoutLayoutOnce(benchmark::State& state) {
  application();
  const QString text = longSentence(static_cast<int>(state.range(0)));
  const QFont font = SegmentTextEdit::sentenceFont();
  for (auto _ : state) {
    QTextLayout layout(text, font);
    layout.beginLayout();
    qreal height = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
      line.setLineWidth(kTextWidth);
      line.setPosition(QPointF(0, height));
      height += line.height();
    }
    layout.endLayout();
    benchmark::DoNotOptimize(height);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QTextLayoutLayoutOnce)->Arg(2000);

// A model with one conversation of one edited, spoken sentence, for painting its row.
struct RowWorld {
  RowWorld() {
    application();
    live = std::make_unique<veltovoice::LiveModel>(folder.path());
    session.segments.push_back(veltovoice::LiveSegment{});
    auto& segment = session.segments.back();
    segment.text = longSentence(60).toStdString();
    segment.start = 125;
    segment.speaker = 1;
    segment.edited = true;
  }
  testsupport::TemporaryFolder folder;
  std::unique_ptr<veltovoice::LiveModel> live;
  veltovoice::VoiceSession session;
};

void BM_SegmentRowPaint(benchmark::State& state) {
  RowWorld world;
  const SegmentRow row(*world.live, world.session, world.session.segments[0], true, {}, true, false,
                       std::nullopt, [] {}, {}, {}, {}, {});
  QImage image(kRowWidth, row.heightForWidth(kRowWidth), QImage::Format_ARGB32_Premultiplied);
  QPainter painter(&image);
  for (auto _ : state) {
    row.paint(painter, image.rect());
    benchmark::DoNotOptimize(image.bits());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SegmentRowPaint);

// The yardstick of the row: its text laid out and drawn alone at the row's text width.
void BM_SegmentRowTextAlonePaint(benchmark::State& state) {
  RowWorld world;
  const SegmentRow row(*world.live, world.session, world.session.segments[0], true, {}, true, false,
                       std::nullopt, [] {}, {}, {}, {}, {});
  QImage image(kRowWidth, row.heightForWidth(kRowWidth), QImage::Format_ARGB32_Premultiplied);
  const QRect text = row.regionRect(SegmentRow::Region::text, image.rect());
  const QString shown = row.text();
  const QFont font = SegmentTextEdit::sentenceFont();
  QPainter painter(&image);
  painter.setPen(Qt::white);
  for (auto _ : state) {
    QTextLayout layout(shown, font);
    layout.beginLayout();
    qreal height = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
      line.setLineWidth(text.width());
      line.setPosition(QPointF(0, height));
      height += line.height();
    }
    layout.endLayout();
    layout.draw(&painter, text.topLeft());
    benchmark::DoNotOptimize(image.bits());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SegmentRowTextAlonePaint);

}  // namespace
