#pragma once

namespace platform {

// Which processors a model may use, with the platform's raw values (log lines print them). This
// build runs every model on the CPU whatever the choice.
enum class MLComputeUnits : int {
  cpuOnly = 0,
  cpuAndGPU = 1,
  all = 2,
  cpuAndNeuralEngine = 3,
};

}  // namespace platform
