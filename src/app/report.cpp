#include "app/report.h"

#include "platform/status.h"

#include <array>
#include <cstdint>

namespace van_tide {
namespace {

constexpr char kConflictMessage[] = "conflicting legacy device identities";
constexpr char kFailureMessage[] = "device identity owner rejected migration";
constexpr char kStatusOpening[] = " (HRESULT=0x";
constexpr char kLineClosing[] = ")\n";

// Lower-case hexadecimal, no leading zeros, no prefix; a failure status has its
// top bit set, so it always has eight digits. NUL-terminated.
std::array<char, 9> HexDigits(HRESULT status) noexcept {
  constexpr char kDigits[] = "0123456789abcdef";
  auto value = static_cast<std::uint32_t>(status);
  std::array<char, 9> reversed{};
  std::size_t count = 0;
  do {
    reversed[count++] = kDigits[value & 0xFU];
    value >>= 4;
  } while (value != 0);
  std::array<char, 9> text{};
  for (std::size_t i = 0; i < count; ++i) text[i] = reversed[count - 1 - i];
  return text;
}

const char* MessageFor(HRESULT status) noexcept {
  return status == kStatusDuplicateName ? kConflictMessage : kFailureMessage;
}

}  // namespace

std::string VantideReportLine(HRESULT status) {
  std::string line = MessageFor(status);
  line += kStatusOpening;
  line += HexDigits(status).data();
  line += kLineClosing;
  return line;
}

int VantideFinishRun(const DeviceIdentityResult& outcome, std::FILE* errorStream) noexcept {
  if (outcome.status >= 0) return kExitSuccess;
  const std::array<char, 9> digits = HexDigits(outcome.status);
  for (const char* piece : {MessageFor(outcome.status), kStatusOpening, digits.data(), kLineClosing}) {
    // A failed write changes nothing: the exit status says failure anyway.
    static_cast<void>(std::fputs(piece, errorStream));
    static_cast<void>(std::fflush(errorStream));
  }
  return kExitFailure;
}

}  // namespace van_tide
