#pragma once

#include <string>

namespace veltovoice {

// The name of the user's current locale ("ja_JP"), as the application's default QLocale gives it,
// for locale-aware date formats. Safe from any thread once the application has set its locale.
std::string userLocaleName();

// Seconds since 1970-01-01 UTC of a record time (seconds since 2001-01-01 UTC), and back.
double unixSecondsFromRecordTime(double secondsSince2001);
double recordTimeFromUnixSeconds(double unixSeconds);

}  // namespace veltovoice
