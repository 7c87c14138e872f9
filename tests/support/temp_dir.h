// A directory of its own for one test, removed with everything in it.
#ifndef ORV_TESTS_SUPPORT_TEMP_DIR_H_
#define ORV_TESTS_SUPPORT_TEMP_DIR_H_

#include <filesystem>
#include <string>

namespace orv::testing {

// A path as the engine takes it (the tests' paths are ASCII).
std::u16string U16(const std::filesystem::path& path);

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  // The directory as the engine takes it.
  std::u16string u16() const;

 private:
  std::filesystem::path path_;
};

}  // namespace orv::testing

#endif  // ORV_TESTS_SUPPORT_TEMP_DIR_H_
