#include "query/editions.h"

#include <cstring>
#include <optional>
#include <string>

#include "catalog/database_manager.h"
#include "catalog/statement_builder.h"
#include "catalog/store_layout.h"
#include "platform/path.h"
#include "query/backup_files.h"

namespace orv::query {
namespace {

constexpr char16_t kEditionView[] = u"View_FileEdition";
constexpr char16_t kEditionTable[] = u"Edition";

// A link chain moves to a strictly later edition at each step, so it ends; the
// bound only guards against a catalog built to make it very long.
constexpr int kMaxLinkSteps = 100000;

// The listing's columns of a FileEditionInfo; TimeStamp carries the order.
struct ListingColumns {
  ListingColumns(FileEditionInfo* info, uint8_t order)
      : fields{{u"EditionID", DbmType::INT, &info->EditionID, 4},
               {u"FileID", DbmType::INT, &info->FileID, 4},
               {u"TimeStamp", DbmType::INT, &info->TimeStamp, 4, order},
               {u"LinkFileID", DbmType::INT, &info->LinkFileID, 4},
               {u"Size", DbmType::INT, &info->Size, 4},
               {u"BackupName", DbmType::STR, info->BackupName, sizeof(info->BackupName)},
               {u"Sha1", DbmType::BLOB, info->Sha1, sizeof(info->Sha1)}} {}
  DbmField fields[7];
};

// The lookup's columns of an Edition row.
struct RowColumns {
  explicit RowColumns(FileEditionInfo* record)
      : fields{{u"ID", DbmType::INT, &record->EditionID, 4},
               {u"FileID", DbmType::INT, &record->FileID, 4},
               {u"TimeStamp", DbmType::INT, &record->TimeStamp, 4},
               {u"LinkFileID", DbmType::INT, &record->LinkFileID, 4},
               {u"Size", DbmType::INT, &record->Size, 4},
               {u"BackupName", DbmType::STR, record->BackupName, sizeof(record->BackupName)}} {}
  DbmField fields[6];
};

// Copies path with its terminator when it fits; never writes otherwise.
uint32_t WriteWhole(const std::u16string& path, uint32_t capacity, char16_t* buffer) {
  if (path.size() + 1 > capacity) return 0;
  std::memcpy(buffer, path.c_str(), (path.size() + 1) * sizeof(char16_t));
  return 1;
}

}  // namespace

uint32_t GetFileEditionCount(const char16_t* pattern) {
  if (!IsCatalogReady()) return 0;
  int32_t count = 0;
  const DbmField fields[] = {{u"count(*)", DbmType::INT, &count, 4}};
  const DbmField conditions[] = {
      {u"FileName like", DbmType::STR, const_cast<char16_t*>(pattern), 0xFFFFFFFF}};
  DbmSelectFirst(kEditionView, fields, 1, conditions, 1);
  return static_cast<uint32_t>(count);
}

void* FindFirstFileEditionEx(const char16_t* pattern, uint32_t newestFirst, const int32_t* from,
                             const int32_t* to, FileEditionInfo* info) {
  if (info == nullptr || !IsCatalogReady()) return nullptr;
  std::memset(info, 0, sizeof(*info));
  const ListingColumns columns(info, newestFirst != 0 ? 2 : 1);
  const DbmField conditions[] = {
      {u"FileName Like ", DbmType::STR, const_cast<char16_t*>(pattern), 0xFFFFFFFF},
      {u"TimeStamp >= ", DbmType::INT, const_cast<int32_t*>(from), 4},
      {u"TimeStamp <= ", DbmType::INT, const_cast<int32_t*>(to), 4},
  };
  return DbmSelect(kEditionView, columns.fields, 7, conditions, 3);
}

void* FindFirstFileEdition(const char16_t* pattern, FileEditionInfo* info) {
  return query::FindFirstFileEditionEx(pattern, 1, nullptr, nullptr, info);
}

uint32_t FindNextFileEdition(void* handle, FileEditionInfo* info) {
  if (handle == nullptr || info == nullptr || !IsCatalogReady()) return 0;
  std::memset(info, 0, sizeof(*info));
  // The order byte plays no part in a fetch.
  const ListingColumns columns(info, 0);
  return DbmFetchRow(static_cast<DbmSelectHandle>(handle), columns.fields, 7);
}

uint32_t GetEditionById(uint32_t editionId, FileEditionInfo* record) {
  int32_t id = static_cast<int32_t>(editionId);
  const RowColumns columns(record);
  const DbmField conditions[] = {{u"ID == ", DbmType::INT, &id, 4}};
  return DbmSelectFirst(kEditionTable, columns.fields, 6, conditions, 1);
}

uint32_t FindLaterEdition(int32_t fileId, int32_t timeStamp, FileEditionInfo* record) {
  const RowColumns columns(record);
  const DbmField conditions[] = {{u"FileID == ", DbmType::INT, &fileId, 4},
                                 {u"TimeStamp > ", DbmType::INT, &timeStamp, 4}};
  return DbmSelectFirst(kEditionTable, columns.fields, 6, conditions, 2);
}

uint32_t ResolveEditionPath(const FileEditionInfo& start, uint32_t capacity, char16_t* buffer) {
  FileEditionInfo record = start;
  for (int step = 0; step < kMaxLinkSteps; ++step) {
    if (record.EditionID == 0) return 0;
    if (record.LinkFileID == 0) {
      // Whatever the catalog holds, the path stays inside the snapshot directory.
      const std::u16string_view name(record.BackupName);
      if (!IsSnapshotName(name)) return 0;
      return WriteWhole(JoinPath(SnapshotDirectory(), name), capacity, buffer);
    }
    FileEditionInfo later{};
    if (FindLaterEdition(record.LinkFileID, record.TimeStamp, &later) == 0) {
      // No later edition: the linked file itself holds the content.
      const std::optional<std::u16string> name =
          BackupFileName(static_cast<uint32_t>(record.LinkFileID));
      return name ? WriteWhole(*name, capacity, buffer) : 0;
    }
    record = later;
  }
  return 0;
}

uint32_t GetFileEdition(uint32_t editionId, uint32_t capacity, char16_t* buffer) {
  if (!IsCatalogReady() || buffer == nullptr || capacity == 0) return 0;
  FileEditionInfo record{};
  if (GetEditionById(editionId, &record) == 0 || record.EditionID == 0) return 0;
  return ResolveEditionPath(record, capacity, buffer);
}

}  // namespace orv::query
