// Timings of the tool's hot paths against the stand-in: decoding the largest
// legacy file, refusing a hostile one, the scan of a busy plug-in storage
// folder, reading the store, and the path rules. Every figure is the time of
// one operation, as the median and the minimum over repeated runs. The
// stand-in keeps its files in memory and records every call, so the file
// figures measure this code and the stand-in, not a disk.
//
// Build with -DCMAKE_BUILD_TYPE=Release for figures worth comparing.
#include "fs/path.h"
#include "legacy/json_object.h"
#include "legacy/legacy_scan.h"
#include "platform/status.h"
#include "platform/win32.h"
#include "store/protected_identity.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const std::string kToken = "van-tide-hud-0123456789abcdef0123456789ABCDEF";
constexpr std::size_t kMaxFile = 65536;

// Keeps results alive so the optimiser cannot drop the work that made them.
volatile std::size_t g_sink = 0;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "vantide_bench: %s\n", what);
  std::exit(1);
}

std::string FormatDuration(double nanoseconds) {
  char text[32];
  if (nanoseconds < 1e3) {
    std::snprintf(text, sizeof text, "%.1f ns", nanoseconds);
  } else if (nanoseconds < 1e6) {
    std::snprintf(text, sizeof text, "%.2f us", nanoseconds / 1e3);
  } else {
    std::snprintf(text, sizeof text, "%.2f ms", nanoseconds / 1e6);
  }
  return text;
}

// Runs `body` `batch` times per run, `runs` times, and prints the time of one
// call. `prepare` runs before every run, outside the timing.
void Measure(const char* name, int runs, int batch, const std::function<void()>& body,
             const std::function<void()>& prepare = [] {}) {
  std::vector<double> perCall;
  perCall.reserve(static_cast<std::size_t>(runs));
  body();  // warm caches and the allocator
  for (int run = 0; run < runs; ++run) {
    prepare();
    const auto start = Clock::now();
    for (int i = 0; i < batch; ++i) body();
    const std::chrono::duration<double, std::nano> elapsed = Clock::now() - start;
    perCall.push_back(elapsed.count() / batch);
  }
  std::sort(perCall.begin(), perCall.end());
  const double median = perCall[perCall.size() / 2];
  std::printf("%-52s %5d x %-7d %12s %12s\n", name, runs, batch, FormatDuration(median).c_str(),
              FormatDuration(perCall.front()).c_str());
}

// A legacy file as the plug-in might grow it: the two members the tool reads
// and a long history of other members, padded with white space to exactly
// the largest size a legacy file may have.
std::string LargeLegacyDocument() {
  std::string text = "{\n  \"version\": 1,\n  \"public_key\": \"" + kToken + "\",\n  \"history\": [\n";
  const std::string tail = "\n  ]\n}\n";
  for (int i = 0;; ++i) {
    char entry[200];
    std::snprintf(entry, sizeof entry,
                  "%s    {\"at\": %d, \"host\": \"PHSP\", \"build\": \"25.%d.%d\", \"ok\": %s, "
                  "\"tags\": [\"panel\", \"hud\"], \"ratio\": %d.%02d}",
                  i == 0 ? "" : ",\n", 1700000000 + i * 37, i % 7, i % 13, i % 2 == 0 ? "true" : "false",
                  i % 5, i % 100);
    if (text.size() + std::char_traits<char>::length(entry) + tail.size() > kMaxFile) break;
    text += entry;
  }
  text += tail;
  text.append(kMaxFile - text.size(), ' ');
  return text;
}

void BenchDecode() {
  const std::string document = LargeLegacyDocument();
  nlohmann::json out;
  if (document.size() != kMaxFile || !van_tide::VantideDecodeJsonObject(document, &out)) {
    Fail("the 64 KiB legacy document does not decode");
  }
  Measure("(a) decode a 64 KiB legacy document", 41, 20, [&] {
    nlohmann::json decoded;
    g_sink = g_sink + (van_tide::VantideDecodeJsonObject(document, &decoded) ? 1 : 0);
  });

  const std::string brackets(kMaxFile, '[');
  if (van_tide::VantideDecodeJsonObject(brackets, &out)) Fail("64 KiB of '[' decoded");
  Measure("(b) refuse 64 KiB of '['", 41, 2000, [&] {
    nlohmann::json decoded;
    g_sink = g_sink + (van_tide::VantideDecodeJsonObject(brackets, &decoded) ? 1 : 0);
  });
}

void BenchScan() {
  const van_tide::Path roaming = L"C:\\Users\\me\\AppData\\Roaming";
  const van_tide::Path local = L"C:\\Users\\me\\AppData\\Local";
  const van_tide::Path storage = roaming + L"\\Adobe\\UXP\\PluginsStorage\\PHSP";
  const std::string file = "{\"version\":1,\"public_key\":\"" + kToken + "\"}";

  van_tide::standin::Reset();
  van_tide::standin::SetEnvironmentVariable(L"APPDATA", roaming);
  van_tide::standin::SetEnvironmentVariable(L"LOCALAPPDATA", local);
  van_tide::standin::AddDirectory(local);
  for (int i = 0; i < 1000; ++i) {
    wchar_t name[32];
    std::swprintf(name, sizeof name / sizeof name[0], L"\\plugin-%04d", i);
    const van_tide::Path entry = storage + name;
    if (i % 10 == 0) {
      // Alternate between the two places a legacy file may lie.
      const wchar_t* place = i % 20 == 0 ? L"\\External\\com.greywick.van-tide\\PluginData\\license-device.json"
                                         : L"\\External\\com.greywick.van-tide\\license-device.json";
      van_tide::standin::AddFile(entry + place, file);
    } else {
      van_tide::standin::AddDirectory(entry);
    }
  }

  std::string token;
  if (van_tide::VantideScanLegacyIdentities(roaming, &token) != van_tide::kStatusOk || token != kToken) {
    Fail("the scan does not find the token");
  }
  Measure("(c) scan 1,000 storage entries, 100 legacy files", 21, 1,
          [&] {
            std::string found;
            g_sink = g_sink + static_cast<std::size_t>(van_tide::VantideScanLegacyIdentities(roaming, &found));
          },
          [] { van_tide::standin::ClearCalls(); });
}

void BenchStore() {
  const van_tide::Path store = L"C:\\Users\\me\\AppData\\Roaming\\Vantide\\license-device.dat";
  van_tide::standin::Reset();
  std::string sealed;
  if (van_tide::VantideSealIdentity(kToken, &sealed) != van_tide::kStatusOk) Fail("sealing failed");
  van_tide::standin::AddFile(store, sealed);

  std::string token;
  bool missing = false;
  if (van_tide::VantideReadProtectedIdentity(store, &token, &missing) != van_tide::kStatusOk || token != kToken) {
    Fail("the store does not read back");
  }
  Measure("(d) read and unseal the store", 41, 2000,
          [&] {
            std::string read;
            bool absent = false;
            g_sink = g_sink + static_cast<std::size_t>(van_tide::VantideReadProtectedIdentity(store, &read, &absent));
          },
          [] { van_tide::standin::ClearCalls(); });
}

void BenchPaths() {
  const van_tide::Path base = L"C:\\Users\\me\\AppData\\Roaming";
  const std::vector<van_tide::Path> names = {L"Vantide", L"license-device.dat", L"Adobe/UXP/PluginsStorage/PHSP",
                                             L"External/com.greywick.van-tide", L"PluginData/license-device.json"};
  constexpr int kOperations = 1000000;
  Measure("(e) 1e6 joins and parents (time of all of them)", 21, 1, [&] {
    std::size_t total = 0;
    for (int i = 0; i < kOperations; ++i) {
      const van_tide::Path joined = van_tide::VantideJoinPath(base, names[static_cast<std::size_t>(i) % names.size()]);
      total += van_tide::VantideParentPath(joined).size();
    }
    g_sink = g_sink + total;
  });
}

}  // namespace

int main() {
  std::printf("%-52s %5s   %-7s %12s %12s\n", "per operation", "runs", "batch", "median", "min");
  BenchDecode();
  BenchScan();
  BenchStore();
  BenchPaths();
  van_tide::standin::Reset();
  return 0;
}
