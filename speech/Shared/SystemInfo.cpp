#include "speech/Shared/SystemInfo.h"

#include <cmath>

#include <fmt/format.h>

#include "platform/sys/HostInfo.h"
#include "speech/Shared/SystemInfoReporter.h"

namespace tesselaudio::SystemInfo {
namespace {

namespace host = platform::HostInfo;

// 1024-based, the largest unit that keeps the number at 1 or above, one decimal unless whole.
std::string byteCount(std::uint64_t bytes) {
  static constexpr const char* kUnits[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
  if (bytes < 1024) return fmt::format("{} bytes", bytes);
  double value = static_cast<double>(bytes) / 1024.0;
  size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
    value /= 1024.0;
    ++unit;
  }
  double rounded = std::round(value * 10.0) / 10.0;
  // 1023.96 GB reads as 1 TB, not as 1024 GB.
  if (rounded >= 1024.0 && unit + 1 < std::size(kUnits)) {
    rounded = 1.0;
    ++unit;
  }
  if (rounded == std::floor(rounded)) return fmt::format("{:.0f} {}", rounded, kUnits[unit]);
  return fmt::format("{:.1f} {}", rounded, kUnits[unit]);
}

std::string osName() {
  if (auto name = host::osPrettyName()) return *name;
  if (auto release = host::kernelRelease()) return "Linux " + *release;
  return "Linux";
}

std::string chipName() {
  if (auto name = host::cpuModelName()) return *name;
  if (auto name = host::productName()) return *name;
  return "UnknownChip";
}

}  // namespace

std::string summary() {
  const auto memory = host::physicalMemoryBytes();
  return fmt::format("{}, arch={}, chip={}, cores={}/{}, mem={}, rosetta=false", osName(),
                     host::architecture().value_or("unknown"), chipName(),
                     host::activeProcessorCount().value_or(0), host::processorCount().value_or(0),
                     byteCount(memory.value_or(0)));
}

void logOnce(const AppLogger& logger) { SystemInfoReporter::shared().logIfNeeded(logger); }

std::optional<std::uint64_t> currentResidentMemoryBytes() {
  return host::processMemory().residentBytes;
}

std::optional<std::uint64_t> peakResidentMemoryBytes() {
  return host::processMemory().peakResidentBytes;
}

std::optional<std::uint64_t> currentPhysicalFootprintBytes() {
  const auto memory = host::processMemory();
  if (!memory.anonymousBytes || !memory.sharedMemoryBytes) return std::nullopt;
  return *memory.anonymousBytes + *memory.sharedMemoryBytes;
}

std::optional<std::uint64_t> peakPhysicalFootprintBytes() {
  return host::processMemory().peakResidentBytes;
}

}  // namespace tesselaudio::SystemInfo
