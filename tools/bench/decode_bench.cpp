// The strict decoder against two floors. The decoder builds the document
// from the library's SAX events in a handler of its own, checking the rules
// on the way, so the plain parse (the library's own handler building the same
// tree from the same events) is the least it can cost. The parse with a
// callback that only says yes shows what the library's callback mechanism
// would cost instead. The three run on the same inputs, interleaved, in one
// run.
#include <cstddef>
#include <cstdio>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "bench.h"
#include "legacy/json_object.h"

namespace van_tide::bench {
namespace {

constexpr std::size_t kKiB = 1024;
constexpr std::size_t kInputSize = 64 * kKiB;
// The decoder must stay within this factor of the plain parse.
constexpr double kGoal = 1.2;

// Inputs live for the whole program: the registered benchmarks refer to them.
struct Input {
  std::string key;    // part of the benchmark names
  std::string label;  // for the tables
  std::string text;
  std::size_t parts = 0;  // members, chains, strings or objects: what the label counts
};

std::vector<Input>& Inputs() {
  static std::vector<Input> inputs;
  return inputs;
}

// Pads with white space just before the closing bracket, so every large input
// has exactly the size asked for and stays one valid object.
std::string PadTo(std::string text, std::size_t size) {
  if (text.size() < size) text.insert(text.size() - 1, size - text.size(), ' ');
  return text;
}

// Appends `piece` (with a comma before all but the first) while the text,
// with `tail` after it, stays within `size`. Returns how many were appended.
template <typename MakePiece>
std::size_t FillMembers(std::string* text, const std::string& tail, std::size_t size, MakePiece makePiece) {
  std::size_t count = 0;
  for (;;) {
    std::string piece(count == 0 ? "" : ",");
    piece += makePiece(count);
    if (text->size() + piece.size() + tail.size() > size) break;
    *text += piece;
    ++count;
  }
  *text += tail;
  return count;
}

// (a) Thousands of small members in one object.
Input SmallMembers() {
  std::string text = "{";
  const std::size_t count = FillMembers(&text, "}", kInputSize, [](std::size_t i) {
    char member[32];
    std::snprintf(member, sizeof member, "\"m%05zu\":%zu", i, i % 1000);
    return std::string(member);
  });
  return {"a_members", "(a) " + std::to_string(count) + " small members", PadTo(text, kInputSize), count};
}

// A chain of `depth` containers, objects and arrays in turn, with one number
// in the innermost. The outermost is an object.
std::string Chain(int depth) {
  std::string text;
  for (int level = 0; level < depth; ++level) text.append(level % 2 == 0 ? "{\"d\":" : "[");
  text.push_back('1');
  for (int level = depth - 1; level >= 0; --level) text.push_back(level % 2 == 0 ? '}' : ']');
  return text;
}

// (b) Nesting near the limit, repeated: members of one object, each a chain
// that takes the whole document to depth 60.
constexpr int kNestingDepth = 60;
Input DeepNesting() {
  const std::string chain = Chain(kNestingDepth - 1);
  std::string text = "{";
  const std::size_t count = FillMembers(&text, "}", kInputSize, [&chain](std::size_t i) {
    std::string member("\"n");
    member.append(std::to_string(i)).append("\":").append(chain);
    return member;
  });
  return {"b_nesting", "(b) " + std::to_string(count) + " chains, depth " + std::to_string(kNestingDepth),
          PadTo(text, kInputSize), count};
}

// (c) Long strings made of nothing but escapes, every kind the grammar has.
Input EscapedStrings() {
  static const char* const kEscapes[] = {
      "\\\"",    "\\\\",           "\\/",    "\\b", "\\f", "\\n", "\\r", "\\t", "\\u00e9",
      "\\u20ac", "\\ud83d\\ude00", "\\u0041"};
  constexpr std::size_t kStringLength = 4 * kKiB;
  std::string text = "{";
  const std::size_t count = FillMembers(&text, "}", kInputSize, [](std::size_t i) {
    std::string member("\"s");
    member.append(std::to_string(i)).append("\":\"");
    for (std::size_t e = 0; member.size() < kStringLength; ++e) member += kEscapes[e % std::size(kEscapes)];
    member.push_back('"');
    return member;
  });
  return {"c_escapes", "(c) " + std::to_string(count) + " strings of escapes", PadTo(text, kInputSize),
          count};
}

// (d) A legacy file as the plug-in writes it, with the members that come and
// go between its versions. Small: the table gives its time per call.
Input TypicalLegacyFile() {
  std::string text =
      "{\"version\":1,\"public_key\":\"van-tide-hud-0123456789abcdef0123456789ABCDEF\","
      "\"created\":\"2024-05-14T09:31:07.412Z\",\"host\":{\"app\":\"PHSP\",\"version\":\"25.11.0\"},"
      "\"plugin_version\":\"3.4.1\",\"activated\":true,\"seats\":[\"hud\",\"panel\"]}";
  return {"d_legacy", "(d) typical legacy file", text, 1};
}

// (e) An array of empty objects.
Input EmptyObjects(std::size_t size) {
  std::string text = "{\"a\":[";
  const std::size_t count = FillMembers(&text, "]}", size, [](std::size_t) { return std::string("{}"); });
  return {"e_empty_objects_" + std::to_string(size / kKiB) + "KiB",
          "(e) " + std::to_string(count) + " empty objects", PadTo(text, size), count};
}

// (f) An object of empty objects: {"0":{},"1":{},...}.
Input EmptyObjectMembers() {
  std::string text = "{";
  const std::size_t count = FillMembers(&text, "}", kInputSize, [](std::size_t i) {
    std::string member("\"");
    member.append(std::to_string(i)).append("\":{}");
    return member;
  });
  return {"f_empty_members", "(f) " + std::to_string(count) + " members, each {}", PadTo(text, kInputSize),
          count};
}

constexpr std::size_t kGrowthSizes[] = {8 * kKiB, 16 * kKiB, 32 * kKiB, 64 * kKiB};

bool YesToAll(int /*depth*/, nlohmann::json::parse_event_t /*event*/, nlohmann::json& /*parsed*/) {
  return true;
}

void Decoder(benchmark::State& state, std::string_view text) {
  for (auto _ : state) {
    nlohmann::json out;
    bool decoded = VantideDecodeJsonObject(text, &out);
    benchmark::DoNotOptimize(decoded);
    benchmark::DoNotOptimize(out);
  }
}

void TrivialCallback(benchmark::State& state, std::string_view text) {
  for (auto _ : state) {
    // Built on every call, as the decoder builds its own.
    const nlohmann::json::parser_callback_t callback = YesToAll;
    nlohmann::json out = nlohmann::json::parse(text, callback, /*allow_exceptions=*/false,
                                               /*ignore_comments=*/false);
    benchmark::DoNotOptimize(out);
  }
}

void Plain(benchmark::State& state, std::string_view text) {
  for (auto _ : state) {
    nlohmann::json out = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false,
                                               /*ignore_comments=*/false);
    benchmark::DoNotOptimize(out);
  }
}

struct Variant {
  const char* key;
  void (*body)(benchmark::State&, std::string_view);
};
constexpr Variant kVariants[] = {{"decoder", Decoder}, {"trivial", TrivialCallback}, {"plain", Plain}};

std::string NameOf(const Input& input, const char* variant) {
  return std::string(kDecodePrefix) + input.key + "/" + variant;
}

// Every input must be one the decoder accepts and the two floors read as the
// same object, or the comparison would time a refusal against a full parse.
bool CheckInput(const Input& input) {
  nlohmann::json decoded;
  const bool accepted = VantideDecodeJsonObject(input.text, &decoded);
  const nlohmann::json trivial = nlohmann::json::parse(input.text, YesToAll, false, false);
  const nlohmann::json plain = nlohmann::json::parse(input.text, nullptr, false, false);
  if (!accepted || decoded != trivial || decoded != plain) {
    std::fprintf(stderr, "vantide_bench: input %s is not decoded alike by all three parsers\n",
                 input.key.c_str());
    return false;
  }
  return true;
}

// The depth of (b) is near the limit: a few levels more are refused.
bool CheckNestingIsNearTheLimit() {
  nlohmann::json out;
  const int tooDeep = kVantideMaxJsonDepth + 2;
  if (VantideDecodeJsonObject(Chain(kNestingDepth), &out) && !VantideDecodeJsonObject(Chain(tooDeep), &out)) {
    return true;
  }
  std::fprintf(stderr, "vantide_bench: depth %d should pass and depth %d should be refused\n", kNestingDepth,
               tooDeep);
  return false;
}

const Input* FindInput(const std::string& key) {
  for (const Input& input : Inputs()) {
    if (input.key == key) return &input;
  }
  return nullptr;
}

std::string Ratio(double numerator, double denominator) {
  if (numerator < 0 || denominator <= 0) return "n/a";
  char text[16];
  std::snprintf(text, sizeof text, "%.2fx", numerator / denominator);
  return text;
}

std::string Percent(double spread) {
  if (spread < 0) return "-";
  char text[16];
  std::snprintf(text, sizeof text, "%.1f%%", spread * 100);
  return text;
}

double TimeOf(const CollectingReporter& results, const std::string& name, double* spread) {
  Figure figure;
  if (!results.Find(name, &figure)) {
    const std::string error = results.ErrorOf(name);
    if (!error.empty()) std::printf("  %s failed: %s\n", name.c_str(), error.c_str());
    return -1;
  }
  if (figure.spread > *spread) *spread = figure.spread;
  return figure.nanoseconds;
}

}  // namespace

bool RegisterDecodeBenchmarks() {
  std::vector<Input>& inputs = Inputs();
  inputs = {SmallMembers(), DeepNesting(), EscapedStrings(), TypicalLegacyFile(), EmptyObjectMembers()};
  for (std::size_t size : kGrowthSizes) inputs.push_back(EmptyObjects(size));
  if (!CheckNestingIsNearTheLimit()) return false;
  for (const Input& input : inputs) {
    if (!CheckInput(input)) return false;
    for (const Variant& variant : kVariants) {
      benchmark::RegisterBenchmark(NameOf(input, variant.key).c_str(), variant.body,
                                   std::string_view(input.text))
          ->Unit(benchmark::kMicrosecond);
    }
  }
  return true;
}

void PrintDecodeTables(const CollectingReporter& results) {
  std::printf("\n== 1. Strict decoding against its floors (time per call)\n");
  std::printf(
      "decoder = VantideDecodeJsonObject; trivial = json::parse(text, callback returning true, false,\n"
      "false); plain = json::parse(text, nullptr, false, false). Goal: decoder <= %.1fx plain.\n",
      kGoal);
  std::printf("%-32s %6s %11s %11s %11s %8s %8s %6s %6s\n", "input", "bytes", "decoder", "trivial", "plain",
              "dec/triv", "dec/plain", "goal", "spread");
  const std::string mainKeys[] = {"a_members",
                                  "b_nesting",
                                  "c_escapes",
                                  "d_legacy",
                                  "e_empty_objects_" + std::to_string(kInputSize / kKiB) + "KiB",
                                  "f_empty_members"};
  for (const std::string& key : mainKeys) {
    const Input* input = FindInput(key);
    if (input == nullptr) continue;
    double spread = -1;
    const double decoder = TimeOf(results, NameOf(*input, "decoder"), &spread);
    const double trivial = TimeOf(results, NameOf(*input, "trivial"), &spread);
    const double plain = TimeOf(results, NameOf(*input, "plain"), &spread);
    const char* verdict = decoder < 0 || plain <= 0 ? "n/a" : decoder <= kGoal * plain ? "met" : "MISSED";
    std::printf("%-32s %6zu %11s %11s %11s %8s %8s %6s %6s\n", input->label.c_str(), input->text.size(),
                FormatDuration(decoder).c_str(), FormatDuration(trivial).c_str(),
                FormatDuration(plain).c_str(), Ratio(decoder, trivial).c_str(), Ratio(decoder, plain).c_str(),
                verdict, Percent(spread).c_str());
  }
  std::printf("(spread: the largest coefficient of variation of the three)\n");

  std::printf("\n-- (e) growth: an array of empty objects at 8, 16, 32 and 64 KiB\n");
  std::printf(
      "The library's callback parser walks the parent container at every object end, looking\n"
      "for a discarded value to erase, so each of the n objects costs a walk over those before it.\n"
      "The decoder does not go through it.\n");
  std::printf("%-8s %8s %11s %7s %11s %7s %11s %7s\n", "size", "objects", "decoder", "growth", "trivial",
              "growth", "plain", "growth");
  double previous[std::size(kVariants)] = {-1, -1, -1};
  for (std::size_t size : kGrowthSizes) {
    const Input* input = FindInput("e_empty_objects_" + std::to_string(size / kKiB) + "KiB");
    if (input == nullptr) continue;
    double spread = -1;
    std::string cells;
    for (std::size_t v = 0; v < std::size(kVariants); ++v) {
      const double now = TimeOf(results, NameOf(*input, kVariants[v].key), &spread);
      char cell[40];
      std::snprintf(cell, sizeof cell, " %11s %7s", FormatDuration(now).c_str(),
                    previous[v] < 0 ? "" : Ratio(now, previous[v]).c_str());
      cells += cell;
      previous[v] = now;
    }
    std::printf("%3zu KiB  %8zu%s\n", size / kKiB, input->parts, cells.c_str());
  }
  std::printf("(growth: time against the size before; x2 per doubling is linear, x4 quadratic)\n");
  // previous[] now holds the largest size's figures.
  std::printf("At %zu KiB the callback parse (trivial callback) takes %s, the plain parse %s (%s).\n",
              kGrowthSizes[std::size(kGrowthSizes) - 1] / kKiB, FormatDuration(previous[1]).c_str(),
              FormatDuration(previous[2]).c_str(), Ratio(previous[1], previous[2]).c_str());
}

}  // namespace van_tide::bench
