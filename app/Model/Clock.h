#pragma once

#include <string>

namespace veltovoice {

// The one time format of the interface and of every text export: "H:MM:SS" from one hour on,
// else "MM:SS". Seconds are cut to whole numbers, a negative time reads as 0, and a time that is
// not finite reads "—".
// REQUIRES: the whole seconds of `seconds` fit a signed 64-bit integer.
std::string clock(double seconds);

}  // namespace veltovoice
