#include "app/Shell/SessionRowDelegate.h"

#include <string>
#include <vector>

#include <QListView>
#include <QPaintDevice>
#include <QPaintEngine>
#include <QPainter>
#include <QStyleOptionViewItem>
#include <QTextItem>
#include <gtest/gtest.h>

#include "app/Model/Clock.h"
#include "app/Shell/SessionList.h"
#include "app/Shell/SessionListModel.h"
#include "tests/app/Shell/ShellFixture.h"

namespace veltovoice {
namespace {

// 2025-03-03 09:05:00 in Tokyo, in seconds since 2001.
constexpr double kMarch3 = 1740960300.0 - 978307200.0;

// A paint engine that keeps the text it is asked to draw, in order, and draws nothing.
class TextRecordingEngine : public QPaintEngine {
 public:
  bool begin(QPaintDevice*) override { return true; }
  bool end() override { return true; }
  void updateState(const QPaintEngineState&) override {}
  void drawPixmap(const QRectF&, const QPixmap&, const QRectF&) override {}
  void drawTextItem(const QPointF&, const QTextItem& item) override { text += item.text(); }
  Type type() const override { return QPaintEngine::User; }

  QString text;
};

// A device of the screen's resolution that paints through TextRecordingEngine.
class TextRecordingDevice : public QPaintDevice {
 public:
  TextRecordingDevice(QSize size, int dpi) : size_(size), dpi_(dpi) {}
  QPaintEngine* paintEngine() const override { return &engine_; }
  QString text() const { return engine_.text; }

 protected:
  int metric(PaintDeviceMetric metric) const override {
    switch (metric) {
      case PdmWidth: return size_.width();
      case PdmHeight: return size_.height();
      case PdmDpiX:
      case PdmDpiY:
      case PdmPhysicalDpiX:
      case PdmPhysicalDpiY: return dpi_;
      case PdmDepth: return 32;
      case PdmNumColors: return 0x7fffffff;
      case PdmDevicePixelRatio: return 1;
      case PdmDevicePixelRatioScaled: return static_cast<int>(devicePixelRatioFScale());
      default: return 0;
    }
  }

 private:
  QSize size_;
  int dpi_;
  mutable TextRecordingEngine engine_;
};

class SessionRowDelegateTest : public testing::ShellTest {
 protected:
  // The text the delegate paints for the row of `id` in the application's list, as wide as the
  // main window shows it, at the default font.
  QString paintedText(SessionList& list, const QUuid& id) {
    QListView* view = list.view();
    const QModelIndex index = list.model()->index(list.model()->rowOf(id));
    QStyleOptionViewItem option;
    option.initFrom(view->viewport());
    option.font = view->font();
    option.rect = view->visualRect(index);
    EXPECT_GT(option.rect.width(), 0);
    TextRecordingDevice device(view->viewport()->size(), view->viewport()->logicalDpiX());
    QPainter painter(&device);
    list.delegate()->paint(&painter, option, index);
    painter.end();
    return device.text();
  }
};

TEST_F(SessionRowDelegateTest, RowShowsTheWholeLengthWhenItHasRoom) {
  struct Case {
    const char* name;
    double duration;
    bool withRecording;
  };
  const Case cases[] = {
      {"25 seconds", 25, true},
      {"an hour and five minutes", 3900, true},
      {"three hours twenty", 12000, true},
      {"25 seconds without a recording", 25, false},
      {"three hours twenty without a recording", 12000, false},
  };
  std::vector<std::pair<QUuid, const Case*>> rows;
  for (const Case& c : cases) {
    VoiceSession session = stored(c.name, kMarch3, {}, c.withRecording);
    session.duration = c.duration;
    SessionStore::inFolder(root_.path()).save(session);
    rows.emplace_back(session.id, &c);
  }
  SessionList list(model());
  list.resize(280, 600);  // the main window's list column
  list.show();
  QCoreApplication::processEvents();

  for (const auto& [id, c] : rows) {
    SCOPED_TRACE(c->name);
    const QModelIndex index = list.model()->index(list.model()->rowOf(id));
    const QString detail = index.data(SessionListModel::DetailRole).toString();
    const QString length = QString::fromStdString(clock(c->duration));
    ASSERT_TRUE(detail.endsWith(QStringLiteral("· ") + length)) << detail.toStdString();
    const QString painted = paintedText(list, id);
    EXPECT_TRUE(painted.contains(detail)) << painted.toStdString();
    EXPECT_FALSE(painted.contains(QChar(u'…'))) << painted.toStdString();
  }
}

TEST_F(SessionRowDelegateTest, TooNarrowARowStillElidesItsDetail) {
  VoiceSession session = stored("狭い", kMarch3);
  session.duration = 12000;
  SessionStore::inFolder(root_.path()).save(session);
  SessionList list(model());
  list.resize(120, 600);
  list.show();
  QCoreApplication::processEvents();

  const QString painted = paintedText(list, session.id);
  EXPECT_TRUE(painted.contains(QChar(u'…'))) << painted.toStdString();
  EXPECT_FALSE(painted.contains(QStringLiteral("3:20:00"))) << painted.toStdString();
}

}  // namespace
}  // namespace veltovoice
