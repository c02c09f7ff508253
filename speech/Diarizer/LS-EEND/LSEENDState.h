#pragma once

#include <memory>

#include "platform/ml/MLMultiArray.h"
#include "speech/Diarizer/LS-EEND/LSEENDMetadata.h"

namespace tesselaudio {

// The recurrent state of an LS-EEND model, carried from one call to the next: six float32 arrays
// that the model reads and overwrites in place. A value of shared references: copying it shares
// the arrays, copy() makes independent ones. Not locked; one owner writes at a time.
struct LSEENDState {
  std::shared_ptr<platform::MLMultiArray> encRetKv;      // [encNLayers, 1, nHeads, headDim, headDim]
  std::shared_ptr<platform::MLMultiArray> encRetScale;   // [encNLayers, 1]
  std::shared_ptr<platform::MLMultiArray> encConvCache;  // [encNLayers, 1, convKernelSize, nUnits]
  std::shared_ptr<platform::MLMultiArray> cnnWindow;     // [1, nUnits, 2 x convDelay]
  std::shared_ptr<platform::MLMultiArray> decRetKv;      // [decNLayers, maxNspks, nHeads, headDim, headDim]
  std::shared_ptr<platform::MLMultiArray> decRetScale;   // [decNLayers, 1]

  // A zeroed state of the metadata's shapes, on aligned memory of its own.
  // Throws LSEENDError::initializationFailed when the metadata gives no state (checkLimits), or
  // the allocator's ANEMemoryError; nothing partial is returned.
  explicit LSEENDState(const LSEENDMetadata& from);

  // Adopts six existing arrays as they are.
  LSEENDState(std::shared_ptr<platform::MLMultiArray> encRetKv, std::shared_ptr<platform::MLMultiArray> encRetScale,
              std::shared_ptr<platform::MLMultiArray> encConvCache, std::shared_ptr<platform::MLMultiArray> cnnWindow,
              std::shared_ptr<platform::MLMultiArray> decRetKv, std::shared_ptr<platform::MLMultiArray> decRetScale);

  // Six new aligned arrays of the same shapes holding this state's values; shares nothing.
  // Throws the allocator's ANEMemoryError (the arrays made so far are dropped).
  LSEENDState copy() const;

  // Writes this state's values into `to`'s own arrays, field by field.
  // REQUIRES: both states come from the same metadata.
  void copy(const LSEENDState& to) const;

  // Sets every element of the six arrays to 0; the arrays stay the same objects.
  void reset() const;
};

}  // namespace tesselaudio
