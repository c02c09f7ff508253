#pragma once

#include <cstdint>
#include <span>
#include <vector>

// Filter-bank frames that carry no signal: the zero padding after the end of a recording must not
// shift the feature means. Frames are 400 samples every 160 samples (25 ms every 10 ms at 16 kHz),
// fixed in samples whatever the sample rate. Stateless; safe from any thread.
namespace tesselaudio::SilenceAwareFbank {

// One flag per frame, true when none of the frame's samples is non-zero (a NaN counts as
// non-zero); a frame starting at or past the end of `audio` is silent. Linear in samples + frames.
std::vector<bool> silentFrames(std::span<const float> audio, std::int64_t frameCount);

}  // namespace tesselaudio::SilenceAwareFbank
