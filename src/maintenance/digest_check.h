// The digest check: records each copy's SHA-1 digest, and removes an edition
// (row and copy) whose content equals that of the edition just before it of
// the same file.
#ifndef ORV_MAINTENANCE_DIGEST_CHECK_H_
#define ORV_MAINTENANCE_DIGEST_CHECK_H_

#include <cstdint>
#include <functional>

namespace orv {

// One run over every protected file. stop() is checked between files and
// while hashing; the run then returns early.
void DigestCheckTask(const std::function<bool()>& stop);

// The walk over one file's editions, oldest first.
void CheckFileDigests(int32_t fileId, const std::function<bool()>& stop);

}  // namespace orv

#endif  // ORV_MAINTENANCE_DIGEST_CHECK_H_
