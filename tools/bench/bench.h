// Shared pieces of the benchmark program: the results collected from Google
// Benchmark, and the sections that register benchmarks or print tables.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace van_tide::bench {

// One benchmark's figure: the median over its repetitions of the CPU time of
// one iteration, and how far the repetitions spread (coefficient of variation;
// negative when there was a single repetition).
struct Figure {
  double nanoseconds = 0;
  double spread = -1;
};

// Keeps every run the library reports, prints nothing, and answers for a
// benchmark by its registered name. Errors are kept too, so a broken
// benchmark shows in the tables instead of vanishing.
class CollectingReporter : public benchmark::BenchmarkReporter {
 public:
  bool ReportContext(const Context& context) override;
  void ReportRuns(const std::vector<Run>& reports) override;

  // False when the benchmark did not run or failed; *figure is left alone.
  bool Find(const std::string& name, Figure* figure) const;
  // The first failure of the named benchmark, or empty.
  std::string ErrorOf(const std::string& name) const;

 private:
  struct Collected {
    std::vector<double> iterationNanoseconds;
    double medianNanoseconds = -1;
    double spread = -1;
    std::string error;
  };
  std::map<std::string, Collected> collected_;
};

// "12.3 ns", "4.56 us", "7.89 ms", "1.23 s"; "n/a" for a negative value.
std::string FormatDuration(double nanoseconds);

// Sections, in the order the program prints them. Each Register* adds its
// benchmarks under a name prefix of its own; each Print* reads them back.
inline constexpr char kDecodePrefix[] = "decode/";
inline constexpr char kScanPrefix[] = "scan/";
inline constexpr char kKeptPrefix[] = "kept/";

// False when an input does not behave as its table assumes (the decoder
// refuses it, say); the program then stops before timing anything.
bool RegisterDecodeBenchmarks();
void PrintDecodeTables(const CollectingReporter& results);

// Not timed: runs each scenario once on the stand-in and prints the call
// table. False when a scenario does not end as it should.
bool PrintCallTable();

bool RegisterScanBenchmarks();
void PrintScanTable(const CollectingReporter& results);

bool RegisterKeptBenchmarks();
void PrintKeptTable(const CollectingReporter& results);

}  // namespace van_tide::bench
