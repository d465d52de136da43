// Data protection: the sealing service, and the LocalAlloc buffers its
// results come in.
//
// - The data-protection service seals for the current user; a blob opens only
//   for that user (else the last error is NTE_BAD_KEY_STATE, 0x8009000B) and
//   only when unaltered (else ERROR_INVALID_DATA). Its output buffers come from
//   LocalAlloc and are counted until LocalFree.
#include "standin/standin.h"

#include "standin/machine.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace van_tide::standin {
namespace {

// Blob layout (little-endian): "SDPB", scope (1 = machine), sealing user
// (length in UTF-16 units, units), description (same), payload length, the
// payload XORed with a keystream drawn from the user, and last a 64-bit
// FNV-1a checksum of everything before it and of the entropy. FNV-1a's steps
// are one-to-one, so any single changed byte changes the checksum.
constexpr char kBlobMagic[4] = {'S', 'D', 'P', 'B'};

constexpr std::uint64_t kFnvBasis = 14695981039346656037ULL;
constexpr std::uint64_t kFnvPrime = 1099511628211ULL;

std::uint64_t Fnv1a(std::uint64_t hash, const BYTE* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * kFnvPrime;
  return hash;
}

void Keystream(std::wstring_view user, BYTE* data, std::size_t size) {
  std::uint64_t state = kFnvBasis;
  for (wchar_t c : user) state = (state ^ static_cast<std::uint32_t>(c)) * kFnvPrime;
  for (std::size_t i = 0; i < size; ++i) {
    // splitmix64
    state += 0x9E3779B97F4A7C15ULL;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    data[i] = static_cast<BYTE>(data[i] ^ static_cast<BYTE>(z ^ (z >> 31)));
  }
}

void PutU32(std::vector<BYTE>* out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<BYTE>(value >> shift));
}

void PutText(std::vector<BYTE>* out, std::wstring_view text) {
  PutU32(out, static_cast<std::uint32_t>(text.size()));
  for (wchar_t c : text) {
    const auto unit = static_cast<std::uint16_t>(c);
    out->push_back(static_cast<BYTE>(unit));
    out->push_back(static_cast<BYTE>(unit >> 8));
  }
}

std::uint64_t BlobChecksum(const BYTE* data, std::size_t size, const DATA_BLOB* entropy) {
  std::uint64_t hash = Fnv1a(kFnvBasis, data, size);
  if (entropy != nullptr && entropy->pbData != nullptr) hash = Fnv1a(hash, entropy->pbData, entropy->cbData);
  return hash;
}

class BlobReader {
 public:
  BlobReader(const BYTE* data, std::size_t size) : data_(data), size_(size) {}
  bool U32(std::uint32_t* value) {
    if (size_ - offset_ < 4) return false;
    *value = 0;
    for (int i = 0; i < 4; ++i) *value |= static_cast<std::uint32_t>(data_[offset_++]) << (8 * i);
    return true;
  }
  bool Text(std::wstring* text) {
    std::uint32_t length = 0;
    if (!U32(&length) || (size_ - offset_) / 2 < length) return false;
    text->clear();
    for (std::uint32_t i = 0; i < length; ++i, offset_ += 2) {
      text->push_back(static_cast<wchar_t>(data_[offset_] | (data_[offset_ + 1] << 8)));
    }
    return true;
  }
  bool Bytes(std::size_t count, const BYTE** bytes) {
    if (size_ - offset_ < count) return false;
    *bytes = data_ + offset_;
    offset_ += count;
    return true;
  }
  std::size_t Offset() const { return offset_; }

 private:
  const BYTE* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

void* NewLocalBuffer(std::size_t size) {
  void* buffer = std::malloc(size == 0 ? 1 : size);
  if (buffer == nullptr) throw std::bad_alloc();
  S().localBuffers.insert(buffer);
  return buffer;
}

bool BlobArgumentsValid(const DATA_BLOB* in, const DATA_BLOB* out) {
  return in != nullptr && out != nullptr && (in->cbData == 0 || in->pbData != nullptr);
}

}  // namespace

void SetCurrentUser(std::wstring_view sid) { S().user = std::wstring(sid); }

std::size_t OutstandingLocalBuffers() { return S().localBuffers.size(); }

}  // namespace van_tide::standin

// ---------------------------------------------------------------------------
// The Win32 functions
// ---------------------------------------------------------------------------

using namespace van_tide::standin;  // machine.h and the helpers above

BOOL CryptProtectData(DATA_BLOB* dataIn, LPCWSTR dataDescription, DATA_BLOB* optionalEntropy, LPVOID reserved,
                      CRYPTPROTECT_PROMPTSTRUCT* promptStruct, DWORD flags, DATA_BLOB* dataOut) {
  const CallScope inCall;
  if (Dead()) return Fail(ERROR_INVALID_HANDLE, FALSE);
  Call call = NewCall(Api::CryptProtectData, {}, {flags});
  call.description = Text(dataDescription);
  call.nullArguments = optionalEntropy == nullptr && reserved == nullptr && promptStruct == nullptr;
  Record(std::move(call));
  if (const Fault* fault = DueFault(Api::CryptProtectData, {})) return Fail(fault->error, FALSE);
  if (!BlobArgumentsValid(dataIn, dataOut)) return Fail(ERROR_INVALID_PARAMETER, FALSE);

  const bool machine = (flags & CRYPTPROTECT_LOCAL_MACHINE) != 0;
  std::vector<BYTE> blob(std::begin(kBlobMagic), std::end(kBlobMagic));
  PutU32(&blob, machine ? 1U : 0U);
  PutText(&blob, S().user);
  PutText(&blob, Text(dataDescription));
  PutU32(&blob, dataIn->cbData);
  const std::size_t payload = blob.size();
  blob.insert(blob.end(), dataIn->pbData, dataIn->pbData + dataIn->cbData);
  Keystream(S().user, blob.data() + payload, dataIn->cbData);
  const std::uint64_t checksum = BlobChecksum(blob.data(), blob.size(), optionalEntropy);
  PutU32(&blob, static_cast<std::uint32_t>(checksum));
  PutU32(&blob, static_cast<std::uint32_t>(checksum >> 32));

  auto* out = static_cast<BYTE*>(NewLocalBuffer(blob.size()));
  std::memcpy(out, blob.data(), blob.size());
  dataOut->pbData = out;
  dataOut->cbData = static_cast<DWORD>(blob.size());
  return TRUE;
}

BOOL CryptUnprotectData(DATA_BLOB* dataIn, LPWSTR* dataDescription, DATA_BLOB* optionalEntropy,
                        LPVOID reserved, CRYPTPROTECT_PROMPTSTRUCT* promptStruct, DWORD flags,
                        DATA_BLOB* dataOut) {
  const CallScope inCall;
  if (Dead()) return Fail(ERROR_INVALID_HANDLE, FALSE);
  Call call = NewCall(Api::CryptUnprotectData, {}, {flags});
  call.nullArguments = dataDescription == nullptr && optionalEntropy == nullptr && reserved == nullptr &&
                       promptStruct == nullptr;
  Record(std::move(call));
  if (const Fault* fault = DueFault(Api::CryptUnprotectData, {})) return Fail(fault->error, FALSE);
  if (!BlobArgumentsValid(dataIn, dataOut)) return Fail(ERROR_INVALID_PARAMETER, FALSE);

  BlobReader reader(dataIn->pbData, dataIn->cbData);
  const BYTE* magic = nullptr;
  std::uint32_t scope = 0;
  std::wstring user;
  std::wstring description;
  std::uint32_t length = 0;
  const BYTE* sealed = nullptr;
  std::uint32_t low = 0;
  std::uint32_t high = 0;
  if (!reader.Bytes(4, &magic) || std::memcmp(magic, kBlobMagic, 4) != 0 || !reader.U32(&scope) ||
      scope > 1 || !reader.Text(&user) || !reader.Text(&description) || !reader.U32(&length) ||
      !reader.Bytes(length, &sealed)) {
    return Fail(ERROR_INVALID_DATA, FALSE);
  }
  const std::size_t checked = reader.Offset();
  if (!reader.U32(&low) || !reader.U32(&high) || reader.Offset() != dataIn->cbData ||
      ((static_cast<std::uint64_t>(high) << 32) | low) !=
          BlobChecksum(dataIn->pbData, checked, optionalEntropy)) {
    return Fail(ERROR_INVALID_DATA, FALSE);
  }
  if (scope == 0 && user != S().user) return Fail(NTE_BAD_KEY_STATE, FALSE);

  auto* out = static_cast<BYTE*>(NewLocalBuffer(length));
  if (length > 0) std::memcpy(out, sealed, length);
  Keystream(user, out, length);
  dataOut->pbData = out;
  dataOut->cbData = length;
  if (dataDescription != nullptr) {
    auto* text = static_cast<wchar_t*>(NewLocalBuffer((description.size() + 1) * sizeof(wchar_t)));
    std::copy(description.begin(), description.end(), text);
    text[description.size()] = L'\0';
    *dataDescription = text;
  }
  return TRUE;
}

// Not recorded: releases are checked by OutstandingLocalBuffers, and the
// record stays a list of the calls that reach the file system or the service.
// After a crash it still frees, so the code under test can give back what it
// holds and the fixture's check stays meaningful.
HLOCAL LocalFree(HLOCAL memory) {
  const CallScope inCall;
  if (memory == nullptr) return nullptr;
  if (!Dead()) {
    if (const Fault* fault = DueFault(Api::LocalFree, {})) return Fail(fault->error, memory);
  }
  // Windows answers a pointer it never handed out with failure (the pointer
  // itself) instead of corrupting its heap; so does the stand-in.
  if (S().localBuffers.erase(memory) == 0) return Fail(ERROR_INVALID_HANDLE, memory);
  std::free(memory);
  return nullptr;
}
