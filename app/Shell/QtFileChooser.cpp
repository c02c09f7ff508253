#include "app/Shell/QtFileChooser.h"

#include <QFile>
#include <QFileDialog>
#include <QStringList>

namespace veltovoice {

std::unique_ptr<QFileDialog> QtFileChooser::dialog(const std::string& message,
                                                   const std::vector<std::string>& nameFilters) const {
  auto chooser = std::make_unique<QFileDialog>(parent_.data(), QString::fromStdString(message));
  chooser->setFileMode(QFileDialog::ExistingFile);
  chooser->setAcceptMode(QFileDialog::AcceptOpen);
  QStringList filters;
  for (const std::string& filter : nameFilters) filters << QString::fromStdString(filter);
  chooser->setNameFilters(filters);
  return chooser;
}

std::optional<std::filesystem::path> QtFileChooser::operator()(
    const std::string& message, const std::vector<std::string>& nameFilters) const {
  const std::unique_ptr<QFileDialog> chooser = dialog(message, nameFilters);
  if (chooser->exec() != QDialog::Accepted) return std::nullopt;
  const QStringList chosen = chooser->selectedFiles();
  if (chosen.isEmpty()) return std::nullopt;
  return std::filesystem::path(QFile::encodeName(chosen.front()).toStdString());
}

}  // namespace veltovoice
