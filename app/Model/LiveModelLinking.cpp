#include "app/Model/LiveModel.h"

namespace veltovoice {

// Filled by the Voice Memos linking (issue 27).
QCoro::Task<> LiveModel::linkMissingAudio() { co_return; }

}  // namespace veltovoice
