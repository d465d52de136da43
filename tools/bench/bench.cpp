// Timings of the tool's hot paths against the stand-in, and the count of
// platform calls a run makes. Built on Google Benchmark; scripts/bench.sh
// builds it in Release and runs it. The stand-in keeps its files in memory
// and records every call, so the file figures measure this code and the
// stand-in, not a disk.
//
// Any of the library's flags may be given (--benchmark_filter is not useful:
// every section selects its own benchmarks). By default every benchmark runs
// in 7 repetitions of at least 0.1 s each, interleaved at random with the
// others of its section so that a slow spell of the shared machine spreads
// over all of them instead of skewing one ratio; the tables give the median.
#include "bench.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "standin/standin.h"

namespace van_tide::bench {

bool CollectingReporter::ReportContext(const Context& /*context*/) { return true; }

void CollectingReporter::ReportRuns(const std::vector<Run>& reports) {
  for (const Run& run : reports) {
    Collected& entry = collected_[run.run_name.function_name];
    if (run.error_occurred) {
      if (entry.error.empty()) entry.error = run.error_message.empty() ? "failed" : run.error_message;
      continue;
    }
    if (run.run_type != Run::RT_Iteration) continue;
    const double perSecond = benchmark::GetTimeUnitMultiplier(run.time_unit);
    entry.iterationNanoseconds.push_back(run.GetAdjustedCPUTime() * 1e9 / perSecond);

    // Recomputed on every repetition: with random interleaving the
    // repetitions of one benchmark arrive in separate reports.
    std::vector<double> sorted = entry.iterationNanoseconds;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t count = sorted.size();
    entry.medianNanoseconds =
        count % 2 == 1 ? sorted[count / 2] : (sorted[count / 2 - 1] + sorted[count / 2]) / 2;
    if (count < 2) {
      entry.spread = -1;
      continue;
    }
    const double mean = std::accumulate(sorted.begin(), sorted.end(), 0.0) / static_cast<double>(count);
    double squares = 0;
    for (double value : sorted) squares += (value - mean) * (value - mean);
    entry.spread = std::sqrt(squares / static_cast<double>(count - 1)) / mean;
  }
}

bool CollectingReporter::Find(const std::string& name, Figure* figure) const {
  const auto found = collected_.find(name);
  if (found == collected_.end() || !found->second.error.empty() || found->second.medianNanoseconds < 0) {
    return false;
  }
  figure->nanoseconds = found->second.medianNanoseconds;
  figure->spread = found->second.spread;
  return true;
}

std::string CollectingReporter::ErrorOf(const std::string& name) const {
  const auto found = collected_.find(name);
  return found == collected_.end() ? std::string() : found->second.error;
}

std::string FormatDuration(double nanoseconds) {
  char text[32];
  if (nanoseconds < 0) {
    std::snprintf(text, sizeof text, "n/a");
  } else if (nanoseconds < 1e3) {
    std::snprintf(text, sizeof text, "%.1f ns", nanoseconds);
  } else if (nanoseconds < 1e6) {
    std::snprintf(text, sizeof text, "%.2f us", nanoseconds / 1e3);
  } else if (nanoseconds < 1e9) {
    std::snprintf(text, sizeof text, "%.2f ms", nanoseconds / 1e6);
  } else {
    std::snprintf(text, sizeof text, "%.2f s", nanoseconds / 1e9);
  }
  return text;
}

}  // namespace van_tide::bench

namespace {

using van_tide::bench::CollectingReporter;

// Runs the benchmarks whose names start with `prefix`, so that random
// interleaving mixes only benchmarks that are compared with each other.
void RunSection(const char* prefix, CollectingReporter* reporter) {
  std::fflush(stdout);
  benchmark::RunSpecifiedBenchmarks(reporter, std::string("^") + prefix);
}

void PrintBuild() {
#if defined(__VERSION__)
  std::printf("compiled by: %s", __VERSION__);
#else
  std::printf("compiled by: (unknown compiler)");
#endif
#if defined(NDEBUG) && defined(__OPTIMIZE__)
  std::printf(", optimised, NDEBUG\n");
#else
  std::printf("\nWARNING: not a Release build; the figures below mean little\n");
#endif
  std::printf(
      "timing: Google Benchmark, CPU time per iteration, median of the repetitions; spread is the\n"
      "coefficient of variation over the repetitions\n");
}

}  // namespace

int main(int argc, char** argv) {
  // Defaults first, so that the same flags given on the command line win.
  std::vector<char*> arguments{argv[0]};
  std::string repetitions = "--benchmark_repetitions=7";
  std::string minTime = "--benchmark_min_time=0.1";
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  arguments.push_back(repetitions.data());
  arguments.push_back(minTime.data());
  arguments.push_back(interleave.data());
  for (int i = 1; i < argc; ++i) arguments.push_back(argv[i]);
  int count = static_cast<int>(arguments.size());
  arguments.push_back(nullptr);
  benchmark::Initialize(&count, arguments.data());
  if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 2;

  PrintBuild();
  if (!van_tide::bench::RegisterDecodeBenchmarks() || !van_tide::bench::RegisterScanBenchmarks() ||
      !van_tide::bench::RegisterKeptBenchmarks()) {
    return 1;
  }

  CollectingReporter reporter;
  RunSection(van_tide::bench::kDecodePrefix, &reporter);
  van_tide::bench::PrintDecodeTables(reporter);

  const bool callsOk = van_tide::bench::PrintCallTable();

  RunSection(van_tide::bench::kScanPrefix, &reporter);
  van_tide::bench::PrintScanTable(reporter);

  RunSection(van_tide::bench::kKeptPrefix, &reporter);
  van_tide::bench::PrintKeptTable(reporter);

  van_tide::standin::Reset();
  benchmark::Shutdown();
  return callsOk ? 0 : 1;
}
