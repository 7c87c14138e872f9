// The exported catalog queries. They never raise: a failure inside is the
// documented empty answer.
#include <orv/orv.h>

#include "query/backup_files.h"

namespace {

template <typename Result, typename Call>
Result Guarded(Result onFailure, Call call) noexcept {
  try {
    return call();
  } catch (...) {
    return onFailure;
  }
}

}  // namespace

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

}  // extern "C"
