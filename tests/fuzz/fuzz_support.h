// Helpers for the fuzz targets that drive the engine: a reader that decodes any
// input (past its end every read gives zeros, so no input is rejected), the
// matching writer for seeds, failure reports, and scratch directories.
#ifndef ORV_TESTS_FUZZ_FUZZ_SUPPORT_H_
#define ORV_TESTS_FUZZ_FUZZ_SUPPORT_H_

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/text.h"

namespace orv::fuzz {

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return offset_ >= size_; }
  size_t remaining() const { return empty() ? 0 : size_ - offset_; }

  uint8_t U8() { return empty() ? 0 : data_[offset_++]; }
  uint16_t U16() {
    const uint16_t low = U8();
    return static_cast<uint16_t>(low | (U8() << 8));
  }
  uint32_t U32() {
    const uint32_t low = U16();
    return low | (static_cast<uint32_t>(U16()) << 16);
  }
  int32_t I32() { return static_cast<int32_t>(U32()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};

// Builds seeds in the layout Reader decodes.
class Writer {
 public:
  Writer& U8(uint8_t value) {
    bytes_.push_back(static_cast<char>(value));
    return *this;
  }
  Writer& U16(uint16_t value) { return U8(value & 0xFF).U8(value >> 8); }
  Writer& U32(uint32_t value) { return U16(value & 0xFFFF).U16(value >> 16); }
  Writer& Bytes(std::string_view bytes) {
    bytes_.append(bytes);
    return *this;
  }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// A broken invariant: libFuzzer reports the abort as a crash and keeps the input.
[[noreturn]] __attribute__((format(printf, 1, 2))) inline void Fail(const char* format, ...) {
  std::fputs("\n*** invariant broken: ", stderr);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputs("\n", stderr);
  std::abort();
}

// A new private directory under the temporary directory ($TMPDIR).
inline std::filesystem::path MakeScratchRoot(const char* tag) {
  std::string pattern =
      (std::filesystem::temp_directory_path() / (std::string("orv-") + tag + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) Fail("mkdtemp %s failed", pattern.c_str());
  return pattern;
}

// A path as the engine takes it.
inline std::u16string PathU16(const std::filesystem::path& path) {
  std::u16string out;
  if (!Utf8ToUtf16(path.string(), &out)) Fail("%s is not UTF-8", path.c_str());
  return out;
}

inline void RemoveTree(const std::filesystem::path& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

inline void WriteFile(const std::filesystem::path& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) Fail("cannot write %s", path.c_str());
}

// With ORV_FUZZ_WRITE_SEEDS=DIR set, writes each starting input (name, bytes) into DIR and
// ends the process: the committed corpora are made this way, from the same
// encoder the decoder is documented against.
inline void WriteSeedsIfAsked(const std::vector<std::pair<std::string, std::string>>& seeds) {
  const char* directory = std::getenv("ORV_FUZZ_WRITE_SEEDS");
  if (directory == nullptr) return;
  std::filesystem::create_directories(directory);
  for (const auto& [name, bytes] : seeds) WriteFile(std::filesystem::path(directory) / name, bytes);
  std::fprintf(stderr, "wrote %zu seeds into %s\n", seeds.size(), directory);
  std::exit(0);
}

}  // namespace orv::fuzz

#endif  // ORV_TESTS_FUZZ_FUZZ_SUPPORT_H_
