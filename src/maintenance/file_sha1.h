// SHA-1 digests of snapshot files.
#ifndef ORV_MAINTENANCE_FILE_SHA1_H_
#define ORV_MAINTENANCE_FILE_SHA1_H_

#include <array>
#include <cstdint>
#include <functional>
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

}  // namespace orv

#endif  // ORV_MAINTENANCE_FILE_SHA1_H_
