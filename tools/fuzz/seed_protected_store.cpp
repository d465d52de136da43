// Writes store files sealed by the stand-in's data-protection service into
// the folder named by the first argument, so that the store fuzzer starts from
// blobs that pass the service's integrity check and reaches the unseal and the
// token check. Run again whenever the stand-in's blob layout changes.
#include "platform/status.h"
#include "platform/win32.h"
#include "standin/standin.h"
#include "store/protected_identity.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

bool WriteSealed(const std::filesystem::path& file, const std::string& plaintext) {
  std::string bytes;
  if (van_tide::VantideSealIdentity(plaintext, &bytes) != van_tide::kStatusOk) return false;
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  std::filesystem::create_directories(folder);
  const std::string token = "van-tide-hud-0123456789abcdef0123456789ABCDEF";

  van_tide::standin::Reset();
  bool ok = WriteSealed(folder / "sealed-token", token);
  // Unseals, then fails the token check.
  ok = WriteSealed(folder / "sealed-token-with-line-feed", token + "\n") && ok;
  // Passes the integrity check, then belongs to somebody else.
  van_tide::standin::SetCurrentUser(L"S-1-5-21-2002");
  ok = WriteSealed(folder / "sealed-for-another-user", token) && ok;
  van_tide::standin::Reset();
  if (!ok) std::fprintf(stderr, "%s: could not write the sealed stores\n", argv[0]);
  return ok ? 0 : 1;
}
