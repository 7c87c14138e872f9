#include "query/store_access.h"

#include <sqlite3.h>

#include <cstring>
#include <optional>
#include <string>

#include "catalog/database_manager.h"
#include "catalog/statement_builder.h"
#include "platform/env.h"
#include "query/backup_files.h"

namespace orv::query {
namespace {

constexpr char16_t kEditionTable[] = u"Edition";
constexpr char16_t kBackupFileTable[] = u"BackupFile";

uint64_t Count(int32_t value) { return value < 0 ? 0 : static_cast<uint64_t>(value); }

// Every column of an Edition row that a FileEditionInfo carries. TimeStamp
// comes first and ID second so that an ordered listing sorts by both.
struct DetailColumns {
  DetailColumns(FileEditionInfo* info, uint8_t order)
      : fields{IntField(u"TimeStamp", &info->TimeStamp, order),
               IntField(u"ID", &info->EditionID, order),
               IntField(u"FileID", &info->FileID),
               IntField(u"LinkFileID", &info->LinkFileID),
               IntField(u"Size", &info->Size),
               IntField(u"Operation", &info->Operation),
               BlobField(u"Sha1", info->Sha1),
               TextField(u"BackupName", info->BackupName),
               TextField(u"Signature", info->Signature)} {}
  DbmField fields[9];
};

}  // namespace

uint32_t GetStoreInfo(OrvStoreInfo* info) {
  if (info == nullptr || !IsCatalogReady()) return 0;
  std::memset(info, 0, sizeof(*info));
  int32_t files = 0, editions = 0, undigested = 0, unverified = 0;
  // One statement: the four counts come from the same moment of the catalog.
  const DbmField fields[] = {
      IntField(u"(Select count(*) From BackupFile)", &files),
      IntField(u"count(*)", &editions),
      IntField(u"coalesce(sum(Sha1 Is Null Or Sha1 == zeroblob(20)), 0)", &undigested),
      IntField(u"coalesce(sum(Signature Is Null Or Signature == ''), 0)", &unverified),
  };
  if (DbmSelectFirst(kEditionTable, fields) == 0) return 0;
  info->Files = Count(files);
  info->Editions = Count(editions);
  info->Undigested = Count(undigested);
  info->Unverified = Count(unverified);
  Env* env = CurrentEnv();
  const std::u16string snapshots = SnapshotDirectory();
  if (!env->GetFileSize(snapshots)) info->Flags |= ORV_STORE_NO_SNAPSHOTS;
  for (const DirectoryFile& copy : env->ListDirectoryFiles(snapshots)) {
    ++info->Copies;
    info->CopyBytes += copy.size;
  }
  info->CatalogBytes = env->GetFileSize(CatalogPath()).value_or(0);
  if (IsCatalogReadOnly()) info->Flags |= ORV_STORE_READ_ONLY;
  return 1;
}

uint32_t GetEditionDetails(uint32_t editionId, FileEditionInfo* info) {
  if (info == nullptr || !IsCatalogReady()) return 0;
  std::memset(info, 0, sizeof(*info));
  int32_t id = static_cast<int32_t>(editionId);
  const DetailColumns columns(info, 0);
  const DbmField conditions[] = {IntValue(u"ID == ", &id)};
  if (DbmSelectFirst(kEditionTable, columns.fields, conditions) == 1 && info->EditionID != 0) {
    return 1;
  }
  std::memset(info, 0, sizeof(*info));
  return 0;
}

void* FindFirstFileEditionOf(uint32_t fileId, uint32_t newestFirst, const int32_t* from,
                             const int32_t* to, FileEditionInfo* info) {
  if (info == nullptr || !IsCatalogReady()) return nullptr;
  std::memset(info, 0, sizeof(*info));
  int32_t id = static_cast<int32_t>(fileId);
  const DetailColumns columns(info, newestFirst != 0 ? 2 : 1);
  const DbmField conditions[] = {
      IntValue(u"FileID == ", &id),
      IntValue(u"TimeStamp >= ", from),
      IntValue(u"TimeStamp <= ", to),
  };
  return DbmSelect(kEditionTable, columns.fields, conditions);
}

void* FindFirstEditionBetween(const int32_t* from, const int32_t* to, FileEditionInfo* info) {
  if (info == nullptr || !IsCatalogReady()) return nullptr;
  std::memset(info, 0, sizeof(*info));
  const DetailColumns columns(info, 1);
  const DbmField conditions[] = {
      IntValue(u"TimeStamp >= ", from),
      IntValue(u"TimeStamp <= ", to),
  };
  return DbmSelect(kEditionTable, columns.fields, conditions);
}

uint32_t FindNextFileEditionOf(void* handle, FileEditionInfo* info) {
  if (handle == nullptr || info == nullptr || !IsCatalogReady()) return 0;
  std::memset(info, 0, sizeof(*info));
  const DetailColumns columns(info, 0);
  return DbmFetchRow(static_cast<DbmSelectHandle>(handle), columns.fields);
}

void* FindFirstBackupFileEx(const char16_t* pattern, BackupFileInfo* info) {
  if (info == nullptr || !IsCatalogReady()) return nullptr;
  std::memset(info, 0, sizeof(*info));
  const DbmField fields[] = {
      IntField(u"ID", &info->ID),
      TextField(u"FileName", info->FileName),
      AbsentField(u"FileName", 1),
  };
  const DbmField conditions[] = {TextValue(u"FileName Like ", pattern)};
  return DbmSelect(kBackupFileTable, fields, conditions);
}

uint32_t GetFileEditionCountById(uint32_t fileId) {
  if (!IsCatalogReady()) return 0;
  int32_t id = static_cast<int32_t>(fileId);
  int32_t count = 0;
  const DbmField fields[] = {IntField(u"count(*)", &count)};
  const DbmField conditions[] = {IntValue(u"FileID == ", &id)};
  DbmSelectFirst(kEditionTable, fields, conditions);
  return static_cast<uint32_t>(count < 0 ? 0 : count);
}

uint32_t GetWholeBackupFileName(uint32_t fileId, uint32_t capacity, char16_t* buffer) {
  if (!IsCatalogReady()) return 0;
  const std::optional<std::u16string> name = BackupFileName(fileId);
  if (!name || name->size() >= 0xFFFFFFFFu) return 0;
  const auto length = static_cast<uint32_t>(name->size());
  if (buffer != nullptr && capacity > length) {
    std::memcpy(buffer, name->c_str(), (name->size() + 1) * sizeof(char16_t));
  }
  return length;
}

uint32_t BeginRead() {
  if (!IsCatalogReady()) return 0;
  CatalogConnection* connection = DbmConnect();
  if (connection == nullptr || sqlite3_get_autocommit(connection->db()) == 0) return 0;
  return sqlite3_exec(connection->db(), "BEGIN DEFERRED;", nullptr, nullptr, nullptr) == SQLITE_OK
             ? 1
             : 0;
}

void EndRead() {
  if (!IsCatalogReady()) return;
  CatalogConnection* connection = DbmConnect();
  if (connection == nullptr || sqlite3_get_autocommit(connection->db()) != 0) return;
  // Only reads ran: ending it either way changes nothing in the catalog.
  if (sqlite3_exec(connection->db(), "COMMIT;", nullptr, nullptr, nullptr) != SQLITE_OK) {
    sqlite3_exec(connection->db(), "ROLLBACK;", nullptr, nullptr, nullptr);
  }
}

}  // namespace orv::query
