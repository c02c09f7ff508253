#pragma once

#include <vector>

#include <QAbstractListModel>
#include <QHash>
#include <QString>
#include <QUuid>

#include "app/Shell/SessionSearch.h"

namespace veltovoice {

class LiveModel;
struct VoiceSession;

// The conversations of the list, in the model's order (newest first), narrowed by the search
// query: every conversation while the query is empty, else those whose title or a sentence
// contains it. One row per conversation with what its row shows; follows every change of the
// model's list, selection, phase and elapsed time. GUI thread only.
class SessionListModel : public QAbstractListModel {
  Q_OBJECT

 public:
  enum Role {
    IdRole = Qt::UserRole + 1,  // QUuid
    LiveRole,                   // bool: the conversation is being recorded
    SelectedRole,               // bool: the conversation is the model's selection
    SymbolRole,                 // QString: the live symbol, empty for other rows
    PulsingRole,                // bool: the live symbol pulses (while recording)
    DetailRole,                 // QString: the second line's text
    MissingRecordingRole,       // bool: no recording, and not live
  };

  // `live` is borrowed and must outlive the list.
  explicit SessionListModel(LiveModel& live, QObject* parent = nullptr);

  const QString& query() const { return query_; }
  // Narrows the rows to the conversations that contain `query`; the empty query shows all.
  void setQuery(const QString& query);

  // The conversation at `row`, or null. Valid until the model's list next changes.
  const VoiceSession* sessionAt(int row) const;
  // The row of conversation `id`, or -1 when it is not shown.
  int rowOf(const QUuid& id) const;

  // The date and time of a row in the user's locale: the abbreviated date and the shortened time.
  static QString rowDate(double startedAt);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QHash<int, QByteArray> roleNames() const override;

 private:
  struct Row {
    QUuid id;
    int modelRow;  // where the conversation stood in the model when the rows were last made
    bool operator==(const Row& other) const { return id == other.id; }
  };

  bool searching() const { return !query_.isEmpty(); }
  std::vector<Row> matchingRows();
  // Moves to `next`, with one insertion or removal when that is all that changed.
  void applyRows(std::vector<Row> next);
  void refilter() { applyRows(matchingRows()); }
  void changeAllRows();
  void changeRow(int row);
  QString detail(const VoiceSession& session, bool live) const;

  LiveModel& live_;
  QString query_;
  QString needle_;
  SessionSearch search_;
  std::vector<Row> rows_;
  mutable QHash<QUuid, QString> dates_;
};

}  // namespace veltovoice
