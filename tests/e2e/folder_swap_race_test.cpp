// A folder that the tool checks is swapped for a link to a folder outside the
// profile, over and over, while the tool runs: no run may write behind the
// link or adopt a legacy file that lies behind it, and every run still ends
// silently or with its one report line. The swap is a host process exchanging
// the real folder and the link (renameat2 with RENAME_EXCHANGE), so either name
// always exists; only Wine gives a test such a process.
#include "e2e/tool_process.h"
#include "support/host_script.h"
#include "support/test_tree.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace van_tide::testing {
namespace {

constexpr std::string_view kLegacyFile =
    R"({"version": 1, "public_key": "van-tide-hud-0123456789abcdefABCDEF0123456789"})";

// Exchanges $ARGV[0] and $ARGV[1] until the file $ARGV[2] appears, then puts
// the real folder back under the first name (the link under the second) and
// says why it stopped. It also stops by itself when the file $ARGV[3] has not
// been written for three minutes (longer than any run and its clearing may
// take: its test has gone) and after a fixed number of exchanges. The syscall
// number is x86_64's; AT_FDCWD is -100, RENAME_EXCHANGE 2.
constexpr std::string_view kSwapProgram = R"(use strict;
use warnings;
use Config;
$Config{archname} =~ /^x86_64-linux/ or die "renameat2 has no known number on $Config{archname}\n";
my ($plain, $other, $stop, $lease) = @ARGV;
my $most = 1_000_000_000;
sub exchange { syscall(316, -100, $plain, -100, $other, 2) == 0 or die "renameat2: $!\n" }
my ($count, $why) = (0, undef);
until (defined $why) {
  if (-e $stop) { $why = "stopped" }
  elsif (time - ((stat $lease)[9] // 0) > 180) { $why = "gave up waiting for its test" }
  elsif ($count >= $most) { $why = "reached the most exchanges" }
  else { exchange(); ++$count }
}
exchange() if -l $plain;
print "$why after $count exchanges\n";
)";

// Removes every entry of the folder that is real at the moment of opening,
// whichever of $ARGV[0] and $ARGV[1] that is, and of the folder $ARGV[2]. A
// folder is opened without following a link and emptied relative to that
// open folder, so nothing is removed through a link, and an entry that is a
// link is removed as a link.
constexpr std::string_view kClearProgram = R"(use strict;
use warnings;
use Fcntl;
sub real {
  my $folder;
  sysopen($folder, $_[0], O_RDONLY | O_DIRECTORY | O_NOFOLLOW) ? $folder : undef;
}
sub empty {
  chdir $_[0] or die "fchdir: $!\n";
  opendir(my $listing, ".") or die "opendir: $!\n";
  for (readdir $listing) { $_ eq "." or $_ eq ".." or unlink $_ or die "unlink $_: $!\n" }
}
my ($plain, $other, $watched) = @ARGV;
my $swapped;
for (1 .. 100_000) { $swapped = real($plain) // real($other) and last }
empty($swapped // die "neither name is a real folder\n");
empty(real($watched) // die "$watched is no real folder\n");
)";

struct SwapCase {
  const char* name;
  // All relative to the scratch tree, which holds the profile and, beside it,
  // the folder "outside".
  const wchar_t* swapped;     // a real folder, exchanged with a link to "outside"
  const wchar_t* legacyFile;  // a valid legacy file
  const wchar_t* watched;     // anything in here means the run went through the link
};
void PrintTo(const SwapCase& tested, std::ostream* out) { *out << tested.name; }

// Runs per test: VANTIDE_RACE_RUNS, or 100.
unsigned Runs() {
  wchar_t text[16] = {};
  const DWORD length = GetEnvironmentVariableW(L"VANTIDE_RACE_RUNS", text, 16);
  if (length == 0) return 100;
  wchar_t* end = nullptr;
  const unsigned long runs = length < 16 ? std::wcstoul(text, &end, 10) : 0;
  if (runs == 0 || runs > 10000 || end == nullptr || *end != L'\0') {
    ADD_FAILURE() << "VANTIDE_RACE_RUNS is no count of runs; taking 100";
    return 100;
  }
  return static_cast<unsigned>(runs);
}

// The names in a folder, which are all plain ASCII here.
std::vector<std::string> Entries(const Path& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring_view name(entry.cFileName);
    if (name != L"." && name != L"..") names.emplace_back(name.begin(), name.end());
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  return names;
}

// How a run ended, as the figures group it; empty when it ended in no way the
// tool may end.
std::string StatusOf(const ToolOutcome& outcome) {
  static const std::regex kReport(
      "(device identity owner rejected migration|conflicting legacy device identities) "
      "\\(HRESULT=0x[0-9a-f]{8}\\)\n");
  if (!outcome.finished || !outcome.standardOutput.empty()) return {};
  if (outcome.exitCode == 0 && outcome.standardError.empty()) return "exit 0";
  if (outcome.exitCode == 3 && std::regex_match(outcome.standardError, kReport)) {
    return "exit 3 " + outcome.standardError.substr(0, outcome.standardError.size() - 1);
  }
  return {};
}

class FolderSwapRaceTest : public ::testing::TestWithParam<SwapCase> {
 protected:
  void SetUp() override {
    if (!TestTree::UnderWine()) GTEST_SKIP() << "the folder swap is a process of Wine's host";
    ASSERT_FALSE(tree_.Root().empty());
    for (const wchar_t* folder : {L"profile\\Roaming\\Vantide", L"profile\\Local", L"profile\\cwd",
                                  L"outside", L"capture", GetParam().swapped}) {
      tree_.MakeDirectory(folder);
    }
    tree_.WriteFile(GetParam().legacyFile, kLegacyFile);
    tree_.WriteFile(L"swap.pl", kSwapProgram);
    tree_.WriteFile(L"clear.pl", kClearProgram);
    ASSERT_TRUE(tree_.MakeDirectoryLink(Other(), L"outside"));
  }

  void TearDown() override { StopSwapper(); }

  std::wstring Other() const { return std::wstring(GetParam().swapped) + L"-swap"; }

  void StartSwapper() {
    RenewLease();
    swapper_ =
        StartHostScript(tree_.Root(), R"(perl -- "$1" "$2" "$3" "$4" "$5" > "$6" 2>&1)",
                        {HostPathOf(tree_.PathOf(L"swap.pl")), HostPathOf(tree_.PathOf(GetParam().swapped)),
                         HostPathOf(tree_.PathOf(Other())), HostPathOf(tree_.PathOf(L"stop")),
                         HostPathOf(tree_.PathOf(L"lease")), HostPathOf(tree_.PathOf(L"swap.log"))});
    ASSERT_FALSE(swapper_.empty()) << "the swapper did not start";
  }

  // Tells the swapper that its test is still there.
  void RenewLease() { tree_.WriteFile(L"lease", "renewed"); }

  // Stops the swapper and waits until it has put the real folder back. What
  // it said about itself, or an empty text when it did not end well.
  std::string StopSwapper() {
    if (swapper_.empty()) return {};
    tree_.WriteFile(L"stop", "");
    const bool ended = AwaitHostScript(swapper_, 10000);
    swapper_.clear();
    const std::string said = tree_.ReadFile(L"swap.log");
    EXPECT_TRUE(ended) << "the swapper failed or did not stop: " << said;
    return ended ? said : std::string();
  }

  // Empties the real one of the swapped folders and the watched folder, so
  // that the next run starts as the first did.
  void Clear() {
    ASSERT_TRUE(
        RunHostScript(tree_.Root(), R"(perl -- "$1" "$2" "$3" "$4" > "$5" 2>&1)",
                      {HostPathOf(tree_.PathOf(L"clear.pl")), HostPathOf(tree_.PathOf(GetParam().swapped)),
                       HostPathOf(tree_.PathOf(Other())), HostPathOf(tree_.PathOf(GetParam().watched)),
                       HostPathOf(tree_.PathOf(L"clear.log"))}))
        << "clearing failed: " << tree_.ReadFile(L"clear.log");
  }

  TestTree tree_;
  Path swapper_;  // the marker of the running swapper
};

TEST_P(FolderSwapRaceTest, NoRunGoesThroughTheLink) {
  const unsigned runs = Runs();
  struct Tally {
    unsigned runs = 0;
    unsigned through = 0;
  };
  std::map<std::string, Tally> byStatus;
  std::map<std::string, unsigned> appeared;  // what the runs that went through left
  unsigned through = 0;

  ASSERT_NO_FATAL_FAILURE(StartSwapper());
  for (unsigned run = 1; run <= runs; ++run) {
    RenewLease();
    const ToolOutcome outcome = VantideRunTool(
        {{L"APPDATA", tree_.PathOf(L"profile\\Roaming")}, {L"LOCALAPPDATA", tree_.PathOf(L"profile\\Local")}},
        L"", tree_.PathOf(L"profile\\cwd"), tree_.PathOf(L"capture"));
    std::string status = StatusOf(outcome);
    if (status.empty()) {
      ADD_FAILURE() << "run " << run << " ended " << (outcome.finished ? "" : "by the time limit, ")
                    << "exit " << outcome.exitCode << ", standard output: " << outcome.standardOutput
                    << ", standard error: " << outcome.standardError;
      status = "undefined";
    }
    const std::vector<std::string> left = Entries(tree_.PathOf(GetParam().watched));
    ++byStatus[status].runs;
    if (!left.empty()) {
      ++byStatus[status].through;
      ++through;
      for (const std::string& name : left) ++appeared[name];
    }
    ASSERT_NO_FATAL_FAILURE(Clear());
  }
  const std::string swapper = StopSwapper();
  if (!swapper.empty()) {
    EXPECT_TRUE(swapper.starts_with("stopped")) << "the swapper ended early: " << swapper;
  }

  std::ostringstream figures;
  figures << GetParam().name << ": " << runs << " runs, " << through << " through";
  for (const auto& [status, tally] : byStatus) {
    figures << "; " << status << " x" << tally.runs << " (" << tally.through << " through)";
  }
  for (const auto& [name, count] : appeared) figures << "; " << name << " left x" << count;
  figures << "; swapper " << swapper.substr(0, swapper.find('\n'));
  std::cout << "[ figures  ] " << figures.str() << std::endl;
  ::testing::Test::RecordProperty("figures", figures.str());
  EXPECT_EQ(through, 0u) << figures.str();
}

INSTANTIATE_TEST_SUITE_P(
    E2e, FolderSwapRaceTest,
    ::testing::Values(
        // The store folder: the migration must not write the store behind the link.
        SwapCase{"StoreFolder", L"profile\\Roaming\\Vantide",
                 L"profile\\Roaming\\Adobe\\UXP\\PluginsStorage\\PHSP\\25\\External\\com.greywick.van-tide\\"
                 L"PluginData\\license-device.json",
                 L"outside"},
        // The plug-in's data folder, empty: the scan must not adopt the legacy
        // file behind the link, so no store may appear.
        SwapCase{"PluginDataFolder",
                 L"profile\\Roaming\\Adobe\\UXP\\PluginsStorage\\PHSP\\25\\External\\"
                 L"com.greywick.van-tide\\PluginData",
                 L"outside\\license-device.json", L"profile\\Roaming\\Vantide"}),
    [](const ::testing::TestParamInfo<SwapCase>& tested) { return std::string(tested.param.name); });

}  // namespace
}  // namespace van_tide::testing
