#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tesselaudio {

class AppLogger;

// The host line logged once per process when the library loads its first model, and the memory
// statistics of the running process. Read through platform::HostEnvironment. Safe from any thread.
namespace SystemInfo {

// This build never runs on a Mac.
inline constexpr bool isAppleSilicon = false;
inline constexpr bool isIntelMac = false;

// "<OS>, arch=<machine>, chip=<processor>, cores=<online>/<configured>, mem=<size>,
// rosetta=false". The OS is the os-release pretty name (else "Linux <kernel release>"), the
// processor the "model name" of /proc/cpuinfo (else the DMI product name, else "UnknownChip"),
// the size 1024-based with one decimal at most ("16 GB", "15.5 GB"). Always produced.
std::string summary();

// Hands `logger` to SystemInfoReporter::shared(), which writes the host line at most once per
// process.
void logOnce(const AppLogger& logger);

// From /proc/self/status: VmRSS, VmHWM, RssAnon + RssShmem, and VmHWM again (Linux keeps no
// other peak). nullopt when the file or the entries cannot be read.
std::optional<std::uint64_t> currentResidentMemoryBytes();
std::optional<std::uint64_t> peakResidentMemoryBytes();
std::optional<std::uint64_t> currentPhysicalFootprintBytes();
std::optional<std::uint64_t> peakPhysicalFootprintBytes();

}  // namespace SystemInfo
}  // namespace tesselaudio
