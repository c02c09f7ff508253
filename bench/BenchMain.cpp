// The benchmarks' main: Google Benchmark's own, except that --benchmark_format=csv prints through
// a reporter that takes benchmarks with different counters. The library's CSV reporter fixes its
// columns at the first benchmark and aborts at the first that reports another counter.

#include <cstring>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

// Collects every run and prints them at the end, one column per counter that any run reported;
// a run without a counter leaves its cell empty.
class UnionCsvReporter : public benchmark::BenchmarkReporter {
 public:
  bool ReportContext(const Context& context) override {
    PrintBasicContext(&GetErrorStream(), context);
    return true;
  }

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      for (const auto& [name, counter] : run.counters) {
        if (name != "bytes_per_second" && name != "items_per_second") counterNames_.insert(name);
      }
      runs_.push_back(run);
    }
  }

  void Finalize() override {
    std::ostream& out = GetOutputStream();
    out << "name,iterations,real_time,cpu_time,time_unit,bytes_per_second,items_per_second,label,"
           "error_occurred,error_message";
    for (const std::string& name : counterNames_) out << ',' << quoted(name);
    out << '\n';
    for (const Run& run : runs_) printRow(out, run);
  }

 private:
  static std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + '"';
  }

  static void printCounter(std::ostream& out, const Run& run, const std::string& name) {
    out << ',';
    const auto found = run.counters.find(name);
    if (found != run.counters.end()) out << found->second.value;
  }

  void printRow(std::ostream& out, const Run& run) const {
    out << quoted(run.benchmark_name()) << ',';
    if (run.error_occurred) {
      out << ",,,,,,," << "true," << quoted(run.error_message);
    } else {
      if (run.run_type != Run::RT_Aggregate || run.aggregate_unit == benchmark::StatisticUnit::kTime) {
        out << run.iterations << ',' << run.GetAdjustedRealTime() << ',' << run.GetAdjustedCPUTime() << ','
            << benchmark::GetTimeUnitString(run.time_unit);
      } else {
        out << run.iterations << ",,,";
      }
      printCounter(out, run, "bytes_per_second");
      printCounter(out, run, "items_per_second");
      out << ',' << (run.report_label.empty() ? "" : quoted(run.report_label)) << ",,";
    }
    for (const std::string& name : counterNames_) printCounter(out, run, name);
    out << '\n';
  }

  std::set<std::string> counterNames_;
  std::vector<Run> runs_;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  bool csv = false;
  for (auto it = args.begin(); it != args.end();) {
    if (std::strcmp(*it, "--benchmark_format=csv") == 0) {
      csv = true;
      it = args.erase(it);
    } else {
      ++it;
    }
  }
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  if (csv) {
    UnionCsvReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
  } else {
    benchmark::RunSpecifiedBenchmarks();
  }
  benchmark::Shutdown();
  return 0;
}
