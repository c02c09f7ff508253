#pragma once

#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace tesselaudio {

// Stage timings of one recognition run. JSON: an object with the field names as keys;
// "gpuUtilization" is written only when known, and reads as none when missing or null.
struct ASRPerformanceMetrics {
  double preprocessorTime = 0;     // seconds
  double encoderTime = 0;          // seconds
  double decoderTime = 0;          // seconds
  double totalProcessingTime = 0;  // seconds
  float rtfx = 0;                  // real-time factor
  float peakMemoryMB = 0;
  std::optional<float> gpuUtilization;  // percent

  // Eight lines without a final newline: "Performance Metrics:", then Preprocessor, Encoder,
  // Decoder and Total in seconds with three decimals, RTFx and Peak Memory with one decimal, and
  // GPU Utilization as a percentage with one decimal or "N/A". Locale-independent.
  std::string summary() const;

  // Throws platform::JsonCodingError for a value that is not finite.
  nlohmann::json toJson() const;
  // Throws platform::JsonCodingError when one of the first six keys is missing or a value has the wrong type.
  static ASRPerformanceMetrics fromJson(const nlohmann::json& json);

  bool operator==(const ASRPerformanceMetrics&) const = default;
};

}  // namespace tesselaudio
