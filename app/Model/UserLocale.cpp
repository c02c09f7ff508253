#include "app/Model/UserLocale.h"

#include <QLocale>

namespace veltovoice {
namespace {
constexpr double kSecondsFrom1970To2001 = 978307200.0;
}  // namespace

std::string userLocaleName() { return QLocale().name().toStdString(); }

double unixSecondsFromRecordTime(double secondsSince2001) {
  return secondsSince2001 + kSecondsFrom1970To2001;
}

double recordTimeFromUnixSeconds(double unixSeconds) {
  return unixSeconds - kSecondsFrom1970To2001;
}

}  // namespace veltovoice
