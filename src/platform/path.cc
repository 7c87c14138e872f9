#include "platform/path.h"

#include "platform/text.h"

namespace orv {

bool SameFilePath(std::u16string_view a, std::u16string_view b) {
  if constexpr (kFileNamesCaseSensitive) {
    return a == b;
  } else {
    return AsciiEqualIgnoreCase(a, b);
  }
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
