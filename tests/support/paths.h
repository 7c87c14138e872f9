// Paths the tests write in Linux form ("/home/ann/a.doc"), as the engine of the
// platform under test takes them. Tests whose paths never reach a file (policy
// matching, routing of made-up events) use these, so the same test runs on both
// systems.
#ifndef ORV_TESTS_SUPPORT_PATHS_H_
#define ORV_TESTS_SUPPORT_PATHS_H_

#include <filesystem>
#include <string>
#include <string_view>

namespace orv::testing {

// Linux: the path as written. Windows: on drive C:, each "/" a "\"
// ("C:\home\ann\a.doc"); a path that does not start with "/" only has its
// separators turned.
std::u16string EnginePath(std::u16string_view slashed);
std::string EnginePath(std::string_view slashed);

// A file or copy name as this platform's catalog stores it: as given where
// names are case-sensitive, ASCII letters lowered where they are not.
std::u16string Stored(std::u16string name);
std::string Stored(std::string name);
std::string StoredPath(const std::filesystem::path& path);

}  // namespace orv::testing

#endif  // ORV_TESTS_SUPPORT_PATHS_H_
