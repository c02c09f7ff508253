#include "app/Model/LiveModel.h"

namespace veltovoice {

// Neither job runs in this build yet: the menu may ask for them, and nothing happens.
QCoro::Task<> LiveModel::redoTranscript(QUuid) { co_return; }

QCoro::Task<> LiveModel::fillTranscript(QUuid) { co_return; }

}  // namespace veltovoice
