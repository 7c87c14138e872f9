#include "support/paths.h"

#include <algorithm>

#include "platform/path.h"
#include "platform/text.h"

namespace orv::testing {
namespace {

template <typename String>
String Convert(String path) {
#ifdef _WIN32
  using Char = typename String::value_type;
  std::replace(path.begin(), path.end(), Char('/'), Char('\\'));
  if (!path.empty() && path.front() == Char('\\')) path = String{Char('C'), Char(':')} + path;
#endif
  return path;
}

}  // namespace

std::u16string EnginePath(std::u16string_view slashed) { return Convert(std::u16string(slashed)); }

std::string EnginePath(std::string_view slashed) { return Convert(std::string(slashed)); }

std::u16string Stored(std::u16string name) {
  if (!kFileNamesCaseSensitive) {
    for (char16_t& unit : name) unit = AsciiToLower(unit);
  }
  return name;
}

std::string Stored(std::string name) {
  if (!kFileNamesCaseSensitive) {
    for (char& c : name) c = static_cast<char>(AsciiToLower(static_cast<unsigned char>(c)));
  }
  return name;
}

std::string StoredPath(const std::filesystem::path& path) { return Stored(path.string()); }

}  // namespace orv::testing
