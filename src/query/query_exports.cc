// The exported catalog queries. They never raise: a failure inside is the
// documented empty answer.
#include <orv/orv.h>

#include "engine/export_guard.h"
#include "query/backup_files.h"
#include "query/editions.h"

using orv::Guarded;

extern "C" {

ORV_EXPORT uint32_t ConnectBackupStorage(void) {
  return Guarded(0u, [] { return orv::query::ConnectBackupStorage(); });
}

ORV_EXPORT void DisconnectBackupStorage(void) {
  Guarded(0, [] {
    orv::query::DisconnectBackupStorage();
    return 0;
  });
}

ORV_EXPORT uint32_t GetBackupFileCount(void) {
  return Guarded(0u, [] { return orv::query::GetBackupFileCount(); });
}

ORV_EXPORT void* FindFirstBackupFile(BackupFileInfo* info) {
  return Guarded<void*>(nullptr, [&] { return orv::query::FindFirstBackupFile(info); });
}

ORV_EXPORT uint32_t FindNextBackupFile(void* handle, BackupFileInfo* info) {
  return Guarded(0u, [&] { return orv::query::FindNextBackupFile(handle, info); });
}

ORV_EXPORT void FindBackupFileClose(void* handle) { orv::query::FindBackupFileClose(handle); }

// One function under two names: a handle from either enumeration closes alike.
ORV_EXPORT void FindFileEditionClose(void* handle) __attribute__((alias("FindBackupFileClose")));

ORV_EXPORT uint32_t GetFileEditionCount(const char16_t* pattern) {
  return Guarded(0u, [&] { return orv::query::GetFileEditionCount(pattern); });
}

ORV_EXPORT void* FindFirstFileEdition(const char16_t* pattern, FileEditionInfo* info) {
  return Guarded<void*>(nullptr, [&] { return orv::query::FindFirstFileEdition(pattern, info); });
}

ORV_EXPORT void* FindFirstFileEditionEx(const char16_t* pattern, uint32_t newestFirst,
                                        const int32_t* from, const int32_t* to,
                                        FileEditionInfo* info) {
  return Guarded<void*>(nullptr, [&] {
    return orv::query::FindFirstFileEditionEx(pattern, newestFirst, from, to, info);
  });
}

ORV_EXPORT uint32_t FindNextFileEdition(void* handle, FileEditionInfo* info) {
  return Guarded(0u, [&] { return orv::query::FindNextFileEdition(handle, info); });
}

ORV_EXPORT uint32_t GetFileEdition(uint32_t editionId, uint32_t capacity, char16_t* buffer) {
  return Guarded(0u, [&] { return orv::query::GetFileEdition(editionId, capacity, buffer); });
}

// Nothing is ever allocated for the host, so there is nothing to free.
ORV_EXPORT void FreeFileEdition(FileEditionInfo*) {}

// Recovery is the host's: GetFileEdition gives the path of the content.
ORV_EXPORT uint32_t RestoreByEdition(uint32_t) { return 1; }

}  // extern "C"
