#include "app/Shell/SessionList.h"

#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <QVariantAnimation>

#include "app/Editor/VeltoToolsDesign.h"
#include "app/Model/LiveModel.h"
#include "app/Shell/ControlStyle.h"
#include "app/Shell/PulsingSymbol.h"
#include "app/Shell/RecordingCommands.h"
#include "app/Shell/SessionListModel.h"
#include "app/Shell/SessionRowDelegate.h"

namespace veltovoice {
namespace {

constexpr int kColumnSpacing = 14;
constexpr int kPaddingX = 18;
constexpr int kPaddingTop = 26;
constexpr int kPaddingBottom = 12;
constexpr int kTitlePixels = 23;
constexpr int kEmptyPadding = 24;

}  // namespace

SessionList::SessionList(LiveModel& live, QWidget* parent) : QWidget(parent), live_(live) {
  setObjectName(QStringLiteral("sessionList"));

  auto* title = new QLabel(QStringLiteral("VELTO VOICE"));
  title->setObjectName(QStringLiteral("title"));
  QFont titleFont = title->font();
  titleFont.setPixelSize(kTitlePixels);
  titleFont.setWeight(QFont::Bold);
  title->setFont(titleFont);

  start_ = ControlStyle::button(QStringLiteral("新規録音を開始"), QStringLiteral("record.circle"), true,
                                ControlStyle::Size::large);
  start_->setObjectName(QStringLiteral("startButton"));
  start_->setToolTip(RecordingCommands::startShortcutText());
  start_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  QFont semibold = start_->font();
  semibold.setWeight(QFont::DemiBold);
  start_->setFont(semibold);

  search_ = new QLineEdit;
  search_->setObjectName(QStringLiteral("searchField"));
  search_->setPlaceholderText(QStringLiteral("検索"));
  search_->setClearButtonEnabled(true);

  model_ = new SessionListModel(live_, this);
  delegate_ = new SessionRowDelegate(this);
  view_ = new QListView;
  view_->setObjectName(QStringLiteral("sessionRows"));
  view_->setModel(model_);
  view_->setItemDelegate(delegate_);
  view_->setUniformItemSizes(true);
  view_->setSelectionMode(QAbstractItemView::NoSelection);
  view_->setFocusPolicy(Qt::NoFocus);
  view_->setFrameShape(QFrame::NoFrame);
  view_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  view_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  view_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
  view_->setContextMenuPolicy(Qt::CustomContextMenu);
  view_->viewport()->setAutoFillBackground(false);

  empty_ = new QLabel;
  empty_->setObjectName(QStringLiteral("emptyText"));
  empty_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  empty_->setContentsMargins(0, kEmptyPadding, 0, kEmptyPadding);
  QPalette mutedText = empty_->palette();
  mutedText.setColor(QPalette::WindowText, VeltoToolsDesign::overBackground(VeltoToolsDesign::muted()));
  empty_->setPalette(mutedText);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(kPaddingX, kPaddingTop, kPaddingX, kPaddingBottom);
  column->setSpacing(kColumnSpacing);
  column->addWidget(title);
  column->addWidget(start_);
  column->addWidget(search_);
  column->addWidget(view_, 1);
  column->addWidget(empty_);
  column->addStretch(0);

  pulse_ = PulsingSymbol::makePulse(this);
  connect(pulse_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
    delegate_->setPulseOpacity(value.toDouble());
    if (live_.liveID()) {
      const int row = model_->rowOf(*live_.liveID());
      if (row >= 0) view_->viewport()->update(view_->visualRect(model_->index(row)));
    }
  });

  connect(start_, &QPushButton::clicked, this, [this] { live_.startNext(); });
  connect(search_, &QLineEdit::textChanged, model_, &SessionListModel::setQuery);
  connect(view_, &QListView::clicked, this, [this](const QModelIndex& index) {
    live_.setSelectedID(index.data(SessionListModel::IdRole).value<QUuid>());
  });
  connect(view_, &QListView::customContextMenuRequested, this, &SessionList::openContextMenu);
  connect(&live_, &LiveModel::phaseChanged, this, &SessionList::showPhase);
  connect(&live_, &LiveModel::liveIDChanged, this, &SessionList::showPulse);
  for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved}) {
    connect(model_, signal, this, &SessionList::showEmptyText);
  }
  connect(model_, &QAbstractItemModel::modelReset, this, &SessionList::showEmptyText);
  connect(search_, &QLineEdit::textChanged, this, &SessionList::showEmptyText);

  showPhase();
  showEmptyText();
}

SessionList::~SessionList() {
  // An open question goes first, while the list it reports to still stands.
  if (confirmation_) {
    confirmation_->disconnect(this);
    delete confirmation_;
  }
}

bool SessionList::pulsing() const { return pulse_->state() == QAbstractAnimation::Running; }

void SessionList::showPhase() {
  start_->setVisible(live_.phase() == LiveModel::Phase::idle);
  showPulse();
}

void SessionList::showPulse() {
  const bool pulsing = live_.phase() == LiveModel::Phase::recording && live_.liveID().has_value();
  if (pulsing == this->pulsing()) return;
  if (pulsing) {
    pulse_->start();
  } else {
    pulse_->stop();
    delegate_->setPulseOpacity(1);
    view_->viewport()->update();
  }
}

void SessionList::showEmptyText() {
  const bool none = model_->rowCount() == 0;
  empty_->setText(search_->text().isEmpty() ? QStringLiteral("まだ会話はありません。")
                                            : QStringLiteral("見つかりません。"));
  empty_->setVisible(none);
  view_->setVisible(!none);
}

std::unique_ptr<QMenu> SessionList::contextMenu(const QUuid& id) {
  const VoiceSession* session = live_.session(id);
  if (!session) return nullptr;
  auto menu = std::make_unique<QMenu>(this);
  menu->addAction(QStringLiteral("文字起こしをコピー"), this, [this, id] { live_.copyTranscript(id); });
  menu->addAction(QStringLiteral("フォルダで表示"), this, [this, id] { live_.reveal(id); });
  if (!session->audioFile) {
    QAction* find = menu->addAction(QStringLiteral("録音を探す"));
    find->setObjectName(QStringLiteral("findRecording"));
    connect(find, &QAction::triggered, this, [this, id] { live_.linkAudio(id, false, false); });
  }
  menu->addSeparator();
  QAction* remove = menu->addAction(QStringLiteral("VELTO VOICEから削除…"));
  remove->setEnabled(live_.liveID() != id);
  const VoiceSession copy = *session;
  connect(remove, &QAction::triggered, this, [this, copy] { confirmDeletion(copy); });
  return menu;
}

void SessionList::openContextMenu(const QPoint& position) {
  const QModelIndex index = view_->indexAt(position);
  if (!index.isValid()) return;
  std::unique_ptr<QMenu> menu = contextMenu(index.data(SessionListModel::IdRole).value<QUuid>());
  if (menu) menu->exec(view_->viewport()->mapToGlobal(position));
}

void SessionList::confirmDeletion(const VoiceSession& session) {
  if (confirmation_) confirmation_->deleteLater();
  confirmDelete_ = session;
  auto* box = new QMessageBox(this);
  confirmation_ = box;
  box->setObjectName(QStringLiteral("deleteConfirmation"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::WindowModal);
  box->setIcon(QMessageBox::Warning);
  box->setText(QStringLiteral("「") + QString::fromStdString(session.title) +
               QStringLiteral("」をVELTO VOICEから削除しますか？"));
  box->setInformativeText(
      QStringLiteral("文字起こしと、VELTO VOICEにコピーした録音を消します。ボイスメモの録音は消えません。"));
  QPushButton* remove = box->addButton(QStringLiteral("削除"), QMessageBox::DestructiveRole);
  remove->setObjectName(QStringLiteral("deleteButton"));
  QPushButton* cancel = box->addButton(QMessageBox::Cancel);
  cancel->setText(QStringLiteral("キャンセル"));
  box->setDefaultButton(cancel);
  box->setEscapeButton(cancel);
  connect(box, &QMessageBox::finished, this, [this, box, remove] {
    if (box != confirmation_) return;
    confirmation_ = nullptr;
    answerConfirmation(box->clickedButton() == remove);
  });
  box->open();
}

void SessionList::answerConfirmation(bool deleteIt) {
  // The model refuses the conversation being recorded; the question closes all the same.
  if (deleteIt && confirmDelete_) live_.deleteSession(confirmDelete_->id);
  confirmDelete_.reset();
}

}  // namespace veltovoice
