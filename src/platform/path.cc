#include "platform/path.h"

#include <algorithm>

#include "platform/text.h"

namespace orv {

bool SameFilePath(std::u16string_view a, std::u16string_view b) {
  if constexpr (kFileNamesCaseSensitive) {
    return a == b;
  } else {
    return AsciiEqualIgnoreCase(a, b);
  }
}

size_t FilePathHash::operator()(std::u16string_view path) const noexcept {
  if constexpr (kFileNamesCaseSensitive) {
    return std::hash<std::u16string_view>()(path);
  } else {
    size_t hash = 14695981039346656037ull;
    for (char16_t unit : path) hash = (hash ^ AsciiToLower(unit)) * 1099511628211ull;
    return hash;
  }
}

bool IsPlainAbsolutePath(std::u16string_view path) {
  if (path.empty() || path.front() != kPathSeparator) return false;
  size_t start = 1;
  while (start < path.size()) {
    const size_t end = std::min(path.find(kPathSeparator, start), path.size());
    const std::u16string_view part = path.substr(start, end - start);
    if (part.empty() || part == u"." || part == u"..") return false;
    start = end + 1;
  }
  return true;
}

std::u16string JoinPath(std::u16string_view directory, std::u16string_view name) {
  if (directory.empty()) return {};
  std::u16string path;
  path.reserve(directory.size() + 1 + name.size());
  path.append(directory);
  if (directory.back() != kPathSeparator) path.push_back(kPathSeparator);
  path.append(name);
  return path;
}

}  // namespace orv
