#pragma once

#include <string>

namespace veltovoice {

// The one time format of the interface and of every text export: "H:MM:SS" from one hour on,
// else "MM:SS". Seconds are cut to whole numbers, a negative time reads as 0, and a time that is
// not finite reads "—". A time beyond the signed 64-bit range of seconds reads as the largest time
// within it.
std::string clock(double seconds);

}  // namespace veltovoice
