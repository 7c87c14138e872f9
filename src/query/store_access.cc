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
      : fields{{u"TimeStamp", DbmType::INT, &info->TimeStamp, 4, order},
               {u"ID", DbmType::INT, &info->EditionID, 4, order},
               {u"FileID", DbmType::INT, &info->FileID, 4},
               {u"LinkFileID", DbmType::INT, &info->LinkFileID, 4},
               {u"Size", DbmType::INT, &info->Size, 4},
               {u"Operation", DbmType::INT, &info->Operation, 4},
               {u"Sha1", DbmType::BLOB, info->Sha1, sizeof(info->Sha1)},
               {u"BackupName", DbmType::STR, info->BackupName, sizeof(info->BackupName)},
               {u"Signature", DbmType::STR, info->Signature, sizeof(info->Signature)}} {}
  DbmField fields[9];
};

}  // namespace

uint32_t GetStoreInfo(OrvStoreInfo* info) {
  if (info == nullptr || !IsCatalogReady()) return 0;
  std::memset(info, 0, sizeof(*info));
  int32_t files = 0, editions = 0, undigested = 0, unverified = 0;
  // One statement: the four counts come from the same moment of the catalog.
  const DbmField fields[] = {
      {u"(Select count(*) From BackupFile)", DbmType::INT, &files, 4},
      {u"count(*)", DbmType::INT, &editions, 4},
      {u"coalesce(sum(Sha1 Is Null Or Sha1 == zeroblob(20)), 0)", DbmType::INT, &undigested, 4},
      {u"coalesce(sum(Signature Is Null Or Signature == ''), 0)", DbmType::INT, &unverified, 4},
  };
  if (DbmSelectFirst(kEditionTable, fields, 4, nullptr, 0) == 0) return 0;
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
  const DbmField conditions[] = {{u"ID == ", DbmType::INT, &id, 4}};
  if (DbmSelectFirst(kEditionTable, columns.fields, 9, conditions, 1) == 1 &&
      info->EditionID != 0) {
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
      {u"FileID == ", DbmType::INT, &id, 4},
      {u"TimeStamp >= ", DbmType::INT, const_cast<int32_t*>(from), 4},
      {u"TimeStamp <= ", DbmType::INT, const_cast<int32_t*>(to), 4},
  };
  return DbmSelect(kEditionTable, columns.fields, 9, conditions, 3);
}

uint32_t FindNextFileEditionOf(void* handle, FileEditionInfo* info) {
  if (handle == nullptr || info == nullptr || !IsCatalogReady()) return 0;
  std::memset(info, 0, sizeof(*info));
  const DetailColumns columns(info, 0);
  return DbmFetchRow(static_cast<DbmSelectHandle>(handle), columns.fields, 9);
}

void* FindFirstBackupFileEx(const char16_t* pattern, BackupFileInfo* info) {
  if (info == nullptr || !IsCatalogReady()) return nullptr;
  std::memset(info, 0, sizeof(*info));
  const DbmField fields[] = {
      {u"ID", DbmType::INT, &info->ID, 4},
      {u"FileName", DbmType::STR, info->FileName, sizeof(info->FileName), 1},
  };
  const DbmField conditions[] = {
      {u"FileName Like ", DbmType::STR, const_cast<char16_t*>(pattern), 0xFFFFFFFF}};
  return DbmSelect(kBackupFileTable, fields, 2, conditions, 1);
}

uint32_t GetFileEditionCountById(uint32_t fileId) {
  if (!IsCatalogReady()) return 0;
  int32_t id = static_cast<int32_t>(fileId);
  int32_t count = 0;
  const DbmField fields[] = {{u"count(*)", DbmType::INT, &count, 4}};
  const DbmField conditions[] = {{u"FileID == ", DbmType::INT, &id, 4}};
  DbmSelectFirst(kEditionTable, fields, 1, conditions, 1);
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
