#pragma once

// The time base of speaker records: seconds since 2001-01-01 00:00:00 UTC as a double.
namespace tesselaudio::SpeakerClock {

// The current time in that base. Safe from any thread.
double now();

}  // namespace tesselaudio::SpeakerClock
