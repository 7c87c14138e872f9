// The protected files of the catalog (table BackupFile): the host's
// enumeration and the row operations the rest of the engine uses. The names
// mirror the exports, in a namespace of their own so that calls are never
// ambiguous with the C functions of orv.h.
#ifndef ORV_QUERY_BACKUP_FILES_H_
#define ORV_QUERY_BACKUP_FILES_H_

#include <orv/orv.h>

#include <cstdint>
#include <optional>
#include <string>

namespace orv::query {

// 1 when the calling thread has a connection to a ready catalog.
uint32_t ConnectBackupStorage();
void DisconnectBackupStorage();
// 0 when the catalog is not ready or on failure.
uint32_t GetBackupFileCount();
// A find handle positioned on the first file (in *info), or null with *info
// all zero. The caller releases it with FindBackupFileClose.
void* FindFirstBackupFile(BackupFileInfo* info);
uint32_t FindNextBackupFile(void* handle, BackupFileInfo* info);
// Also valid after Stop, for a handle obtained before it.
void FindBackupFileClose(void* handle);

// Adds a file by name; 0 when the name is missing or already stored (logged).
uint32_t InsertBackupFile(const char16_t* name);
// The ID of the file with exactly this name (as the platform compares file
// names); 0 when none. "%" and "_" stand for themselves.
uint32_t FindBackupFileId(const char16_t* name);
// Writes the file's name, cut to capacity - 1 characters and terminated; 1
// when the file exists. The buffer is untouched otherwise.
uint32_t GetBackupFileName(uint32_t id, uint32_t capacity, char16_t* buffer);
// The whole stored name of the file; nothing when there is no such row.
std::optional<std::u16string> BackupFileName(uint32_t id);

}  // namespace orv::query

#endif  // ORV_QUERY_BACKUP_FILES_H_
