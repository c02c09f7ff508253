#pragma once

#include "platform/audio/AudioFormat.h"

// Mapping between this layer's formats and FFmpeg's, for the layer's own .cpp files.
namespace platform::detail {

// FFmpeg's sample format (an AVSampleFormat value) for `format`, or -1 (AV_SAMPLE_FMT_NONE).
int avSampleFormat(const AudioFormat& format);

}  // namespace platform::detail

namespace platform::detail {

// Keeps FFmpeg's informational chatter (encoder statistics) off standard error; its errors still
// show. Called by every class of the layer before it touches FFmpeg; cheap after the first call.
void quietFfmpegLog();

}  // namespace platform::detail
