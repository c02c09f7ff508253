#pragma once

namespace tesselaudio {

// The unit in which a diarizer segment's `activity` is expressed.
enum class DiarizerActivityType { sigmoids, logits };

// Maps one probability to the score that segment activity averages.
using DiarizerActivityEvaluation = float (*)(float probability);

// `sigmoids`: the probability itself. `logits`: the natural logarithm of p ÷ (1 − p) in single
// precision, after clamping p to at most 0.999999 and then to more than 0.000001; NaN stays NaN.
DiarizerActivityEvaluation evaluationFunction(DiarizerActivityType type);

}  // namespace tesselaudio
