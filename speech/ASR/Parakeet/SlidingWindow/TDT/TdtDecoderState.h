#pragma once

#include <cstdint>
#include <memory>
#include <optional>

namespace platform {
class MLFeatureProvider;
class MLMultiArray;
}  // namespace platform

namespace tesselaudio {

// State of the TDT prediction network (an LSTM) that a caller carries from one window to the
// next. A value whose arrays are shared by reference between copies: a decode advances them in
// place, so one state and its plain copies serve one decode at a time; deepCopy() gives a state
// that can be used on its own.
struct TdtDecoderState {
  // The prediction network's hidden size.
  static constexpr int64_t kHiddenSize = 640;

  // float32 [decoderLayers, 1, 640]; fed as "h_in", written back as "h_out".
  std::shared_ptr<platform::MLMultiArray> hiddenState;
  // float32 [decoderLayers, 1, 640]; fed as "c_in", written back as "c_out".
  std::shared_ptr<platform::MLMultiArray> cellState;
  // The last token fed to the prediction network; none before the first.
  std::optional<int64_t> lastToken;
  // The network's cached "decoder" output for the current state; null when there is none.
  std::shared_ptr<platform::MLMultiArray> predictorOutput;
  // How many encoder frames decoding of the previous window ran past its end; none on a fresh
  // state and after a last window.
  std::optional<int64_t> timeJump;

  // A fresh state: both arrays zeroed on 64-byte-aligned memory, nothing else set.
  // Throws the aligned allocation's error (ANEMemoryError, or the runtime's MLModelError) when
  // either array cannot be had.
  // REQUIRES: decoderLayers >= 1.
  explicit TdtDecoderState(int64_t decoderLayers);

  // The same as the constructor, for callers that hold states by factory; throws as it does.
  static TdtDecoderState make(int64_t decoderLayers);

  // An independent copy of `from`: new arrays holding equal values, the same lastToken and
  // timeJump, and no cached output, so that its next step runs the network. Throws the runtime's
  // MLModelError when an array cannot be made.
  static TdtDecoderState deepCopy(const TdtDecoderState& from);

  // Takes over the "h_out" and "c_out" arrays of the network's output, each only when present as
  // a multi-array; the other fields stay.
  void update(const platform::MLFeatureProvider& from);

 private:
  TdtDecoderState() = default;
};

}  // namespace tesselaudio
