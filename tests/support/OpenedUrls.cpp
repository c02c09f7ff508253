#include "tests/support/OpenedUrls.h"

#include <QDesktopServices>

namespace testsupport {

OpenedUrls::OpenedUrls(const QString& scheme) : scheme_(scheme) {
  QDesktopServices::setUrlHandler(scheme_, this, "open");
}

OpenedUrls::~OpenedUrls() { QDesktopServices::unsetUrlHandler(scheme_); }

}  // namespace testsupport
