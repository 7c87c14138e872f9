// SHA-1 digests of snapshot files.
#ifndef ORV_MAINTENANCE_FILE_SHA1_H_
#define ORV_MAINTENANCE_FILE_SHA1_H_

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace orv {

using Sha1Digest = std::array<uint8_t, 20>;

// Files larger than this are never digested.
inline constexpr uint64_t kMaxDigestedFileBytes = 0x1400000;  // 20 MiB

// Digests the regular file at path, read once through one 256 KiB buffer.
// False (digest untouched) when the file cannot be read, is larger than
// kMaxDigestedFileBytes, fails in the middle, or stop() turns true meanwhile:
// a partial digest is never given.
bool ComputeFileSha1(const std::u16string& path, Sha1Digest* digest,
                     const std::function<bool()>& stop = {});

// One SHA-1 in progress, from the platform's backend (OpenSSL on Linux,
// bcrypt on Windows). Not safe for concurrent use.
class Sha1Hasher {
 public:
  virtual ~Sha1Hasher() = default;
  // Adds the bytes; false when the backend failed.
  virtual bool Update(const char* data, size_t length) = 0;
  // The digest of everything added; false when the backend failed.
  virtual bool Finish(Sha1Digest* digest) = 0;
};

// Null when the backend cannot hash.
std::unique_ptr<Sha1Hasher> NewSha1Hasher();

}  // namespace orv

#endif  // ORV_MAINTENANCE_FILE_SHA1_H_
