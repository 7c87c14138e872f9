#include "support/temp_dir.h"

#include <cstdlib>
#ifdef _WIN32
#include <process.h>
#endif
#include <stdexcept>
#include <system_error>

namespace orv::testing {

TempDir::TempDir() {
#ifdef _WIN32
  // A name no other test process holds: create_directory says whether it made it.
  static unsigned counter = 0;
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  const unsigned long process = ::_getpid();
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::filesystem::path candidate =
        base / ("orv-test-" + std::to_string(process) + "-" + std::to_string(counter++));
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("no temporary directory could be made");
#else
  std::string pattern = (std::filesystem::temp_directory_path() / "orv-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
#endif
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
