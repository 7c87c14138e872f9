// How this platform names files. The rest of the engine asks these questions
// instead of assuming Windows or Linux rules.
#ifndef ORV_PLATFORM_PATH_H_
#define ORV_PLATFORM_PATH_H_

#include <string>
#include <string_view>

namespace orv {

#ifdef _WIN32
inline constexpr char16_t kPathSeparator = u'\\';

// Windows file names ignore letter case: pending entries are matched with
// ASCII case folded, and the catalog stores file and copy names lower-cased.
inline constexpr bool kFileNamesCaseSensitive = false;
#else
inline constexpr char16_t kPathSeparator = u'/';

// Linux file names are case-sensitive: two paths that differ only in letter
// case name two files. Where the engine compares or stores a file's path
// (pending entries, catalog file and copy names) it uses SameFilePath and keeps
// the path as given. Policy matching is a different matter: it always folds
// ASCII case.
inline constexpr bool kFileNamesCaseSensitive = true;
#endif

// The longest file name (one path component) the engine gives a copy, in bytes
// of UTF-8: what Linux takes, and never more than the 255 UTF-16 units of
// Windows.
inline constexpr size_t kMaxFileNameBytes = 255;

// True when the two paths name the same file under this platform's rule.
bool SameFilePath(std::u16string_view a, std::u16string_view b);

// Hash and equality of file paths under that rule, for hashed containers.
struct FilePathHash {
  size_t operator()(std::u16string_view path) const noexcept;
};
struct FilePathEqual {
  bool operator()(std::u16string_view a, std::u16string_view b) const noexcept {
    return SameFilePath(a, b);
  }
};

// True for an absolute path with no ".", ".." or empty component (a trailing
// separator aside): the only form in which the text the policy matched is the
// file the path reaches. On Windows the path starts with a drive or a share's
// server and share names, and no component holds "/" (a second separator),
// ":" (a named stream) or "?" (the device namespace).
bool IsPlainAbsolutePath(std::u16string_view path);

// True for a name that is one component of a path and nothing else: not
// empty, "." or "..", with no separator and no 0 (on Windows no "/", ":" or
// "?" either), so that joined to a directory it names a file in it.
bool IsPlainFileName(std::u16string_view name);

// The directory holding the file or directory at an absolute path: "/a" for
// "/a/b", the root itself (with its separator: "/", a drive's root) for what
// lies in it; empty when the path has no separator.
std::u16string ParentDirectory(std::u16string_view path);

// directory + "/" + name (no second "/" after a directory that ends with one).
// An empty directory gives an empty path: the engine never turns "no directory
// configured" into the root directory.
std::u16string JoinPath(std::u16string_view directory, std::u16string_view name);

}  // namespace orv

#endif  // ORV_PLATFORM_PATH_H_
