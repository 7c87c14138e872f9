#include "query/backup_files.h"

#include <cstring>

#include "catalog/database_manager.h"
#include "catalog/statement_builder.h"

namespace orv::query {
namespace {

constexpr char16_t kBackupFileTable[] = u"BackupFile";

// The columns of a BackupFileInfo, for the enumeration.
struct BackupFileColumns {
  explicit BackupFileColumns(BackupFileInfo* info)
      : fields{{u"ID", DbmType::INT, &info->ID, 4},
               {u"FileName", DbmType::STR, info->FileName, sizeof(info->FileName)}} {}
  DbmField fields[2];
};

}  // namespace

uint32_t ConnectBackupStorage() {
  if (!IsCatalogReady()) return 0;
  return DbmConnect() != nullptr ? 1 : 0;
}

void DisconnectBackupStorage() {
  if (IsCatalogReady()) DbmDisconnect();
}

uint32_t GetBackupFileCount() {
  if (!IsCatalogReady()) return 0;
  int32_t count = 0;
  const DbmField fields[] = {{u"count(*)", DbmType::INT, &count, 4}};
  const DbmField noCondition[] = {{u"", DbmType::INT, nullptr, 0}};
  DbmSelectFirst(kBackupFileTable, fields, 1, noCondition, 1);
  return static_cast<uint32_t>(count);
}

void* FindFirstBackupFile(BackupFileInfo* info) {
  if (info == nullptr || !IsCatalogReady()) return nullptr;
  std::memset(info, 0, sizeof(*info));
  const BackupFileColumns columns(info);
  return DbmSelect(kBackupFileTable, columns.fields, 2, nullptr, 0);
}

uint32_t FindNextBackupFile(void* handle, BackupFileInfo* info) {
  if (handle == nullptr || info == nullptr || !IsCatalogReady()) return 0;
  std::memset(info, 0, sizeof(*info));
  const BackupFileColumns columns(info);
  return DbmFetchRow(static_cast<DbmSelectHandle>(handle), columns.fields, 2);
}

void FindBackupFileClose(void* handle) { DbmCloseSelect(static_cast<DbmSelectHandle>(handle)); }

uint32_t InsertBackupFile(const char16_t* name) {
  DbmConnect();
  if (name == nullptr) return 0;
  const DbmField fields[] = {
      {u"ID", DbmType::INT, nullptr, 4},
      {u"FileName", DbmType::STR, const_cast<char16_t*>(name), 0xFFFFFFFF, 0,
       DbmTextCase::kFileSystemName},
  };
  return DbmInsert(kBackupFileTable, fields, 2);
}

uint32_t FindBackupFileId(const char16_t* name) {
  if (name == nullptr) return 0;
  int32_t id = 0;
  const DbmField fields[] = {{u"ID", DbmType::INT, &id, 4}};
  // Exact equality, never LIKE: a path holding "_" or "%" names only itself.
  const DbmField conditions[] = {
      {u"FileName == ", DbmType::STR, const_cast<char16_t*>(name), 0xFFFFFFFF}};
  DbmSelectFirst(kBackupFileTable, fields, 1, conditions, 1);
  return static_cast<uint32_t>(id);
}

uint32_t GetBackupFileName(uint32_t id, uint32_t capacity, char16_t* buffer) {
  if (buffer == nullptr || capacity == 0) return 0;
  int32_t wanted = static_cast<int32_t>(id);
  // The field length is in bytes; a capacity past 2^31 characters is clamped.
  const uint32_t bytes = capacity > 0x7FFFFFFFu ? 0xFFFFFFFEu : capacity * 2;
  const DbmField fields[] = {{u"FileName", DbmType::STR, buffer, bytes}};
  const DbmField conditions[] = {{u"ID == ", DbmType::INT, &wanted, 4}};
  return DbmSelectFirst(kBackupFileTable, fields, 1, conditions, 1);
}

std::optional<std::u16string> BackupFileName(uint32_t id) {
  // The name is read in steps of growing buffers until it fits whole.
  for (uint32_t capacity = 512; capacity <= (1u << 24); capacity *= 8) {
    std::u16string name(capacity, u'\0');
    if (GetBackupFileName(id, capacity, name.data()) == 0) return std::nullopt;
    name.resize(std::char_traits<char16_t>::length(name.c_str()));
    // A cut name fills the buffer to within one unit (half a pair is never kept).
    if (name.size() + 2 < capacity) return name;
  }
  return std::nullopt;
}

}  // namespace orv::query
