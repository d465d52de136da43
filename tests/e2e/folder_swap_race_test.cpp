// A folder that the tool checks is swapped for a link to a folder outside the
// profile, over and over, while the tool runs: no run may write behind the
// link or adopt a legacy file that lies behind it, and every run still ends
// silently or with its one report line. The swap is a host process exchanging
// the real folder and the link (renameat2 with RENAME_EXCHANGE), so either name
// always exists; only Wine gives a test such a process.
#include "e2e/tool_process.h"
#include "platform/win32_behaviour.h"
#include "store/protected_identity.h"
#include "support/host_script.h"
#include "support/open_folder.h"
#include "support/test_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// Exchanges $ARGV[2] and $ARGV[3] until the file $ARGV[0] appears, then puts
// the real one (folder or file) back under the first name (the link under the
// second) and says why it stopped. It also stops by itself when the file
// $ARGV[1] has not been written for three minutes (longer than any run and its
// clearing may take: its test has gone) and after a fixed number of
// exchanges. Given a name $ARGV[4], it exchanges only while the real folder
// holds that name, and otherwise keeps the real folder under the first name:
// the swap then falls inside the tool's window rather than anywhere in a run.
// The syscall number is x86_64's; AT_FDCWD is -100, RENAME_EXCHANGE 2.
constexpr std::string_view kSwapProgram = R"(use strict;
use warnings;
use Config;
$Config{archname} =~ /^x86_64-linux/ or die "renameat2 has no known number on $Config{archname}\n";
my ($stop, $lease, $plain, $other, $trigger) = @ARGV;
my $most = 1_000_000_000;
sub exchange { syscall(316, -100, $plain, -100, $other, 2) == 0 or die "renameat2: $!\n" }
sub armed { !defined $trigger or -e ((-l $plain ? $other : $plain) . "/$trigger") }
my ($count, $why) = (0, undef);
until (defined $why) {
  if (-e $stop) { $why = "stopped" }
  elsif (time - ((stat $lease)[9] // 0) > 180) { $why = "gave up waiting for its test" }
  elsif ($count >= $most) { $why = "reached the most exchanges" }
  elsif (armed() or -l $plain) { exchange(); ++$count }
}
exchange() if -l $plain;
print "$why after $count exchanges\n";
)";

// Makes a symbolic link $ARGV[4] in the folder $ARGV[2], pointing to
// $ARGV[5], whenever that folder holds $ARGV[3] and nothing has the link's
// name, and appends "made" to the file $ARGV[6] for each link it made. With
// $ARGV[7] "comes and goes" it removes each link again at once, unless the
// name is no link by then ("replaced" in the log): the link is there and gone
// in turns, so it can appear between a look at the name and the rename onto
// it. It stops as the swapper above does, on $ARGV[0] and $ARGV[1].
constexpr std::string_view kPlantProgram = R"(use strict;
use warnings;
use IO::Handle;
my ($stop, $lease, $folder, $trigger, $name, $target, $made, $mode) = @ARGV;
my $link = "$folder/$name";
open(my $log, ">>", $made) or die "$made: $!\n";
$log->autoflush(1);
my ($count, $why) = (0, undef);
until (defined $why) {
  if (-e $stop) { $why = "stopped" }
  elsif (time - ((stat $lease)[9] // 0) > 180) { $why = "gave up waiting for its test" }
  elsif (-e "$folder/$trigger" and symlink($target, $link)) {
    print $log "made\n";
    ++$count;
    next if $mode ne "comes and goes";
    if (-l $link) { unlink $link } else { print $log "replaced\n" }
  }
}
print "$why after $count links\n";
)";

// Removes every entry of the folder that is real at the moment of opening,
// whichever of $ARGV[0] and $ARGV[1] that is, and of the folder $ARGV[2], and
// prints what it removed from the first ("swapped NAME", with " link" for a
// link). A folder is opened without following a link and emptied relative to
// that open folder, so nothing is removed through a link, and an entry that
// is a link is removed as a link.
constexpr std::string_view kClearProgram = R"(use strict;
use warnings;
use Fcntl;
sub real {
  my $folder;
  sysopen($folder, $_[0], O_RDONLY | O_DIRECTORY | O_NOFOLLOW) ? $folder : undef;
}
sub empty {
  my ($folder, $label) = @_;
  chdir $folder or die "fchdir: $!\n";
  opendir(my $listing, ".") or die "opendir: $!\n";
  for (readdir $listing) {
    next if $_ eq "." or $_ eq "..";
    print "$label $_", (-l $_ ? " link" : ""), "\n" if defined $label;
    unlink $_ or die "unlink $_: $!\n";
  }
}
my ($plain, $other, $watched) = @ARGV;
my $swapped;
for (1 .. 100_000) { $swapped = real($plain) // real($other) and last }
empty($swapped // die("neither name is a real folder\n"), "swapped");
empty(real($watched) // die "$watched is no real folder\n");
)";

// Runs per test: VANTIDE_RACE_RUNS, or `fallback`.
unsigned Runs(unsigned fallback) {
  wchar_t text[16] = {};
  const DWORD length = GetEnvironmentVariableW(L"VANTIDE_RACE_RUNS", text, 16);
  if (length == 0) return fallback;
  wchar_t* end = nullptr;
  const unsigned long runs = length < 16 ? std::wcstoul(text, &end, 10) : 0;
  if (runs == 0 || runs > 10000 || end == nullptr || *end != L'\0') {
    ADD_FAILURE() << "VANTIDE_RACE_RUNS is no count of runs; taking " << fallback;
    return fallback;
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

std::string Sealed(std::string_view token) {
  std::string bytes;
  EXPECT_EQ(VantideSealIdentity(std::string(token), &bytes), 0) << "sealing failed";
  return bytes;
}

std::string LegacyFileOf(std::string_view token) {
  return "{\"version\": 1, \"public_key\": \"" + std::string(token) + "\"}";
}

// Counts by name, in a stable order, for the figures line.
using Tally = std::map<std::string, unsigned>;

std::string TallyText(const Tally& tally) {
  std::ostringstream out;
  for (const auto& [what, count] : tally) out << "; " << what << " x" << count;
  return out.str();
}

// "exit 0", or "exit 3 " and the status code.
std::string Brief(const std::string& status) {
  const std::size_t code = status.find("0x");
  return code == std::string::npos ? status : "exit 3 " + status.substr(code, 10);
}

void Report(const std::string& figures) {
  std::cout << "[ figures  ] " << figures << std::endl;
  ::testing::Test::RecordProperty("figures", figures);
}

// The scratch tree of a race, the profile in it, and the host process that
// races the tool there.
class RaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TestTree::UnderWine()) GTEST_SKIP() << "the race is run by a process of Wine's host";
    ASSERT_FALSE(tree_.Root().empty());
    for (const wchar_t* folder :
         {L"profile\\Roaming\\Vantide", L"profile\\Local", L"profile\\cwd", L"outside", L"capture"}) {
      tree_.MakeDirectory(folder);
    }
    tree_.WriteFile(L"swap.pl", kSwapProgram);
    tree_.WriteFile(L"plant.pl", kPlantProgram);
    tree_.WriteFile(L"clear.pl", kClearProgram);
  }

  void TearDown() override { StopRacer(); }

  // Starts the host program `program` (a file of the tree) with the stop and
  // lease files, then `arguments` (host paths or names).
  void StartRacer(std::wstring_view program, std::vector<std::string> arguments) {
    RenewLease();
    std::string script = "perl --";
    arguments.insert(arguments.begin(), {HostPathOf(tree_.PathOf(program)), HostPathOf(tree_.PathOf(L"stop")),
                                         HostPathOf(tree_.PathOf(L"lease"))});
    for (std::size_t i = 1; i <= arguments.size(); ++i) script += " \"${" + std::to_string(i) + "}\"";
    script += " > \"${" + std::to_string(arguments.size() + 1) + "}\" 2>&1";
    arguments.push_back(HostPathOf(tree_.PathOf(L"racer.log")));
    racer_ = StartHostScript(tree_.Root(), script, arguments);
    ASSERT_FALSE(racer_.empty()) << "the racing process did not start";
  }

  // Tells the racer that its test is still there.
  void RenewLease() { tree_.WriteFile(L"lease", "renewed"); }

  // Stops the racer and waits until it has put the real folder or file back.
  // What it said about itself, or an empty text when it did not end well.
  std::string StopRacer() {
    if (racer_.empty()) return {};
    tree_.WriteFile(L"stop", "");
    const bool ended = AwaitHostScript(racer_, 10000);
    racer_.clear();
    const std::string said = tree_.ReadFile(L"racer.log");
    EXPECT_TRUE(ended) << "the racing process failed or did not stop: " << said;
    return ended ? said : std::string();
  }

  // The racer's own line for the figures; it must have stopped when told.
  std::string RacerFigure() {
    const std::string said = StopRacer();
    if (!said.empty()) {
      EXPECT_TRUE(said.starts_with("stopped")) << "the racer ended early: " << said;
    }
    return "racer " + said.substr(0, said.find('\n'));
  }

  // Empties the real one of `swapped` and `other` and the folder `watched`,
  // so that the next run starts as the first did. What was removed from the
  // first, as the host saw it ("NAME" or "NAME link").
  std::vector<std::string> Clear(std::wstring_view swapped, std::wstring_view other,
                                 std::wstring_view watched) {
    const bool cleared =
        RunHostScript(tree_.Root(), R"(perl -- "$1" "$2" "$3" "$4" > "$5" 2>&1)",
                      {HostPathOf(tree_.PathOf(L"clear.pl")), HostPathOf(tree_.PathOf(swapped)),
                       HostPathOf(tree_.PathOf(other)), HostPathOf(tree_.PathOf(watched)),
                       HostPathOf(tree_.PathOf(L"clear.log"))});
    const std::string said = tree_.ReadFile(L"clear.log");
    EXPECT_TRUE(cleared) << "clearing failed: " << said;
    clearFailed_ = clearFailed_ || !cleared;
    std::vector<std::string> removed;
    std::istringstream lines(said);
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("swapped ")) removed.push_back(line.substr(8));
    }
    return removed;
  }

  // One run of the tool on the profile; its status, or a failure and
  // "undefined" when it ended in a way the tool never may.
  std::string RunOnce(unsigned run) {
    RenewLease();
    const ToolOutcome outcome = VantideRunTool(
        {{L"APPDATA", tree_.PathOf(L"profile\\Roaming")}, {L"LOCALAPPDATA", tree_.PathOf(L"profile\\Local")}},
        L"", tree_.PathOf(L"profile\\cwd"), tree_.PathOf(L"capture"));
    const std::string status = StatusOf(outcome);
    if (!status.empty()) return status;
    ADD_FAILURE() << "run " << run << " ended " << (outcome.finished ? "" : "by the time limit, ") << "exit "
                  << outcome.exitCode << ", standard output: " << outcome.standardOutput
                  << ", standard error: " << outcome.standardError;
    return "undefined";
  }

  TestTree tree_;
  Path racer_;                // the marker of the running racer
  bool clearFailed_ = false;  // the runs after it would not start as the first did
};

constexpr std::wstring_view kStore = L"profile\\Roaming\\Vantide\\license-device.dat";
constexpr std::wstring_view kRoamingLegacyFile =
    L"profile\\Roaming\\Adobe\\UXP\\PluginsStorage\\PHSP\\25\\External\\com.greywick.van-tide\\"
    L"PluginData\\license-device.json";

// ---------------------------------------------------------------------------
// A folder exchanged with a link to "outside", all through the runs
// ---------------------------------------------------------------------------

struct SwapCase {
  const char* name;
  // All relative to the scratch tree, which holds the profile and, beside it,
  // the folder "outside".
  const wchar_t* swapped;     // a real folder, exchanged with a link to "outside"
  const wchar_t* legacyFile;  // a valid legacy file
  const wchar_t* watched;     // anything in here means the run went through the link
};
void PrintTo(const SwapCase& tested, std::ostream* out) { *out << tested.name; }

class FolderSwapRaceTest : public RaceTest, public ::testing::WithParamInterface<SwapCase> {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(RaceTest::SetUp());
    if (IsSkipped()) return;
    tree_.MakeDirectory(GetParam().swapped);
    tree_.WriteFile(GetParam().legacyFile, kLegacyFile);
    ASSERT_TRUE(tree_.MakeDirectoryLink(Other(), L"outside"));
  }

  std::wstring Other() const { return std::wstring(GetParam().swapped) + L"-swap"; }
};

TEST_P(FolderSwapRaceTest, NoRunGoesThroughTheLink) {
  const unsigned runs = Runs(100);
  struct Count {
    unsigned runs = 0;
    unsigned through = 0;
  };
  std::map<std::string, Count> byStatus;
  Tally appeared;  // what the runs that went through left
  unsigned through = 0;

  ASSERT_NO_FATAL_FAILURE(StartRacer(
      L"swap.pl", {HostPathOf(tree_.PathOf(GetParam().swapped)), HostPathOf(tree_.PathOf(Other()))}));
  for (unsigned run = 1; run <= runs; ++run) {
    const std::string status = RunOnce(run);
    const std::vector<std::string> left = Entries(tree_.PathOf(GetParam().watched));
    ++byStatus[status].runs;
    if (!left.empty()) {
      ++byStatus[status].through;
      ++through;
      for (const std::string& name : left) ++appeared[name + " left"];
    }
    Clear(GetParam().swapped, Other(), GetParam().watched);
    ASSERT_FALSE(clearFailed_);
  }

  std::ostringstream figures;
  figures << GetParam().name << ": " << runs << " runs, " << through << " through";
  for (const auto& [status, count] : byStatus) {
    figures << "; " << status << " x" << count.runs << " (" << count.through << " through)";
  }
  figures << TallyText(appeared) << "; " << RacerFigure();
  Report(figures.str());
  EXPECT_EQ(through, 0u) << figures.str();
}

INSTANTIATE_TEST_SUITE_P(
    E2e, FolderSwapRaceTest,
    ::testing::Values(
        // The store folder: the migration must not write the store behind the link.
        SwapCase{"StoreFolder", L"profile\\Roaming\\Vantide", kRoamingLegacyFile.data(), L"outside"},
        // The plug-in's data folder, empty: the scan must not adopt the legacy
        // file behind the link, so no store may appear.
        SwapCase{"PluginDataFolder",
                 L"profile\\Roaming\\Adobe\\UXP\\PluginsStorage\\PHSP\\25\\External\\"
                 L"com.greywick.van-tide\\PluginData",
                 L"outside\\license-device.json", L"profile\\Roaming\\Vantide"}),
    [](const ::testing::TestParamInfo<SwapCase>& tested) { return std::string(tested.param.name); });

// ---------------------------------------------------------------------------
// A file exchanged with a link to a bait file of another identity
// ---------------------------------------------------------------------------

constexpr std::string_view kToken = "van-tide-hud-0123456789abcdefABCDEF0123456789";
constexpr std::string_view kBaitToken = "van-tide-hud-fedcba9876543210FEDCBA9876543210";

struct FileSwapCase {
  const char* name;
  const wchar_t* file;  // the real file, holding kToken
  bool store;           // the store (present), or else the only legacy file
};
void PrintTo(const FileSwapCase& tested, std::ostream* out) { *out << tested.name; }

class FileSwapRaceTest : public RaceTest, public ::testing::WithParamInterface<FileSwapCase> {
 protected:
  static constexpr std::wstring_view kBait = L"bait\\file";
  static constexpr std::wstring_view kLink = L"bait\\link";

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(RaceTest::SetUp());
    if (IsSkipped()) return;
    bait_ = Of(kBaitToken);
    tree_.WriteFile(GetParam().file, Of(kToken));
    tree_.WriteFile(kBait, bait_);
    ASSERT_TRUE(tree_.MakeFileLink(kLink, kBait));
  }

  std::string Of(std::string_view token) const {
    return GetParam().store ? Sealed(token) : LegacyFileOf(token);
  }

  // The bait's last access lies days back, so that Linux (relatime) moves it
  // on the next read of its bytes; a read shows, an open or a query does not.
  bool AgeBait() {
    const HANDLE file = CreateFileW(tree_.PathOf(kBait).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER past{};
    past.LowPart = now.dwLowDateTime;
    past.HighPart = now.dwHighDateTime;
    past.QuadPart -= 3ULL * 24 * 3600 * 10'000'000;
    agedTo_ = {past.LowPart, past.HighPart};
    const BOOL set = SetFileTime(file, nullptr, &agedTo_, nullptr);
    CloseHandle(file);
    return set;
  }

  bool BaitRead() const {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(tree_.PathOf(kBait).c_str(), GetFileExInfoStandard, &data)) return false;
    return CompareFileTime(&data.ftLastAccessTime, &agedTo_) != 0;
  }

  std::string bait_;
  FILETIME agedTo_{};
};

TEST_P(FileSwapRaceTest, NoRunWritesThroughTheLinkAndEveryRunEnds) {
  // Seen in a store row only through the bait's last access: the tool says
  // nothing of which identity it read. Shown first without the race.
  bool accessShows = false;
  if (GetParam().store) {
    ASSERT_TRUE(AgeBait());
    accessShows = !BaitRead();
    static_cast<void>(tree_.ReadFile(kBait));
    accessShows = accessShows && BaitRead();
  }

  const unsigned runs = Runs(30);
  Tally byStatus;
  unsigned baitTaken = 0;  // a store run: exit 0 and the bait read; else the store holds the bait
  unsigned baitRead = 0;   // store runs that read the bait's bytes at all
  ASSERT_NO_FATAL_FAILURE(
      StartRacer(L"swap.pl", {HostPathOf(tree_.PathOf(GetParam().file)), HostPathOf(tree_.PathOf(kLink))}));
  for (unsigned run = 1; run <= runs; ++run) {
    if (accessShows) {
      ASSERT_TRUE(AgeBait());
    }
    const std::string status = RunOnce(run);
    ++byStatus[status];
    // Before the bait is read here.
    const bool read = accessShows && BaitRead();
    EXPECT_EQ(tree_.ReadFile(kBait), bait_) << "run " << run << " wrote through the link to the bait";
    if (GetParam().store) {
      EXPECT_EQ(Entries(tree_.PathOf(L"profile\\Roaming\\Vantide")),
                std::vector<std::string>{"license-device.dat"})
          << "run " << run << " left something beside the store";
      baitRead += read;
      baitTaken += read && status == "exit 0";
      continue;
    }
    if (status == "exit 0") {
      std::string found;
      bool missing = false;
      const FileInFolder store = OpenFolderOf(tree_.PathOf(kStore));
      EXPECT_EQ(VantideReadProtectedIdentity(store.folder, store.name, &found, &missing), 0)
          << "run " << run << " ended well without a store that unseals";
      baitTaken += found == kBaitToken;
      EXPECT_TRUE(found == kToken || found == kBaitToken) << "run " << run << " stored " << found;
    }
    const std::vector<std::string> removed =
        Clear(L"profile\\Roaming\\Vantide", L"profile\\Roaming\\Vantide", L"outside");
    EXPECT_LE(removed.size(), status == "exit 0" ? 1u : 0u) << "run " << run << " left more than its store";
    ASSERT_FALSE(clearFailed_);
  }

  std::ostringstream figures;
  figures << GetParam().name << ": " << runs << " runs, bait taken x" << baitTaken;
  if (GetParam().store) {
    figures << ", bait read x" << baitRead;
    if (!accessShows) figures << " (not observable here: reading a file does not move its last access)";
  }
  figures << TallyText(byStatus) << "; " << RacerFigure();
  Report(figures.str());
  if (baitTaken + baitRead > 0)
    win32::NoteDeviation(win32::WineDeviation::kFileReadThroughLink, figures.str());
}

INSTANTIATE_TEST_SUITE_P(E2e, FileSwapRaceTest,
                         ::testing::Values(FileSwapCase{"StoreFile", kStore.data(), true},
                                           FileSwapCase{"LegacyFile", kRoamingLegacyFile.data(), false}),
                         [](const ::testing::TestParamInfo<FileSwapCase>& tested) {
                           return std::string(tested.param.name);
                         });

// ---------------------------------------------------------------------------
// The rename into place, raced once the temporary file appears
// ---------------------------------------------------------------------------

enum class Racer {
  kFolderExchange,   // the store's folder is exchanged with a link to "outside"
  kLinkStays,        // a link to outside\license-device.dat is made at the store's name
  kLinkComesAndGoes  // that link is made and removed in turns
};

struct RenameCase {
  const char* name;
  Racer racer;
  // Files of someone else's that lie in "outside" under the tool's names.
  std::vector<std::wstring> planted;
};
void PrintTo(const RenameCase& tested, std::ostream* out) { *out << tested.name; }

class RenameRaceTest : public RaceTest, public ::testing::WithParamInterface<RenameCase> {
 protected:
  static constexpr std::wstring_view kFolder = L"profile\\Roaming\\Vantide";
  static constexpr std::wstring_view kOther = L"profile\\Roaming\\Vantide-swap";

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(RaceTest::SetUp());
    if (IsSkipped()) return;
    tree_.WriteFile(kRoamingLegacyFile, LegacyFileOf(kToken));
    if (GetParam().racer == Racer::kFolderExchange) {
      ASSERT_TRUE(tree_.MakeDirectoryLink(kOther, L"outside"));
    }
    Plant();
  }

  void TearDown() override {
    RaceTest::TearDown();
    // A planted link must go as a link, by the host: deleting it through
    // Wine would delete the file it points to.
    if (!IsSkipped()) Clear(kFolder, kOther, L"outside");
  }

  static std::string Contents(const std::wstring& name) { return "someone else's " + Narrow(name); }
  static std::string Narrow(const std::wstring& name) { return std::string(name.begin(), name.end()); }

  void Plant() {
    for (const std::wstring& name : GetParam().planted) tree_.WriteFile(L"outside\\" + name, Contents(name));
  }

  // How often the planter's log says `what` so far.
  unsigned Planted(std::string_view what) const {
    std::istringstream lines(tree_.ReadFile(L"planted.log"));
    unsigned count = 0;
    for (std::string line; std::getline(lines, line);) count += line == what;
    return count;
  }
};

TEST_P(RenameRaceTest, NothingOutsideIsReplacedAndEveryRunEnds) {
  const unsigned runs = Runs(30);
  Tally byStatus;
  Tally residues;
  unsigned withResidue = 0;
  // Someone else's files outside, replaced or removed by Wine's rename and
  // deletion by path: on Windows the tool's rename and removal go by handle
  // and never reach them.
  Tally harmed;
  const bool plants = GetParam().racer != Racer::kFolderExchange;
  if (plants) {
    ASSERT_NO_FATAL_FAILURE(StartRacer(
        L"plant.pl",
        {HostPathOf(tree_.PathOf(kFolder)), "license-device.dat.tmp", "license-device.dat",
         HostPathOf(tree_.PathOf(L"outside\\license-device.dat")), HostPathOf(tree_.PathOf(L"planted.log")),
         GetParam().racer == Racer::kLinkComesAndGoes ? "comes and goes" : "stays"}));
  } else {
    ASSERT_NO_FATAL_FAILURE(StartRacer(
        L"swap.pl",
        {HostPathOf(tree_.PathOf(kFolder)), HostPathOf(tree_.PathOf(kOther)), "license-device.dat.tmp"}));
  }
  for (unsigned run = 1; run <= runs; ++run) {
    const unsigned madeBefore = Planted("made");
    const unsigned replacedBefore = Planted("replaced");
    const std::string status = RunOnce(run);
    ++byStatus[status];
    Tally found;
    // "outside" itself is never exchanged: what is there is stable now.
    for (const std::string& name : Entries(tree_.PathOf(L"outside"))) {
      const std::wstring wide(name.begin(), name.end());
      if (std::find(GetParam().planted.begin(), GetParam().planted.end(), wide) == GetParam().planted.end()) {
        ++found["the tool's " + name + " outside"];
      }
    }
    bool harmedNow = false;
    for (const std::wstring& name : GetParam().planted) {
      const std::string now = tree_.ReadFile(L"outside\\" + name);
      if (now == Contents(name)) continue;
      ++harmed[Narrow(name) + " outside " + (now.empty() ? "gone" : "replaced") + " (" + Brief(status) + ")"];
      harmedNow = true;
    }
    const bool stays = GetParam().racer == Racer::kLinkStays && Planted("made") > madeBefore;
    const std::vector<std::string> removed = Clear(kFolder, kOther, L"outside");
    const bool storeInPlace =
        std::find(removed.begin(), removed.end(), "license-device.dat") != removed.end();
    if ((stays && storeInPlace) || Planted("replaced") > replacedBefore) ++found["a planted link replaced"];
    if (status == "exit 0" && !storeInPlace) ++found["exit 0 without the store in place"];
    for (const auto& [what, count] : found) residues[what + " (" + Brief(status) + ")"] += count;
    withResidue += !found.empty() || harmedNow;
    ASSERT_FALSE(clearFailed_);
    Plant();
  }

  std::ostringstream figures;
  figures << GetParam().name << ": " << runs << " runs, " << withResidue << " with a residue";
  if (plants) figures << ", links planted x" << Planted("made");
  figures << TallyText(byStatus) << TallyText(residues) << TallyText(harmed) << "; " << RacerFigure();
  Report(figures.str());
  if (withResidue > 0) win32::NoteDeviation(win32::WineDeviation::kRenameByPath, figures.str());
}

INSTANTIATE_TEST_SUITE_P(
    E2e, RenameRaceTest,
    ::testing::Values(
        // The tool's own files may land outside, where nothing has their names.
        RenameCase{"StoreFolderOnceTheTemporaryFileAppears", Racer::kFolderExchange, {}},
        // Where someone else's files have the tool's names, they must stay.
        RenameCase{"StoreFolderOnceTheTemporaryFileAppearsBesideTakenNames",
                   Racer::kFolderExchange,
                   {L"license-device.dat", L"license-device.dat.tmp"}},
        // A rename that never replaces must fail on the link: it is there first.
        RenameCase{
            "LinkAtTheStoreNameOnceTheTemporaryFileAppears", Racer::kLinkStays, {L"license-device.dat"}},
        RenameCase{"LinkComingAndGoingAtTheStoreName", Racer::kLinkComesAndGoes, {L"license-device.dat"}}),
    [](const ::testing::TestParamInfo<RenameCase>& tested) { return std::string(tested.param.name); });

}  // namespace
}  // namespace van_tide::testing
