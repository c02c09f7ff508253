#include "platform/sys/HostInfo.h"

#include <unistd.h>

#include <charconv>
#include <string_view>

#include "platform/sys/HostEnvironment.h"

namespace platform::HostInfo {
namespace {

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

// Calls `visit(key, value)` for every "key<separator>value" line of `text`, keys and values
// trimmed; stops when `visit` returns true.
template <class Visit>
void forEachEntry(std::string_view text, char separator, Visit visit) {
  while (!text.empty()) {
    const auto end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    const auto at = line.find(separator);
    if (at == std::string_view::npos) continue;
    if (visit(trim(line.substr(0, at)), trim(line.substr(at + 1)))) return;
  }
}

// An os-release value: shell-style, optionally in double or single quotes.
std::string unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) ++i;
    out.push_back(value[i]);
  }
  return out;
}

std::optional<std::string> prettyNameIn(const std::string& path) {
  const auto text = HostEnvironment::current()->readFile(path);
  if (!text) return std::nullopt;
  std::optional<std::string> name;
  forEachEntry(*text, '=', [&](std::string_view key, std::string_view value) {
    if (key != "PRETTY_NAME") return false;
    name = unquote(value);
    return true;
  });
  if (name && name->empty()) return std::nullopt;
  return name;
}

// "1234 kB" -> 1234 * 1024.
std::optional<std::uint64_t> kilobytes(std::string_view value) {
  std::uint64_t number = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (error != std::errc() || end == value.data()) return std::nullopt;
  if (trim(std::string_view(end, value.data() + value.size() - end)) != "kB") return std::nullopt;
  return number * 1024;
}

}  // namespace

std::optional<std::string> osPrettyName() {
  if (auto name = prettyNameIn("/etc/os-release")) return name;
  return prettyNameIn("/usr/lib/os-release");
}

std::optional<std::string> kernelRelease() {
  const auto names = HostEnvironment::current()->uname();
  if (!names || names->release.empty()) return std::nullopt;
  return names->release;
}

std::optional<std::string> architecture() {
  const auto names = HostEnvironment::current()->uname();
  if (!names || names->machine.empty()) return std::nullopt;
  return names->machine;
}

std::optional<std::string> cpuModelName() {
  const auto text = HostEnvironment::current()->readFile("/proc/cpuinfo");
  if (!text) return std::nullopt;
  std::optional<std::string> name;
  forEachEntry(*text, ':', [&](std::string_view key, std::string_view value) {
    if (key != "model name" || value.empty()) return false;
    name = std::string(value);
    return true;
  });
  return name;
}

std::optional<std::string> productName() {
  const auto text = HostEnvironment::current()->readFile("/sys/class/dmi/id/product_name");
  if (!text) return std::nullopt;
  const std::string_view name = trim(*text);
  if (name.empty()) return std::nullopt;
  return std::string(name);
}

std::optional<long> activeProcessorCount() {
  return HostEnvironment::current()->sysconf(_SC_NPROCESSORS_ONLN);
}

std::optional<long> processorCount() {
  return HostEnvironment::current()->sysconf(_SC_NPROCESSORS_CONF);
}

std::optional<std::uint64_t> physicalMemoryBytes() {
  const auto environment = HostEnvironment::current();
  const auto pages = environment->sysconf(_SC_PHYS_PAGES);
  const auto pageSize = environment->sysconf(_SC_PAGESIZE);
  if (!pages || !pageSize || *pages <= 0 || *pageSize <= 0) return std::nullopt;
  return static_cast<std::uint64_t>(*pages) * static_cast<std::uint64_t>(*pageSize);
}

ProcessMemory processMemory() {
  ProcessMemory memory;
  const auto text = HostEnvironment::current()->readFile("/proc/self/status");
  if (!text) return memory;
  forEachEntry(*text, ':', [&](std::string_view key, std::string_view value) {
    if (key == "VmRSS") memory.residentBytes = kilobytes(value);
    else if (key == "VmHWM") memory.peakResidentBytes = kilobytes(value);
    else if (key == "RssAnon") memory.anonymousBytes = kilobytes(value);
    else if (key == "RssShmem") memory.sharedMemoryBytes = kilobytes(value);
    return false;
  });
  return memory;
}

}  // namespace platform::HostInfo
