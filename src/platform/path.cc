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

namespace {

// Length of the root of an absolute path: "/" on Linux; on Windows "C:" and a
// separator, or the two separators that open a share's path (its server and
// share names are components). 0 when the path is not absolute.
size_t RootLength(std::u16string_view path) {
#ifdef _WIN32
  if (path.size() >= 3 && AsciiToLower(path[0]) >= u'a' && AsciiToLower(path[0]) <= u'z' &&
      path[1] == u':' && path[2] == kPathSeparator) {
    return 3;
  }
  if (path.size() >= 2 && path[0] == kPathSeparator && path[1] == kPathSeparator) return 2;
  return 0;
#else
  return !path.empty() && path.front() == kPathSeparator ? 1 : 0;
#endif
}

bool IsPlainComponent(std::u16string_view part) {
  if (part.empty() || part == u"." || part == u"..") return false;
  if (part.find(u'\0') != std::u16string_view::npos) return false;
#ifdef _WIN32
  // "/" is a second separator and ":" opens a named stream; "?" and "." as a
  // server name are the device namespaces, whose paths skip the system's checks.
  if (part.find_first_of(u"/:?") != std::u16string_view::npos) return false;
  // Windows drops a final "." or space from a short path's names but not from
  // a long one's: "a.txt." would reach a.txt or another file by the length.
  if (part.back() == u'.' || part.back() == u' ') return false;
#endif
  return true;
}

}  // namespace

bool IsPlainFileName(std::u16string_view name) {
  return name.find(kPathSeparator) == std::u16string_view::npos && IsPlainComponent(name);
}

bool IsPlainAbsolutePath(std::u16string_view path) {
  const size_t root = RootLength(path);
  if (root == 0) return false;
  size_t components = 0;
  size_t start = root;
  while (start < path.size()) {
    const size_t end = std::min(path.find(kPathSeparator, start), path.size());
    if (!IsPlainComponent(path.substr(start, end - start))) return false;
    ++components;
    start = end + 1;
  }
  // A share's path names at least its server and the share.
  return !(kPathSeparator == u'\\' && root == 2 && components < 2);
}

std::u16string ParentDirectory(std::u16string_view path) {
  const size_t slash = path.rfind(kPathSeparator);
  if (slash == std::u16string_view::npos) return {};
  const size_t root = RootLength(path);
  if (root != 0 && slash < root) return std::u16string(path.substr(0, root));
  return std::u16string(path.substr(0, slash));
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
