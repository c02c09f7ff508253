#include "speech/Shared/AudioWAV.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tesselaudio::AudioWAV {
namespace {

void put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void put16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void putTag(std::vector<std::uint8_t>& out, const char* tag) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(tag[i]));
}

std::int16_t toInt16(float v) {
  if (v < 1.0f) return static_cast<std::int16_t>(std::max(v, -1.0f) * 32767.0f);
  return 32767;
}

}  // namespace

std::vector<std::uint8_t> data(const std::vector<float>& samples, double sampleRate, bool normalize) {
  float peak = 1.0f;
  if (!samples.empty()) {
    peak = 0.0f;
    for (float v : samples) peak = std::max(peak, std::fabs(v));
  }
  const bool scale = normalize && peak > 0.0f;
  const auto dataSize = static_cast<std::uint32_t>(2 * samples.size());

  std::vector<std::uint8_t> out;
  out.reserve(44 + dataSize);
  putTag(out, "RIFF");
  put32(out, 36 + dataSize);
  putTag(out, "WAVE");
  putTag(out, "fmt ");
  put32(out, 16);
  put16(out, 1);
  put16(out, 1);
  put32(out, static_cast<std::uint32_t>(sampleRate));
  put32(out, static_cast<std::uint32_t>(sampleRate * 2));
  put16(out, 2);
  put16(out, 16);
  putTag(out, "data");
  put32(out, dataSize);
  for (float v : samples) put16(out, static_cast<std::uint16_t>(toInt16(scale ? v / peak : v)));
  return out;
}

}  // namespace tesselaudio::AudioWAV
