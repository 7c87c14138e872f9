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
      : fields{IntField(u"ID", &info->ID), TextField(u"FileName", info->FileName)} {}
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
  const DbmField fields[] = {IntField(u"count(*)", &count)};
  // A list of one absent entry: " Where 1 == 1 " and nothing else.
  const DbmField noCondition[] = {AbsentField(u"")};
  DbmSelectFirst(kBackupFileTable, fields, noCondition);
  return static_cast<uint32_t>(count);
}

void* FindFirstBackupFile(BackupFileInfo* info) {
  if (info == nullptr || !IsCatalogReady()) return nullptr;
  std::memset(info, 0, sizeof(*info));
  const BackupFileColumns columns(info);
  return DbmSelect(kBackupFileTable, columns.fields);
}

uint32_t FindNextBackupFile(void* handle, BackupFileInfo* info) {
  if (handle == nullptr || info == nullptr || !IsCatalogReady()) return 0;
  std::memset(info, 0, sizeof(*info));
  const BackupFileColumns columns(info);
  return DbmFetchRow(static_cast<DbmSelectHandle>(handle), columns.fields);
}

void FindBackupFileClose(void* handle) { DbmCloseSelect(static_cast<DbmSelectHandle>(handle)); }

uint32_t InsertBackupFile(const char16_t* name) {
  DbmConnect();
  if (name == nullptr) return 0;
  const DbmField fields[] = {
      AbsentField(u"ID"),  // assigned by the database
      StoredText(u"FileName", name, DbmTextCase::kFileSystemName),
  };
  return DbmInsert(kBackupFileTable, fields);
}

uint32_t FindBackupFileId(const char16_t* name) {
  if (name == nullptr) return 0;
  int32_t id = 0;
  const DbmField fields[] = {IntField(u"ID", &id)};
  // Exact equality, never LIKE: a path holding "_" or "%" names only itself.
  const DbmField conditions[] = {FileNameValue(u"FileName == ", name)};
  DbmSelectFirst(kBackupFileTable, fields, conditions);
  return static_cast<uint32_t>(id);
}

uint32_t GetBackupFileName(uint32_t id, uint32_t capacity, char16_t* buffer) {
  if (buffer == nullptr || capacity == 0) return 0;
  const int32_t wanted = static_cast<int32_t>(id);
  // The field length is in bytes; a capacity past 2^31 characters is clamped.
  const uint32_t bytes = capacity > 0x7FFFFFFFu ? 0xFFFFFFFEu : capacity * 2;
  const DbmField fields[] = {TextField(u"FileName", buffer, bytes)};
  const DbmField conditions[] = {IntValue(u"ID == ", &wanted)};
  return DbmSelectFirst(kBackupFileTable, fields, conditions);
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
