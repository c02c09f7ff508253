#include "app/Shell/QtConsentPrompt.h"

#include <QMessageBox>
#include <QPushButton>

namespace veltovoice {

bool QtConsentPrompt::operator()(const LiveModelServices::ConsentQuestion& question) const {
  QMessageBox alert(parent_.data());
  alert.setIcon(QMessageBox::Question);
  alert.setText(QString::fromStdString(question.message));
  alert.setInformativeText(QString::fromStdString(question.informativeText));
  QPushButton* accept = alert.addButton(QString::fromStdString(question.acceptButton), QMessageBox::AcceptRole);
  QPushButton* cancel = alert.addButton(QString::fromStdString(question.cancelButton), QMessageBox::RejectRole);
  alert.setDefaultButton(accept);
  alert.setEscapeButton(cancel);
  alert.exec();
  return alert.clickedButton() == accept;
}

}  // namespace veltovoice
