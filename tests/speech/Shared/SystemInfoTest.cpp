#include "speech/Shared/SystemInfo.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sys/HostEnvironment.h"
#include "speech/MachTaskSelfWrapper/CurrentTaskPort.h"
#include "speech/Shared/AppLogger.h"
#include "tests/support/SystemLogCapture.h"

namespace tesselaudio {
namespace {

// The real host, with chosen files and sysconf values read otherwise; a file mapped to nullopt
// cannot be read.
class ScriptedHost : public platform::HostEnvironment {
 public:
  std::map<std::string, std::optional<std::string>> files;
  std::map<int, std::optional<long>> values;
  bool unameFails = false;

  std::optional<std::string> readFile(const std::filesystem::path& path) const override {
    if (auto it = files.find(path.string()); it != files.end()) return it->second;
    return HostEnvironment::readFile(path);
  }
  std::optional<Uname> uname() const override {
    if (unameFails) return std::nullopt;
    return HostEnvironment::uname();
  }
  std::optional<long> sysconf(int name) const override {
    if (auto it = values.find(name); it != values.end()) return it->second;
    return HostEnvironment::sysconf(name);
  }
};

class SystemInfoTest : public ::testing::Test {
 protected:
  // Puts `host` in place for the rest of the test.
  void use(std::shared_ptr<ScriptedHost> host) { previous_ = platform::HostEnvironment::replace(host); }
  void TearDown() override {
    if (previous_) platform::HostEnvironment::replace(previous_);
  }

  // The text between "<name>=" and the next ", " (or the end).
  static std::string field(const std::string& line, const std::string& name) {
    const auto start = line.find(", " + name + "=");
    if (start == std::string::npos) return "<missing>";
    const auto from = start + name.size() + 3;
    const auto end = line.find(", ", from);
    return line.substr(from, end == std::string::npos ? std::string::npos : end - from);
  }

  std::shared_ptr<const platform::HostEnvironment> previous_;
};

TEST_F(SystemInfoTest, RealHostLine) {
  const std::string line = SystemInfo::summary();
  struct utsname names {};
  ASSERT_EQ(uname(&names), 0);
  EXPECT_EQ(field(line, "arch"), names.machine) << line;
  EXPECT_EQ(field(line, "cores"),
            std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + "/" + std::to_string(sysconf(_SC_NPROCESSORS_CONF)));
  EXPECT_NE(field(line, "chip"), "<missing>");
  EXPECT_NE(field(line, "mem"), "<missing>");
  EXPECT_TRUE(line.ends_with(", rosetta=false")) << line;
  EXPECT_FALSE(line.starts_with(",")) << line;
  EXPECT_FALSE(SystemInfo::isAppleSilicon);
  EXPECT_FALSE(SystemInfo::isIntelMac);
}

TEST_F(SystemInfoTest, FallbacksForMissingHostFacts) {
  struct Case {
    const char* name;
    std::optional<std::string> etcOsRelease;
    std::optional<std::string> libOsRelease;
    std::optional<std::string> cpuinfo;
    std::optional<std::string> product;
    const char* os;  // nullptr: "Linux " and the real kernel release
    const char* chip;
  };
  const Case cases[] = {
      {"all there", "NAME=x\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n", std::nullopt,
       "processor\t: 0\nmodel name\t: Test CPU @ 3.0GHz\n\nprocessor\t: 1\nmodel name\t: Other\n",
       "Board\n", "Debian GNU/Linux 12 (bookworm)", "Test CPU @ 3.0GHz"},
      {"os-release under /usr/lib, DMI name", std::nullopt, "PRETTY_NAME='Fedora Linux 40'\n",
       "processor\t: 0\nHardware\t: BCM2835\n", "Raspberry Pi 4 Model B\n", "Fedora Linux 40",
       "Raspberry Pi 4 Model B"},
      {"nothing readable", std::nullopt, std::nullopt, std::nullopt, std::nullopt, nullptr,
       "UnknownChip"},
      {"empty pretty name and product", "PRETTY_NAME=\"\"\n", std::nullopt, "", " \n", nullptr,
       "UnknownChip"},
  };
  struct utsname names {};
  ASSERT_EQ(uname(&names), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto host = std::make_shared<ScriptedHost>();
    host->files["/etc/os-release"] = c.etcOsRelease;
    host->files["/usr/lib/os-release"] = c.libOsRelease;
    host->files["/proc/cpuinfo"] = c.cpuinfo;
    host->files["/sys/class/dmi/id/product_name"] = c.product;
    use(host);
    const std::string line = SystemInfo::summary();
    const std::string os = c.os ? c.os : std::string("Linux ") + names.release;
    EXPECT_TRUE(line.starts_with(os + ", arch=")) << line;
    EXPECT_EQ(field(line, "chip"), c.chip) << line;
  }

  auto broken = std::make_shared<ScriptedHost>();
  broken->unameFails = true;
  broken->files["/etc/os-release"] = std::nullopt;
  broken->files["/usr/lib/os-release"] = std::nullopt;
  broken->values[_SC_NPROCESSORS_ONLN] = std::nullopt;
  broken->values[_SC_PHYS_PAGES] = std::nullopt;
  use(broken);
  const std::string line = SystemInfo::summary();
  EXPECT_TRUE(line.starts_with("Linux, arch=unknown, chip=")) << line;
  EXPECT_TRUE(field(line, "cores").starts_with("0/")) << line;
  EXPECT_EQ(field(line, "mem"), "0 bytes");
}

TEST_F(SystemInfoTest, MemorySizeInOneFixedForm) {
  struct Case {
    long pages;
    long pageSize;
    const char* text;
  };
  const Case cases[] = {
      {4194304, 4096, "16 GB"},
      {4063232, 4096, "15.5 GB"},
      {1, 512, "512 bytes"},
      {1, 1536, "1.5 KB"},
      {268435455, 4096, "1 TB"},  // 1023.99 GB rounds into the next unit
      {3, 1000000, "2.9 MB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto host = std::make_shared<ScriptedHost>();
    host->values[_SC_PHYS_PAGES] = c.pages;
    host->values[_SC_PAGESIZE] = c.pageSize;
    use(host);
    EXPECT_EQ(field(SystemInfo::summary(), "mem"), c.text);
  }
}

TEST_F(SystemInfoTest, MemoryStatisticsOfTheRunningProcess) {
  const auto resident = SystemInfo::currentResidentMemoryBytes();
  ASSERT_TRUE(resident.has_value());
  EXPECT_GT(*resident, 0u);
  EXPECT_GE(SystemInfo::peakResidentMemoryBytes().value_or(0), *resident);
  EXPECT_GT(SystemInfo::currentPhysicalFootprintBytes().value_or(0), 0u);
  // Memory may grow between reads; that the two peaks are one value shows with a fixed status file.
  EXPECT_GE(SystemInfo::peakPhysicalFootprintBytes().value_or(0), *resident);
  EXPECT_EQ(get_current_task_port(), getpid());
}

TEST_F(SystemInfoTest, MemoryStatisticsFromTheStatusFile) {
  auto host = std::make_shared<ScriptedHost>();
  host->files["/proc/self/status"] =
      "Name:\ttest\nVmHWM:\t    2048 kB\nVmRSS:\t    1024 kB\nRssAnon:\t     600 kB\n"
      "RssFile:\t     300 kB\nRssShmem:\t      24 kB\n";
  use(host);
  EXPECT_EQ(SystemInfo::currentResidentMemoryBytes(), 1024u * 1024);
  EXPECT_EQ(SystemInfo::peakResidentMemoryBytes(), 2048u * 1024);
  EXPECT_EQ(SystemInfo::currentPhysicalFootprintBytes(), 624u * 1024);
  EXPECT_EQ(SystemInfo::peakPhysicalFootprintBytes(), 2048u * 1024);

  host->files["/proc/self/status"] = "VmRSS:\tlots\nRssAnon:\t5 kB\n";
  EXPECT_EQ(SystemInfo::currentResidentMemoryBytes(), std::nullopt);
  EXPECT_EQ(SystemInfo::currentPhysicalFootprintBytes(), std::nullopt);

  host->files["/proc/self/status"] = std::nullopt;
  EXPECT_EQ(SystemInfo::currentResidentMemoryBytes(), std::nullopt);
  EXPECT_EQ(SystemInfo::peakResidentMemoryBytes(), std::nullopt);
  EXPECT_EQ(SystemInfo::currentPhysicalFootprintBytes(), std::nullopt);
  EXPECT_EQ(SystemInfo::peakPhysicalFootprintBytes(), std::nullopt);
}

// Runs in a process of its own, so the host line has not been written yet.
TEST_F(SystemInfoTest, ConcurrentCallersLogTheHostLineOnce) {
  AppLogger::setMirrorsToConsole(false);
  testsupport::SystemLogCapture capture;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([t] { SystemInfo::logOnce(AppLogger("Engine" + std::to_string(t))); });
    }
  }
  SystemInfo::logOnce(AppLogger("Late"));
  AppLogger::setMirrorsToConsole(true);

  const auto records = capture.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, platform::SystemLog::Level::info);
  EXPECT_EQ(records[0].message, "Host environment: " + SystemInfo::summary());
}

}  // namespace
}  // namespace tesselaudio
