#pragma once

#include <QPointer>
#include <QWidget>

#include "app/Model/LiveModelServices.h"

namespace veltovoice {

// The conversation model's consent prompt as a modal alert: a QMessageBox with the question's
// message and informative text, the accept button first (the default) and the cancel button
// (also what Escape chooses). GUI thread only.
// REQUIRES: a QApplication exists.
class QtConsentPrompt {
 public:
  // The alert is modal to `parent`'s window when one is given and still exists.
  explicit QtConsentPrompt(QWidget* parent = nullptr) : parent_(parent) {}

  // Shows the alert and waits; true only when the accept button was chosen.
  bool operator()(const LiveModelServices::ConsentQuestion& question) const;

 private:
  QPointer<QWidget> parent_;
};

}  // namespace veltovoice
