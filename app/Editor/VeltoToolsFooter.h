#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

namespace veltovoice {

class DesktopServices;

// The footer of the main window: the product family's line and a link to the maker's page, pushed
// to the trailing edge and at most 300 px wide; the line wraps rather than being cut. The link
// opens VeltoToolsDesign::website() through `desktop`. GUI thread only.
class VeltoToolsFooter : public QWidget {
  Q_OBJECT

 public:
  // `desktop` is borrowed and must outlive the footer.
  explicit VeltoToolsFooter(DesktopServices& desktop, QWidget* parent = nullptr);

  QLabel* line() const { return line_; }
  QPushButton* link() const { return link_; }

 private:
  DesktopServices& desktop_;
  QLabel* line_;
  QPushButton* link_;
};

}  // namespace veltovoice
