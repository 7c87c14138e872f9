// The stored files of a directory tree, chosen by exact byte comparison: the
// catalog's LIKE patterns ignore ASCII case and read "_" and "%" as
// wildcards, so they only narrow the search.
#ifndef ORV_TOOLS_ORV_FILES_UNDER_H_
#define ORV_TOOLS_ORV_FILES_UNDER_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace orv::tool {

// True when path is dir or lies below it, byte for byte ("/a/b" is under
// "/a", "/a2" is not). dir is absolute and normal, without a trailing "/"
// unless it is "/".
bool LiesUnder(std::string_view path, std::string_view dir);

// dir made absolute and normal, without a trailing "/" (unless it is "/").
std::string TreeRoot(const std::string& dir);

// Every file that LiesUnder dir, by whole stored path (bytes), with its ID,
// on the store the engine has placed. Empty when there is none or the
// listing fails.
std::map<std::string, uint32_t> FilesUnder(const std::string& dir);

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_FILES_UNDER_H_
