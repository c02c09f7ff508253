#include "app/Shell/SessionListModel.h"

#include <algorithm>
#include <utility>

#include "app/Model/Clock.h"
#include "app/Model/LiveModel.h"
#include "app/Model/UserLocale.h"
#include "platform/text/DateFormat.h"

namespace veltovoice {

SessionListModel::SessionListModel(LiveModel& live, QObject* parent)
    : QAbstractListModel(parent), live_(live) {
  rows_ = matchingRows();

  connect(&live_, &LiveModel::sessionInserted, this, [this](int row) {
    search_.forget(live_.sessionAt(row).id);
    dates_.remove(live_.sessionAt(row).id);
    refilter();
  });
  connect(&live_, &LiveModel::sessionRemoved, this, [this](const QUuid& id, int) {
    search_.forget(id);
    dates_.remove(id);
    refilter();
  });
  connect(&live_, &LiveModel::sessionChanged, this, [this](const QUuid& id) {
    search_.forget(id);
    dates_.remove(id);
    // A change of the texts may bring the conversation into the results or take it out.
    if (searching()) refilter();
    changeRow(rowOf(id));
  });
  connect(&live_, &LiveModel::sessionsReordered, this, &SessionListModel::refilter);
  connect(&live_, &LiveModel::selectedIDChanged, this, &SessionListModel::changeAllRows);
  connect(&live_, &LiveModel::liveIDChanged, this, &SessionListModel::changeAllRows);
  connect(&live_, &LiveModel::phaseChanged, this, &SessionListModel::changeAllRows);
  connect(&live_, &LiveModel::elapsedChanged, this, [this] {
    if (live_.liveID()) changeRow(rowOf(*live_.liveID()));
  });
}

void SessionListModel::setQuery(const QString& query) {
  if (query == query_) return;
  query_ = query;
  // A query of combining marks alone folds to nothing but is still a query.
  needle_ = SessionSearch::fold(query);
  refilter();
}

std::vector<SessionListModel::Row> SessionListModel::matchingRows() {
  std::vector<Row> rows;
  const std::vector<VoiceSession>& sessions = live_.sessions();
  if (!searching()) rows.reserve(sessions.size());
  for (std::size_t i = 0; i < sessions.size(); ++i) {
    if (!searching() || search_.matches(sessions[i], needle_)) {
      rows.push_back(Row{sessions[i].id, static_cast<int>(i)});
    }
  }
  return rows;
}

void SessionListModel::applyRows(std::vector<Row> next) {
  if (next == rows_) {
    rows_ = std::move(next);
    return;
  }
  const auto differ = std::mismatch(rows_.begin(), rows_.end(), next.begin(), next.end());
  const int at = static_cast<int>(differ.first - rows_.begin());
  if (next.size() == rows_.size() + 1 &&
      std::equal(rows_.begin() + at, rows_.end(), next.begin() + at + 1)) {
    beginInsertRows(QModelIndex(), at, at);
    rows_ = std::move(next);
    endInsertRows();
  } else if (next.size() + 1 == rows_.size() &&
             std::equal(next.begin() + at, next.end(), rows_.begin() + at + 1)) {
    beginRemoveRows(QModelIndex(), at, at);
    rows_ = std::move(next);
    endRemoveRows();
  } else {
    beginResetModel();
    rows_ = std::move(next);
    endResetModel();
  }
}

void SessionListModel::changeAllRows() {
  if (rows_.empty()) return;
  emit dataChanged(index(0), index(static_cast<int>(rows_.size()) - 1));
}

void SessionListModel::changeRow(int row) {
  if (row < 0) return;
  emit dataChanged(index(row), index(row));
}

const VoiceSession* SessionListModel::sessionAt(int row) const {
  if (row < 0 || row >= static_cast<int>(rows_.size())) return nullptr;
  const Row& shown = rows_[static_cast<std::size_t>(row)];
  // The model's list may have moved on before this list has (inside a removal, say).
  if (shown.modelRow < live_.sessionCount() && live_.sessionAt(shown.modelRow).id == shown.id) {
    return &live_.sessionAt(shown.modelRow);
  }
  return live_.session(shown.id);
}

int SessionListModel::rowOf(const QUuid& id) const {
  const auto found = std::find_if(rows_.begin(), rows_.end(), [&](const Row& row) { return row.id == id; });
  return found == rows_.end() ? -1 : static_cast<int>(found - rows_.begin());
}

QString SessionListModel::rowDate(double startedAt) {
  return QString::fromStdString(platform::text::formatDateStyle(
      unixSecondsFromRecordTime(startedAt), platform::text::DateStyle::abbreviated,
      platform::text::TimeStyle::shortened, userLocaleName()));
}

QString SessionListModel::detail(const VoiceSession& session, bool live) const {
  if (live) {
    if (live_.phase() == LiveModel::Phase::paused) return QStringLiteral("一時停止中");
    return QStringLiteral("録音中 · ") + QString::fromStdString(clock(live_.elapsed()));
  }
  auto date = dates_.find(session.id);
  if (date == dates_.end()) date = dates_.insert(session.id, rowDate(session.startedAt));
  if (!session.duration) return *date;
  return *date + QStringLiteral(" · ") + QString::fromStdString(clock(*session.duration));
}

int SessionListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant SessionListModel::data(const QModelIndex& index, int role) const {
  if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) return {};
  const VoiceSession* session = sessionAt(index.row());
  if (!session) return {};
  const bool live = live_.liveID() == session->id;
  const bool paused = live_.phase() == LiveModel::Phase::paused;
  switch (role) {
    case Qt::DisplayRole: return QString::fromStdString(session->title);
    case IdRole: return QVariant::fromValue(session->id);
    case LiveRole: return live;
    case SelectedRole: return live_.selectedID() == session->id;
    case SymbolRole:
      if (!live) return QString();
      return paused ? QStringLiteral("pause.circle.fill") : QStringLiteral("record.circle.fill");
    case PulsingRole: return live && live_.phase() == LiveModel::Phase::recording;
    case DetailRole: return detail(*session, live);
    case MissingRecordingRole: return !live && !session->audioFile;
    default: return {};
  }
}

QHash<int, QByteArray> SessionListModel::roleNames() const {
  QHash<int, QByteArray> names = QAbstractListModel::roleNames();
  names.insert(IdRole, "id");
  names.insert(LiveRole, "live");
  names.insert(SelectedRole, "selected");
  names.insert(SymbolRole, "symbol");
  names.insert(PulsingRole, "pulsing");
  names.insert(DetailRole, "detail");
  names.insert(MissingRecordingRole, "missingRecording");
  return names;
}

}  // namespace veltovoice
