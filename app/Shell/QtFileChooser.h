#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QPointer>
#include <QWidget>

class QFileDialog;

namespace veltovoice {

// The conversation model's file chooser on the desktop: a modal QFileDialog for one existing file,
// titled with the question and filtered by the given name filters. Fits
// LiveModelServices::FileChooser. GUI thread only.
// REQUIRES: a QApplication exists.
class QtFileChooser {
 public:
  // Dialogs are shown over `parent` while it lives, else as windows of their own.
  explicit QtFileChooser(QWidget* parent = nullptr) : parent_(parent) {}

  // Shows the dialog modally; the chosen file, or nothing when the user cancels.
  std::optional<std::filesystem::path> operator()(const std::string& message,
                                                  const std::vector<std::string>& nameFilters) const;

  // The dialog operator() shows, not yet shown. Owned by the caller.
  std::unique_ptr<QFileDialog> dialog(const std::string& message,
                                      const std::vector<std::string>& nameFilters) const;

 private:
  QPointer<QWidget> parent_;
};

}  // namespace veltovoice
