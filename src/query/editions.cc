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

// A link chain moves to a later edition (in time, then in the order rows were
// written) at each step, so it ends; the bound only guards against a catalog
// built to make it very long.
constexpr int kMaxLinkSteps = 100000;

// The listing's columns of a FileEditionInfo; TimeStamp carries the order.
struct ListingColumns {
  ListingColumns(FileEditionInfo* info, uint8_t order)
      : fields{IntField(u"EditionID", &info->EditionID),
               IntField(u"FileID", &info->FileID),
               IntField(u"TimeStamp", &info->TimeStamp, order),
               IntField(u"LinkFileID", &info->LinkFileID),
               IntField(u"Size", &info->Size),
               TextField(u"BackupName", info->BackupName),
               BlobField(u"Sha1", info->Sha1)} {}
  DbmField fields[7];
};

// The lookup's columns of an Edition row.
struct RowColumns {
  explicit RowColumns(FileEditionInfo* record)
      : fields{IntField(u"ID", &record->EditionID),
               IntField(u"FileID", &record->FileID),
               IntField(u"TimeStamp", &record->TimeStamp),
               IntField(u"LinkFileID", &record->LinkFileID),
               IntField(u"Size", &record->Size),
               TextField(u"BackupName", record->BackupName)} {}
  DbmField fields[6];
};

// The same columns, ordered by time and then by the order rows were written.
struct LaterColumns {
  explicit LaterColumns(FileEditionInfo* record)
      : fields{IntField(u"TimeStamp", &record->TimeStamp, 1),
               IntField(u"ID", &record->EditionID, 1),
               IntField(u"FileID", &record->FileID),
               IntField(u"LinkFileID", &record->LinkFileID),
               IntField(u"Size", &record->Size),
               TextField(u"BackupName", record->BackupName)} {}
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
  const DbmField fields[] = {IntField(u"count(*)", &count)};
  const DbmField conditions[] = {TextValue(u"FileName like", pattern)};
  DbmSelectFirst(kEditionView, fields, conditions);
  return static_cast<uint32_t>(count);
}

void* FindFirstFileEditionEx(const char16_t* pattern, uint32_t newestFirst, const int32_t* from,
                             const int32_t* to, FileEditionInfo* info) {
  if (info == nullptr || !IsCatalogReady()) return nullptr;
  std::memset(info, 0, sizeof(*info));
  const ListingColumns columns(info, newestFirst != 0 ? 2 : 1);
  const DbmField conditions[] = {
      TextValue(u"FileName Like ", pattern),
      IntValue(u"TimeStamp >= ", from),
      IntValue(u"TimeStamp <= ", to),
  };
  return DbmSelect(kEditionView, columns.fields, conditions);
}

void* FindFirstFileEdition(const char16_t* pattern, FileEditionInfo* info) {
  return query::FindFirstFileEditionEx(pattern, 1, nullptr, nullptr, info);
}

uint32_t FindNextFileEdition(void* handle, FileEditionInfo* info) {
  if (handle == nullptr || info == nullptr || !IsCatalogReady()) return 0;
  std::memset(info, 0, sizeof(*info));
  // The order byte plays no part in a fetch.
  const ListingColumns columns(info, 0);
  return DbmFetchRow(static_cast<DbmSelectHandle>(handle), columns.fields);
}

uint32_t GetEditionById(uint32_t editionId, FileEditionInfo* record) {
  const int32_t id = static_cast<int32_t>(editionId);
  const RowColumns columns(record);
  const DbmField conditions[] = {IntValue(u"ID == ", &id)};
  return DbmSelectFirst(kEditionTable, columns.fields, conditions);
}

uint32_t FindLaterEdition(int32_t fileId, int32_t timeStamp, int32_t afterId,
                          FileEditionInfo* record) {
  // Time stamps count whole seconds: a file renamed and changed within one
  // second (what ransomware does) has its copy in the rename's own second.
  // Among rows of that second, those written after the link's row are later.
  FileEditionInfo row{};
  const LaterColumns columns(&row);
  const DbmField conditions[] = {IntValue(u"FileID == ", &fileId),
                                 IntValue(u"TimeStamp >= ", &timeStamp)};
  // The handle comes back holding its first row.
  const DbmSelectHandle handle = DbmSelect(kEditionTable, columns.fields, conditions);
  if (handle == nullptr) return 0;
  bool found = false;
  do {
    found = row.TimeStamp != timeStamp || row.EditionID > afterId;
  } while (!found && DbmFetchRow(handle, columns.fields) == 1);
  DbmCloseSelect(handle);
  if (found) *record = row;
  return found ? 1 : 0;
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
    if (FindLaterEdition(record.LinkFileID, record.TimeStamp, record.EditionID, &later) == 0) {
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
