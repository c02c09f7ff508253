#include "speech/Shared/ASRPerformanceMetrics.h"

#include <fmt/format.h>

#include "platform/sys/JsonFields.h"

namespace tesselaudio {

using namespace platform::json;

std::string ASRPerformanceMetrics::summary() const {
  const std::string gpu = gpuUtilization ? fmt::format("{:.1f}%", *gpuUtilization) : "N/A";
  return fmt::format(
      "Performance Metrics:\n- Preprocessor: {:.3f}s\n- Encoder: {:.3f}s\n- Decoder: {:.3f}s\n"
      "- Total: {:.3f}s\n- RTFx: {:.1f}x real-time\n- Peak Memory: {:.1f} MB\n"
      "- GPU Utilization: {}",
      preprocessorTime, encoderTime, decoderTime, totalProcessingTime, rtfx, peakMemoryMB, gpu);
}

nlohmann::json ASRPerformanceMetrics::toJson() const {
  Json json = Json::object();
  json["preprocessorTime"] = writeDouble(preprocessorTime, "preprocessorTime");
  json["encoderTime"] = writeDouble(encoderTime, "encoderTime");
  json["decoderTime"] = writeDouble(decoderTime, "decoderTime");
  json["totalProcessingTime"] = writeDouble(totalProcessingTime, "totalProcessingTime");
  json["rtfx"] = writeFloat(rtfx, "rtfx");
  json["peakMemoryMB"] = writeFloat(peakMemoryMB, "peakMemoryMB");
  if (gpuUtilization) json["gpuUtilization"] = writeFloat(*gpuUtilization, "gpuUtilization");
  return json;
}

ASRPerformanceMetrics ASRPerformanceMetrics::fromJson(const nlohmann::json& json) {
  requireObject(json, "ASRPerformanceMetrics");
  ASRPerformanceMetrics m;
  m.preprocessorTime = readDouble(requiredMember(json, "preprocessorTime"), "preprocessorTime");
  m.encoderTime = readDouble(requiredMember(json, "encoderTime"), "encoderTime");
  m.decoderTime = readDouble(requiredMember(json, "decoderTime"), "decoderTime");
  m.totalProcessingTime =
      readDouble(requiredMember(json, "totalProcessingTime"), "totalProcessingTime");
  m.rtfx = readFloat(requiredMember(json, "rtfx"), "rtfx");
  m.peakMemoryMB = readFloat(requiredMember(json, "peakMemoryMB"), "peakMemoryMB");
  m.gpuUtilization = readOptional<float>(json, "gpuUtilization", readFloat);
  return m;
}

}  // namespace tesselaudio
