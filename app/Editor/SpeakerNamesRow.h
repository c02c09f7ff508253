#pragma once

#include <map>
#include <vector>

#include <QScrollArea>
#include <QUuid>

class QHBoxLayout;
class QLineEdit;

namespace veltovoice {

class LiveModel;

// The strip of speaker name fields of one conversation: for every slot the conversation uses or
// names (ascending), a dot in the slot's colour and a field whose placeholder is the slot's default
// name. Every edit of a field renames the slot with the field's whole text. The fields follow the
// model: they are rebuilt only when the set of slots changes (a field keeps its widget, and so its
// focus, while its slot stays), and a field being edited is never overwritten. Scrolls sideways
// without scroll bars. GUI thread only.
class SpeakerNamesRow : public QScrollArea {
  Q_OBJECT

 public:
  // `live` is borrowed and must outlive the row.
  SpeakerNamesRow(LiveModel& live, const QUuid& sessionID, QWidget* parent = nullptr);

  // The field of `slot`, or null when the row shows no such slot.
  QLineEdit* field(int slot) const;
  // The slots shown, in order.
  const std::vector<int>& shownSlots() const { return slots_; }

  // The default name of `slot`: "話者" and its letter for 0 to 3, else "話者" and slot + 1.
  static QString placeholder(int slot);

 private:
  void refresh();
  void rebuild(const std::vector<int>& known);
  QWidget* makeItem(int slot);

  LiveModel& live_;
  const QUuid sessionID_;
  QHBoxLayout* stack_;
  std::vector<int> slots_;
  std::map<int, QWidget*> items_;
  std::map<int, QLineEdit*> fields_;
};

}  // namespace veltovoice
