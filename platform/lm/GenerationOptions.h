#pragma once

#include <optional>

namespace platform {

// How the model picks its tokens: always the likeliest one, or at random among the top k tokens or
// the tokens within probability mass p. A value type.
struct SamplingMode {
  enum class Kind { greedy, topK, topP };
  Kind kind = Kind::greedy;
  int topK = 0;
  double probabilityThreshold = 0.0;

  static SamplingMode greedy() { return {}; }
  static SamplingMode random(int top) { return {Kind::topK, top, 0.0}; }
  static SamplingMode random(double probabilityThreshold) {
    return {Kind::topP, 0, probabilityThreshold};
  }

  bool operator==(const SamplingMode&) const = default;
};

// The options of one request; an absent field is left to the server. A value type.
struct GenerationOptions {
  std::optional<SamplingMode> sampling;
  std::optional<double> temperature;
  std::optional<int> maximumResponseTokens;

  bool operator==(const GenerationOptions&) const = default;
};

}  // namespace platform
