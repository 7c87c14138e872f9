// Reading at any offset: what Env opens a file as, and what the signature
// verifier parses (a file, or memory in the fuzzer).
#ifndef ORV_PLATFORM_RANDOM_ACCESS_FILE_H_
#define ORV_PLATFORM_RANDOM_ACCESS_FILE_H_

#include <cstddef>
#include <cstdint>

namespace orv {

// Bytes read at any offset. Not safe for concurrent use.
class RandomAccessFile {
 public:
  virtual ~RandomAccessFile() = default;
  // Size when the file was opened.
  virtual uint64_t size() const = 0;
  // Reads exactly length bytes at offset; false when they cannot all be read.
  virtual bool ReadAt(uint64_t offset, void* buffer, size_t length) = 0;
};

}  // namespace orv

#endif  // ORV_PLATFORM_RANDOM_ACCESS_FILE_H_
