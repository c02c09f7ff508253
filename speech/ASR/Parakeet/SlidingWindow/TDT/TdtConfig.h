#pragma once

#include <cstdint>
#include <vector>

namespace tesselaudio {

// Settings of the TDT greedy decoder. A value; the memberwise form takes the seven fields in
// order, unchecked.
struct TdtConfig {
  // Carried along; the decoder does not read it.
  bool includeTokenDuration = true;
  // Tokens emitted at one encoder frame before the frame is left; also the step count of the
  // last window's tail.
  int64_t maxSymbolsPerStep = 10;
  // Frames to advance for each duration class of the joint network (index = class).
  std::vector<int64_t> durationBins = {0, 1, 2, 3, 4};
  int64_t blankId = 8192;
  // Frame bound of the repeat search at a window seam; the decoder does not read it.
  int64_t boundarySearchFrames = 20;
  // Most tokens one decode call emits in its main loop.
  int64_t maxTokensPerChunk = 150;
  // Blanks in a row after which the last window's tail stops.
  int64_t consecutiveBlankLimit = 5;

  // The preset: the values above, built once on first use.
  static const TdtConfig& default_();

  bool operator==(const TdtConfig&) const = default;
};

}  // namespace tesselaudio
