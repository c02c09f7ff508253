#include "app/Model/LiveModel.h"

#include "platform/lm/SystemLanguageModel.h"

namespace veltovoice {

// Only the entry point stands so far; the extraction job itself comes with issue 34. Without an
// available language model nothing ever runs.
void LiveModel::extractTasksIfNeeded(const QUuid&, bool) {
  if (!services_.languageModel || !services_.languageModel->availability().isAvailable()) return;
}

}  // namespace veltovoice
