#include "platform/update/UpdaterDelegate.h"

namespace platform {

void UpdaterDelegate::mayProceedWithInstalling(const UpdateItem&) {}
void UpdaterDelegate::didFindValidUpdate(const UpdateItem&) {}
void UpdaterDelegate::didFinishCheckWithError(const Error&) {}
bool UpdaterDelegate::supportsGentleScheduledUpdateReminders() { return false; }
bool UpdaterDelegate::shouldHandleShowingScheduledUpdate(const UpdateItem&) { return true; }
void UpdaterDelegate::willHandleShowingUpdate(bool, const UpdateItem&, const UpdateState&) {}
void UpdaterDelegate::didReceiveUserAttention(const UpdateItem&) {}
void UpdaterDelegate::willFinishUpdateSession() {}
void UpdaterDelegate::willShowModalAlert() {}

}  // namespace platform
