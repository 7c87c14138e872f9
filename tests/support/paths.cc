#include "support/paths.h"

#include <algorithm>

namespace orv::testing {
namespace {

template <typename String>
String Convert(String path) {
#ifdef _WIN32
  using Char = typename String::value_type;
  std::replace(path.begin(), path.end(), Char('/'), Char('\\'));
  if (!path.empty() && path.front() == Char('\\'))
    path.insert(path.begin(), {Char('C'), Char(':')});
#endif
  return path;
}

}  // namespace

std::u16string EnginePath(std::u16string_view slashed) { return Convert(std::u16string(slashed)); }

std::string EnginePath(std::string_view slashed) { return Convert(std::string(slashed)); }

}  // namespace orv::testing
