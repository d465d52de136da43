// Every way Windows reads a path member other than as it is written, tried
// where a link could hide behind it: in a base folder, and as an entry of the
// host's plug-in storage. A link stands at the name Windows would read, or at
// the name as written, with a valid store and a conflicting legacy file behind
// it; a whole run must never read, write or create anything through it. The
// walk opens every member below its start exactly as written, so such a name
// is only a hazard where a whole path is read: in the environment's values.
#include "app/resolve.h"

#include "app/migration_machine.h"
#include "platform/status.h"
#include "standin/standin.h"
#include "support/standin_fixture.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>

namespace van_tide {
namespace {

using standin::Api;
using testing::kMachineLocal;
using testing::kMachineRoaming;
using testing::kTokenA;
using testing::kTokenB;
using testing::LegacyPlace;
using testing::PlantLegacyFile;
using testing::SnapshotDisk;

constexpr wchar_t kElsewhere[] = L"C:\\elsewhere";

// The link's target: what a run that went through the link would find, as a
// roaming folder (a valid store, a legacy file) or as a plug-in entry.
void PlantBehindTheLink() {
  std::string store;
  ASSERT_EQ(VantideSealIdentity(kTokenB, &store), kStatusOk);
  const std::wstring roaming = std::wstring(kElsewhere) + L"\\Roaming";
  standin::AddFile(roaming + L"\\Vantide\\license-device.dat", store);
  PlantLegacyFile(roaming, L"z", LegacyPlace::kDataFolder, kTokenB);
  standin::AddFile(std::wstring(kElsewhere) + L"\\External\\com.greywick.van-tide\\license-device.json",
                   testing::LegacyFile(kTokenB));
}

// The host's plug-in storage under the local folder, with backslashes only,
// so that a literal path can name an entry that only a literal path makes.
const std::wstring kStorage = std::wstring(kMachineLocal) + L"\\Adobe\\UXP\\PluginsStorage\\PHSP";

void PlantEntry(std::wstring_view entry, const std::string& token) {
  standin::AddFile(L"\\\\?\\" + kStorage + L"\\" + std::wstring(entry) +
                       L"\\External\\com.greywick.van-tide\\license-device.json",
                   testing::LegacyFile(token));
}

// Upper-cased, with every separator a backslash: how names compare.
std::wstring Folded(std::wstring_view path) {
  std::wstring folded(path);
  for (wchar_t& c : folded) {
    if (c == L'/') c = L'\\';
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return folded;
}

// The calls the run made below `folder` (itself excluded), as written.
std::vector<std::wstring> CallsBelow(std::wstring_view folder) {
  const std::wstring prefix = Folded(folder) + L"\\";
  std::vector<std::wstring> below;
  for (const standin::Call& call : standin::Calls()) {
    for (const std::wstring* path : {&call.path, &call.path2}) {
      if (Folded(*path).starts_with(prefix)) below.push_back(*path);
    }
  }
  return below;
}

// A whole run on the machine as planted: refused with `status`, nothing
// written, the disk as it was, and no call below any of `untouched`.
void RunRefused(HRESULT status, std::initializer_list<std::wstring> untouched) {
  const testing::DiskSnapshot before = SnapshotDisk();
  standin::ClearCalls();
  const DeviceIdentityResult outcome = VantideResolveDeviceIdentity();
  EXPECT_EQ(outcome.status, status);
  EXPECT_EQ(outcome.token, "");
  testing::ExpectNothingWritten();
  EXPECT_EQ(SnapshotDisk(), before);
  for (const std::wstring& folder : untouched) EXPECT_EQ(CallsBelow(folder), std::vector<std::wstring>{});
}

// One rule: a member as written, and the name Windows reads in its place at
// the end of a path (empty: a device, no name at all). A device name is read
// as the device only as the last member: in the middle of a path both
// readings name the folder.
struct Spelling {
  const char* rule;
  const wchar_t* written;
  const wchar_t* read;
  bool isDevice() const { return *read == L'\0'; }
  // Read alike by the walk and by a reader of the whole path, in the middle
  // of it: a device name with nothing a reader would trim.
  bool readAliveInTheMiddle() const {
    const std::wstring_view name(written);
    return isDevice() && name.back() != L' ' && name.back() != L'.';
  }
};

const Spelling kSpellings[] = {
    {"a trailing blank", L"me ", L"me"},
    {"trailing blanks and periods", L"me. .", L"me"},
    {"a trailing period", L"me.", L"me"},
    {"two trailing periods", L"me..", L"me"},
    {"a device name", L"CON", L""},
    {"a device name with an extension", L"nul.txt", L""},
    {"a device name with blanks", L"Com1 ", L""},
    {"a port with a superscript digit", L"LPT\u00B2", L""},
    {"the console's output", L"conout$", L""},
};

class NameSpellingTest : public testing::StandinTest {
 protected:
  NameSpellingTest() { testing::SetUpProfile(); }

  // A folder link at `path`, whatever Windows would make of the name.
  static void PlantLink(std::wstring_view path) {
    standin::AddDirectoryLink(L"\\\\?\\" + std::wstring(path), kElsewhere);
  }
};

// A base folder whose member Windows would rewrite is unusable before
// anything is asked: other programs read the value as a whole path, and would
// reach another folder than the walk, which opens the member as written. A
// device name in the middle reads alike both ways: the walk takes it as the
// folder it is, and refuses the link planted there as any other.
TEST_F(NameSpellingTest, ABaseFolderWithSuchAMemberIsUnusableAndNothingIsTouched) {
  const std::wstring odd = L"C:\\Odd";
  const struct {
    const char* rule;
    std::wstring member;
    std::wstring read;
  } extra[] = {
      {"a stream of the folder", L"me::$INDEX_ALLOCATION", L"me"},
      {"a named stream", L"me:x", L"me"},
      {"a member made of dots", L"x\\..\\me", L"me"},
  };
  std::vector<Spelling> spellings(std::begin(kSpellings), std::end(kSpellings));
  for (const auto& e : extra) spellings.push_back({e.rule, e.member.c_str(), e.read.c_str()});

  for (const wchar_t* variable : {L"APPDATA", L"LOCALAPPDATA"}) {
    for (const Spelling& spelling : spellings) {
      for (const bool linkAtTheReadName : {false, true}) {
        const std::wstring linked = linkAtTheReadName ? spelling.read : spelling.written;
        // No link can bear a colon or a separator in its name, and a device
        // leaves no name to read.
        if (linked.empty() || linked.find_first_of(L":\\") != std::wstring::npos) continue;
        SCOPED_TRACE(testing::Narrow(variable) + ", " + spelling.rule + ", link at " +
                     testing::Narrow(linked));
        standin::Reset();
        testing::SetUpProfile();
        PlantBehindTheLink();
        PlantLegacyFile(kMachineLocal, L"a", LegacyPlace::kPluginData, kTokenA);
        standin::AddDirectory(odd + L"\\x");
        PlantLink(odd + L"\\" + linked);
        standin::SetEnvironmentVariable(variable, odd + L"\\" + spelling.written + L"\\Roaming");
        if (spelling.readAliveInTheMiddle()) {
          RunRefused(kStatusCantAccessFile, {});
        } else {
          RunRefused(kStatusEnvironmentVariableNotFound, {odd});
        }
      }
    }
  }
}

// As the last member of a value, a device name is the device to anyone who
// reads the value: unusable. In the middle, a real folder of that name serves.
TEST_F(NameSpellingTest, ADeviceNameServesInTheMiddleOfABaseFolderButNotAtItsEnd) {
  for (const Spelling& spelling : kSpellings) {
    if (!spelling.readAliveInTheMiddle()) continue;
    SCOPED_TRACE(spelling.rule);
    standin::Reset();
    testing::SetUpProfile();
    const std::wstring folder = L"\\\\?\\C:\\Odd\\" + std::wstring(spelling.written);
    standin::AddDirectory(folder + L"\\Roaming");
    PlantLegacyFile(kMachineLocal, L"a", LegacyPlace::kPluginData, kTokenA);

    standin::SetEnvironmentVariable(L"APPDATA", L"C:\\Odd\\" + std::wstring(spelling.written));
    RunRefused(kStatusEnvironmentVariableNotFound, {L"C:\\Odd"});

    standin::SetEnvironmentVariable(L"APPDATA", L"C:\\Odd\\" + std::wstring(spelling.written) + L"\\Roaming");
    const DeviceIdentityResult outcome = VantideResolveDeviceIdentity();
    EXPECT_EQ(outcome.status, kStatusOk);
    EXPECT_EQ(outcome.token, kTokenA);
    EXPECT_EQ(testing::UnsealedStore(folder + L"\\Roaming\\Vantide\\license-device.dat"), kTokenA);
  }
}

// An entry is judged by what the listing reported for its exact name and by
// its own handle: a link is refused wherever it stands, and a plain folder,
// opened by its name as written, is an entry like any other.
TEST_F(NameSpellingTest, AStorageEntryWithSuchANameIsAnOrdinaryFolderAndNoLinkIsFollowed) {
  enum class Plant { kLinkAsWritten, kLinkAtTheReadName, kPlainFolderAsWritten };
  for (const Spelling& spelling : kSpellings) {
    for (const Plant plant :
         {Plant::kLinkAsWritten, Plant::kLinkAtTheReadName, Plant::kPlainFolderAsWritten}) {
      if (plant == Plant::kLinkAtTheReadName && spelling.isDevice()) continue;
      SCOPED_TRACE(std::string(spelling.rule) + ", plant " + std::to_string(static_cast<int>(plant)));
      standin::Reset();
      testing::SetUpProfile();
      PlantBehindTheLink();
      const std::wstring written = kStorage + L"\\" + spelling.written;
      const std::wstring atTheReadName = kStorage + L"\\" + spelling.read;
      switch (plant) {
        case Plant::kLinkAsWritten:
          // As met in the field: beside a plain entry of the name Windows reads.
          if (!spelling.isDevice()) PlantEntry(spelling.read, kTokenA);
          PlantLink(written);
          RunRefused(kStatusCantAccessFile, {written});
          break;
        case Plant::kLinkAtTheReadName:
          PlantEntry(spelling.written, kTokenA);
          PlantLink(atTheReadName);
          RunRefused(kStatusCantAccessFile, {atTheReadName});
          break;
        case Plant::kPlainFolderAsWritten: {
          PlantEntry(spelling.written, kTokenA);
          const DeviceIdentityResult outcome = VantideResolveDeviceIdentity();
          EXPECT_EQ(outcome.status, kStatusOk);
          EXPECT_EQ(outcome.token, kTokenA);
          EXPECT_EQ(testing::UnsealedStore(), kTokenA);
          break;
        }
      }
    }
  }
}

}  // namespace
}  // namespace van_tide
