// Extension exports for reading a store: read-only access without Start, and
// what the listing does not carry. They never raise.
#include <orv/orv.h>

#include <string>

#include "engine/export_guard.h"
#include "engine/lifecycle.h"
#include "platform/text.h"
#include "query/backup_files.h"
#include "query/store_access.h"

using orv::Guarded;

extern "C" {

ORV_EXPORT uint32_t OrvOpenStoreReadOnly(const char16_t* store) {
  if (store == nullptr) return ENG_E_INVALID_ARGUMENT;
  return Guarded(ENG_E_OUT_OF_MEMORY, [&] {
    return orv::EngineOpenStoreReadOnly(std::u16string(store, orv::Utf16Length(store)));
  });
}

ORV_EXPORT uint32_t OrvCloseStore(void) {
  return Guarded(ENG_E_OUT_OF_MEMORY, [] { return orv::EngineCloseStore(); });
}

ORV_EXPORT uint32_t OrvGetStoreInfo(OrvStoreInfo* info) {
  return Guarded(0u, [&] { return orv::query::GetStoreInfo(info); });
}

ORV_EXPORT uint32_t OrvGetEditionDetails(uint32_t editionId, FileEditionInfo* info) {
  return Guarded(0u, [&] { return orv::query::GetEditionDetails(editionId, info); });
}

ORV_EXPORT uint32_t OrvFindBackupFileId(const char16_t* path) {
  return Guarded(0u, [&] { return orv::query::FindBackupFileId(path); });
}

ORV_EXPORT uint32_t OrvGetBackupFileName(uint32_t fileId, uint32_t capacity, char16_t* buffer) {
  return Guarded(0u, [&] { return orv::query::GetWholeBackupFileName(fileId, capacity, buffer); });
}

ORV_EXPORT void* OrvFindFirstBackupFileEx(const char16_t* pattern, BackupFileInfo* info) {
  return Guarded<void*>(nullptr, [&] { return orv::query::FindFirstBackupFileEx(pattern, info); });
}

ORV_EXPORT uint32_t OrvGetFileEditionCountById(uint32_t fileId) {
  return Guarded(0u, [&] { return orv::query::GetFileEditionCountById(fileId); });
}

ORV_EXPORT void* OrvFindFirstFileEditionOf(uint32_t fileId, uint32_t newestFirst,
                                           const int32_t* from, const int32_t* to,
                                           FileEditionInfo* info) {
  return Guarded<void*>(nullptr, [&] {
    return orv::query::FindFirstFileEditionOf(fileId, newestFirst, from, to, info);
  });
}

ORV_EXPORT uint32_t OrvFindNextFileEditionOf(void* handle, FileEditionInfo* info) {
  return Guarded(0u, [&] { return orv::query::FindNextFileEditionOf(handle, info); });
}

ORV_EXPORT void* OrvFindFirstEditionBetween(const int32_t* from, const int32_t* to,
                                            FileEditionInfo* info) {
  return Guarded<void*>(nullptr,
                        [&] { return orv::query::FindFirstEditionBetween(from, to, info); });
}

ORV_EXPORT uint32_t OrvBeginRead(void) {
  return Guarded(0u, [] { return orv::query::BeginRead(); });
}

ORV_EXPORT void OrvEndRead(void) {
  Guarded(0, [] {
    orv::query::EndRead();
    return 0;
  });
}

}  // extern "C"
