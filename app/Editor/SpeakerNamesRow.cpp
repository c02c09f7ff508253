#include "app/Editor/SpeakerNamesRow.h"

#include <string>

#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>

#include "app/Editor/SpeakerPalette.h"
#include "app/Model/LiveModel.h"

namespace veltovoice {
namespace {

constexpr int kItemSpacing = 12;
constexpr int kDotFieldSpacing = 5;
constexpr int kDotSize = 8;
constexpr int kFieldWidth = 84;

// A filled circle in one speaker's colour.
class SpeakerDot : public QWidget {
 public:
  explicit SpeakerDot(QColor color) : color_(color) { setFixedSize(kDotSize, kDotSize); }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color_);
    painter.drawEllipse(rect());
  }

 private:
  QColor color_;
};

}  // namespace

SpeakerNamesRow::SpeakerNamesRow(LiveModel& live, const QUuid& sessionID, QWidget* parent)
    : QScrollArea(parent), live_(live), sessionID_(sessionID) {
  setObjectName(QStringLiteral("speakerNamesRow"));
  setFrameShape(QFrame::NoFrame);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setWidgetResizable(true);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);

  auto* content = new QWidget;
  content->setAutoFillBackground(false);
  stack_ = new QHBoxLayout(content);
  stack_->setContentsMargins(0, 0, 0, 0);
  stack_->setSpacing(kItemSpacing);
  stack_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  setWidget(content);
  viewport()->setAutoFillBackground(false);

  connect(&live_, &LiveModel::sessionChanged, this, [this](const QUuid& id) {
    if (id == sessionID_) refresh();
  });
  refresh();
}

QLineEdit* SpeakerNamesRow::field(int slot) const {
  const auto found = fields_.find(slot);
  return found == fields_.end() ? nullptr : found->second;
}

QString SpeakerNamesRow::placeholder(int slot) {
  const auto& letters = LiveModel::speakerLetters();
  if (slot >= 0 && slot < static_cast<int>(letters.size())) {
    return QStringLiteral("話者") + QString::fromStdString(letters[static_cast<std::size_t>(slot)]);
  }
  return QStringLiteral("話者") + QString::number(static_cast<long long>(slot) + 1);
}

void SpeakerNamesRow::refresh() {
  const VoiceSession* session = live_.session(sessionID_);
  const std::vector<int> known = session ? live_.knownSpeakers(*session) : std::vector<int>();
  if (known != slots_) rebuild(known);
  if (!session) return;
  for (const auto& [slot, field] : fields_) {
    // What the user is typing wins over what comes back from the model.
    if (field->hasFocus() && field->isModified()) continue;
    const auto name = session->speakerNames.find(slot);
    const QString text =
        name == session->speakerNames.end() ? QString() : QString::fromStdString(name->second);
    if (field->text() != text) field->setText(text);
  }
}

void SpeakerNamesRow::rebuild(const std::vector<int>& known) {
  while (stack_->count() > 0) delete stack_->takeAt(0);
  std::map<int, QWidget*> items;
  std::map<int, QLineEdit*> fields;
  for (int slot : known) {
    if (const auto kept = items_.find(slot); kept != items_.end()) {
      items[slot] = kept->second;
      fields[slot] = fields_[slot];
      items_.erase(kept);
    } else {
      items[slot] = makeItem(slot);
      fields[slot] = items[slot]->findChild<QLineEdit*>();
    }
    stack_->addWidget(items[slot]);
  }
  for (const auto& [slot, gone] : items_) delete gone;
  items_ = std::move(items);
  fields_ = std::move(fields);
  slots_ = known;
  setFixedHeight(widget()->sizeHint().height());
}

QWidget* SpeakerNamesRow::makeItem(int slot) {
  auto* item = new QWidget;
  auto* layout = new QHBoxLayout(item);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(kDotFieldSpacing);
  layout->setAlignment(Qt::AlignVCenter);

  auto* field = new QLineEdit;
  field->setObjectName(QStringLiteral("speakerNameField%1").arg(slot));
  field->setFixedWidth(kFieldWidth);
  field->setPlaceholderText(placeholder(slot));
  field->setAccessibleName(placeholder(slot));
  // textEdited, unlike textChanged, comes from the user only, never from refresh().
  connect(field, &QLineEdit::textEdited, this, [this, slot](const QString& text) {
    live_.renameSpeaker(sessionID_, slot, text.toStdString());
  });

  layout->addWidget(new SpeakerDot(SpeakerPalette::color(slot)));
  layout->addWidget(field);
  return item;
}

}  // namespace veltovoice
