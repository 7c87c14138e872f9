#include "support/temp_dir.h"

#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace orv::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "orv-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::u16string U16(const std::filesystem::path& path) {
  const std::string s = path.string();
  return std::u16string(s.begin(), s.end());
}

std::u16string TempDir::u16() const { return U16(path_); }

}  // namespace orv::testing
