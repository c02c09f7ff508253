#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/audio/AudioError.h"
#include "platform/audio/AudioFormat.h"
#include "platform/audio/PcmBuffer.h"

namespace platform {

// A pull-driven sample-rate, sample-type and channel converter (libswresample). The caller hands an
// output buffer and an input callback; the converter asks the callback for input as often as it
// needs to fill the output, and keeps what it has not yet put out (the resampler's history, input
// beyond the output's room) between calls until it is told the input has ended or is reset.
// Down-mixing to one channel averages all channels; one channel is copied to every output channel.
// Not thread-safe: one conversion at a time.
//
//   auto converter = Converter::make(inFormat, outFormat);
//   auto status = converter->convert(*output, [&](std::uint32_t, Converter::InputStatus& s) {
//     s = Converter::InputStatus::haveData;
//     return input.get();
//   });
class Converter {
 public:
  // What the input callback reports.
  enum class InputStatus {
    haveData,    // a buffer is handed over
    noDataNow,   // nothing for now; more may come in a later convert()
    endOfStream  // the input has ended: drain what is held
  };

  // What convert() reports.
  enum class OutputStatus {
    haveData,     // the output is full
    inputRanDry,  // the callback has nothing for now; the output holds what could be made
    endOfStream,  // the input has ended and everything held is out
    error         // a conversion failure; see the error argument
  };

  // How the sample rate is converted: `normal` is libswresample's own engine; `mastering` uses the
  // SoX resampler, with `quality` (0 to 127) choosing its precision.
  enum class Algorithm { normal, mastering };

  // Called with the number of input frames the converter would like; sets the status and returns
  // the buffer for have-data (borrowed until the next call), or null otherwise.
  using InputBlock = std::function<const PcmBuffer*(std::uint32_t frameCount, InputStatus& status)>;

  // Returns a converter, or null when libswresample refuses the pair of formats.
  static std::unique_ptr<Converter> make(const AudioFormat& inputFormat,
                                         const AudioFormat& outputFormat);
  ~Converter();

  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  const AudioFormat& inputFormat() const { return inputFormat_; }
  const AudioFormat& outputFormat() const { return outputFormat_; }

  // Take effect on the next reset() or on the first conversion, whichever comes first.
  void setSampleRateConverterAlgorithm(Algorithm algorithm);
  void setSampleRateConverterQuality(int quality);

  // Fills `output` from frame 0 and sets its frameLength to what was made. Input buffers must be
  // in the input format and `output` in the output format; anything else reports error. After
  // endOfStream the converter gives nothing more until reset(). On error, `error` (when given)
  // receives the failure.
  OutputStatus convert(PcmBuffer& output, const InputBlock& input,
                       std::optional<AudioError>* error = nullptr);

  // Drops everything held and starts afresh, as if just made.
  void reset();

 private:
  struct Impl;
  Converter(const AudioFormat& inputFormat, const AudioFormat& outputFormat,
            std::unique_ptr<Impl> impl);

  AudioFormat inputFormat_;
  AudioFormat outputFormat_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
