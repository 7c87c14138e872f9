// Reading catalog rows into memory before any file is touched, so that no
// read transaction stays open across file I/O (the catalog writer's commits
// would wait for it).
#ifndef ORV_MAINTENANCE_EDITION_WALK_H_
#define ORV_MAINTENANCE_EDITION_WALK_H_

#include <orv/orv.h>

#include <cstdint>
#include <string>
#include <vector>

namespace orv {

// The IDs of every BackupFile row.
std::vector<int32_t> ReadBackupFileIds();

// A file's editions, oldest first (ties by ID), with EditionID, BackupName,
// Sha1 and Signature filled.
std::vector<FileEditionInfo> ReadFileEditions(int32_t fileId);

// The snapshot path of an edition's copy, or empty when its BackupName cannot
// name a copy in the snapshot directory (it then counts as missing).
std::u16string SnapshotPathOf(const FileEditionInfo& edition);

// Deletes an edition's row.
uint32_t DeleteEditionRow(int32_t editionId);

}  // namespace orv

#endif  // ORV_MAINTENANCE_EDITION_WALK_H_
