// The retention cleanup: keeps the newest snapshot copies whose sizes, added up
// from the newest down, stay within the quota; deletes every older copy, the
// catalog's editions up to the newest deleted copy's time (never one whose
// copy is kept) and every edition naming a deleted copy.
#ifndef ORV_MAINTENANCE_RETENTION_CLEANUP_H_
#define ORV_MAINTENANCE_RETENTION_CLEANUP_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/env.h"

namespace orv {

inline constexpr uint64_t kDefaultRetentionQuota = 1677721;  // bytes

// One copy in the snapshot directory.
using SnapshotFileEntry = DirectoryFile;

// The copies of the snapshot directory, oldest first (ties in listing order).
// The capture's partial copies are not part of the store and are left out.
std::vector<SnapshotFileEntry> ListSnapshotFiles();

// The quota retention runs use; any thread.
uint64_t RetentionQuota();
void SetRetentionQuota(uint64_t bytes);

// One run; writes one line per copy walked to standard output.
void RetentionCleanupTask(const std::function<bool()>& stop,
                          uint64_t quota = kDefaultRetentionQuota);

}  // namespace orv

#endif  // ORV_MAINTENANCE_RETENTION_CLEANUP_H_
