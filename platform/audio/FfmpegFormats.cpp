#include "platform/audio/FfmpegFormats.h"

#include <mutex>

extern "C" {
#include <libavutil/log.h>
#include <libavutil/samplefmt.h>
}

namespace platform::detail {

int avSampleFormat(const AudioFormat& format) {
  const bool planar = !format.isInterleaved();
  switch (format.commonFormat()) {
    case CommonFormat::pcmFormatFloat32: return planar ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_FLT;
    case CommonFormat::pcmFormatFloat64: return planar ? AV_SAMPLE_FMT_DBLP : AV_SAMPLE_FMT_DBL;
    case CommonFormat::pcmFormatInt16: return planar ? AV_SAMPLE_FMT_S16P : AV_SAMPLE_FMT_S16;
    case CommonFormat::pcmFormatInt32: return planar ? AV_SAMPLE_FMT_S32P : AV_SAMPLE_FMT_S32;
    case CommonFormat::otherFormat: return AV_SAMPLE_FMT_NONE;
  }
  return AV_SAMPLE_FMT_NONE;
}

void quietFfmpegLog() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

}  // namespace platform::detail
