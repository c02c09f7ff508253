#include "app/Model/LiveModel.h"

#include "app/Processing/TaskExtractor.h"
#include "platform/lm/SystemLanguageModel.h"

namespace veltovoice {

// Without an available language model nothing ever runs.
void LiveModel::extractTasksIfNeeded(const QUuid&, bool) {
  if (!services_.languageModel || !services_.languageModel->availability().isAvailable()) return;
}

void LiveModel::reextractTasks(const QUuid&) {
  const auto availability = services_.languageModel->availability();
  if (!availability.isAvailable()) {
    setNotice(Notice{TaskExtractor::availabilityText(*availability.unavailableReason), std::nullopt});
  }
}

void LiveModel::regroupTasks(const QUuid&) {
  const auto availability = services_.languageModel->availability();
  if (!availability.isAvailable()) {
    setNotice(Notice{TaskExtractor::availabilityText(*availability.unavailableReason), std::nullopt});
  }
}

}  // namespace veltovoice
