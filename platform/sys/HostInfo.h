#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Facts about the machine and the running process, read through the current HostEnvironment
// (so tests can replace what the system reports). Each value is nullopt when the system does not
// give it. Safe from any thread.
namespace platform::HostInfo {

// PRETTY_NAME of /etc/os-release, else of /usr/lib/os-release ("Debian GNU/Linux 12 (bookworm)").
std::optional<std::string> osPrettyName();

// The kernel release from uname ("6.1.0-18-amd64").
std::optional<std::string> kernelRelease();

// The machine architecture from uname ("x86_64", "aarch64").
std::optional<std::string> architecture();

// The first "model name" of /proc/cpuinfo.
std::optional<std::string> cpuModelName();

// The DMI product name (/sys/class/dmi/id/product_name).
std::optional<std::string> productName();

// Processors online and configured (sysconf).
std::optional<long> activeProcessorCount();
std::optional<long> processorCount();

// Physical memory: pages times page size (sysconf).
std::optional<std::uint64_t> physicalMemoryBytes();

// Memory of the calling process from /proc/self/status, in bytes.
struct ProcessMemory {
  std::optional<std::uint64_t> residentBytes;      // VmRSS
  std::optional<std::uint64_t> peakResidentBytes;  // VmHWM
  std::optional<std::uint64_t> anonymousBytes;     // RssAnon
  std::optional<std::uint64_t> sharedMemoryBytes;  // RssShmem
};
ProcessMemory processMemory();

}  // namespace platform::HostInfo
