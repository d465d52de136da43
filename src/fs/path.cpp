#include "fs/path.h"

namespace van_tide {
namespace {

constexpr bool IsAsciiLetter(wchar_t c) noexcept {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

std::size_t SeparatorRunEnd(std::wstring_view path, std::size_t from) noexcept {
  while (from < path.size() && VantideIsSeparator(path[from])) ++from;
  return from;
}

}  // namespace

bool VantideStartsWithDriveDesignator(std::wstring_view text) noexcept {
  return text.size() >= 2 && IsAsciiLetter(text[0]) && text[1] == L':';
}

bool VantideHasDevicePrefix(std::wstring_view path) noexcept {
  if (path.size() < 4 || !VantideIsSeparator(path[0]) || !VantideIsSeparator(path[3])) return false;
  if (path.size() > 4 && VantideIsSeparator(path[4])) return false;
  const bool slashForm = VantideIsSeparator(path[1]) && (path[2] == L'?' || path[2] == L'.');
  const bool ntForm = path[1] == L'?' && path[2] == L'?';
  return slashForm || ntForm;
}

std::size_t VantideRootNameLength(std::wstring_view path) noexcept {
  if (path.size() < 2) return 0;
  if (VantideStartsWithDriveDesignator(path)) return 2;
  if (!VantideIsSeparator(path[0])) return 0;
  if (VantideHasDevicePrefix(path)) return 3;
  if (path.size() >= 3 && VantideIsSeparator(path[1]) && !VantideIsSeparator(path[2])) {
    std::size_t end = 3;
    while (end < path.size() && !VantideIsSeparator(path[end])) ++end;
    return end;
  }
  return 0;
}

std::size_t VantideRootPathLength(std::wstring_view path) noexcept {
  return SeparatorRunEnd(path, VantideRootNameLength(path));
}

bool VantideIsAbsolutePath(const Path& path) {
  const std::size_t rootName = VantideRootNameLength(path);
  if (rootName == 0) return false;
  if (VantideStartsWithDriveDesignator(path)) {
    return path.size() >= 3 && VantideIsSeparator(path[2]);
  }
  return true;  // a server or device root name
}

Path VantideJoinPath(const Path& left, const Path& right) {
  if (VantideIsAbsolutePath(right)) return right;

  const std::wstring_view leftView{left};
  const std::wstring_view rightView{right};
  const std::size_t leftRootName = VantideRootNameLength(leftView);
  const std::size_t rightRootName = VantideRootNameLength(rightView);
  if (rightRootName != 0 &&
      rightView.substr(0, rightRootName) != leftView.substr(0, leftRootName)) {
    return right;
  }

  const std::wstring_view rightRest = rightView.substr(rightRootName);
  if (!rightRest.empty() && VantideIsSeparator(rightRest.front())) {
    Path joined;
    joined.reserve(leftRootName + rightRest.size());
    joined.append(leftView.substr(0, leftRootName)).append(rightRest);
    return joined;
  }

  // A drive designator alone ("C:") names the drive's current folder, so
  // nothing may be put between it and a relative name; a longer root name
  // ("\\server") needs a separator before its first component.
  const bool leftIsRootNameAlone = left.size() == leftRootName;
  const bool separatorNeeded =
      leftIsRootNameAlone ? leftRootName >= 3 : !VantideIsSeparator(left.back());

  Path joined;
  joined.reserve(left.size() + (separatorNeeded ? 1 : 0) + rightRest.size());
  joined.append(left);
  if (separatorNeeded) joined.push_back(L'\\');
  joined.append(rightRest);
  return joined;
}

Path VantideParentPath(const Path& path) {
  const std::size_t rootPath = VantideRootPathLength(path);
  std::size_t end = path.size();
  if (end == rootPath) return path;
  while (end > rootPath && !VantideIsSeparator(path[end - 1])) --end;
  if (end == rootPath) return path.substr(0, rootPath);
  while (end > rootPath && VantideIsSeparator(path[end - 1])) --end;
  return path.substr(0, end);
}

}  // namespace van_tide
