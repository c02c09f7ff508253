#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/ml/MLModel.h"

#include "tests/support/ModelBuilder.h"

// An echo stand-in for the voice-activity model "silero-vad-unified-256ms-v6.2.1", built in code
// with the real interface: inputs "audio_input" f32 [1, 4160], "hidden_state" f32 [1, 128] and
// "cell_state" f32 [1, 128]. Its outputs let a test see what reached the model:
//   probability (default "vad_output") [1, 1] = audio_input[0, 64], the chunk's first sample
//   "new_hidden_state" [1, hiddenLength]     = hidden_state + 1, counting the chunks
//   "new_cell_state"   [1, 128]              = audio_input[0, 0 ... 127]: the 64 context samples,
//                                               then the chunk's first 64
namespace testsupport {

struct VadEchoOptions {
  // The probability output's name.
  std::string probabilityName = "vad_output";
  // Another output holding the constant -1, to tell which of two outputs was read.
  std::optional<std::string> decoyName;
  bool withProbability = true;
  bool withHiddenState = true;
  bool withCellState = true;
  // Values of "new_hidden_state": the first hiddenLength of hidden_state + 1 (at most 128).
  std::int64_t hiddenLength = 128;
  // The element type of every output.
  ElementType outputType = ElementType::float32;
};

// The stand-in's network, named "silero-vad-unified-256ms-v6.2.1" (its bundle is
// "silero-vad-unified-256ms-v6.2.1.mlmodelc").
ModelBuilder vadEchoModel(const VadEchoOptions& options = {});

// The stand-in written into `folder` and loaded.
std::shared_ptr<platform::MLModel> loadVadEchoModel(const std::filesystem::path& folder,
                                                    const VadEchoOptions& options = {});

}  // namespace testsupport
