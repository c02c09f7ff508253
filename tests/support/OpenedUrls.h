#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

namespace testsupport {

// Takes QDesktopServices::openUrl for one scheme while it lives and records the addresses instead
// of starting a program for them. GUI thread only.
class OpenedUrls : public QObject {
  Q_OBJECT

 public:
  explicit OpenedUrls(const QString& scheme);
  ~OpenedUrls() override;

  const QList<QUrl>& urls() const { return urls_; }

 public slots:
  void open(const QUrl& url) { urls_.push_back(url); }

 private:
  QString scheme_;
  QList<QUrl> urls_;
};

}  // namespace testsupport
