#include "maintenance/edition_walk.h"

#include "catalog/database_manager.h"
#include "catalog/statement_builder.h"
#include "catalog/store_layout.h"
#include "platform/path.h"

namespace orv {

std::vector<int32_t> ReadBackupFileIds() {
  std::vector<int32_t> ids;
  int32_t id = 0;
  const DbmField fields[] = {IntField(u"ID", &id)};
  DbmSelectHandle handle = DbmSelect(u"BackupFile", fields);
  if (handle == nullptr) return ids;
  do {
    ids.push_back(id);
    id = 0;
  } while (DbmFetchRow(handle, fields) == 1);
  DbmCloseSelect(handle);
  return ids;
}

std::vector<FileEditionInfo> ReadFileEditions(int32_t fileId) {
  std::vector<FileEditionInfo> editions;
  FileEditionInfo row{};
  // TimeStamp only orders (it is not selected); the ID breaks ties.
  const DbmField fields[] = {
      AbsentField(u"TimeStamp", 1),
      IntField(u"ID", &row.EditionID, 1),
      TextField(u"BackupName", row.BackupName),
      BlobField(u"Sha1", row.Sha1),
      TextField(u"Signature", row.Signature),
  };
  const DbmField conditions[] = {IntValue(u"FileID == ", &fileId)};
  DbmSelectHandle handle = DbmSelect(u"Edition", fields, conditions);
  if (handle == nullptr) return editions;
  do {
    row.FileID = fileId;
    editions.push_back(row);
    row = FileEditionInfo{};
  } while (DbmFetchRow(handle, fields) == 1);
  DbmCloseSelect(handle);
  return editions;
}

std::u16string SnapshotPathOf(const FileEditionInfo& edition) {
  const std::u16string_view name(edition.BackupName);
  // A name of 261 characters may have been cut by the record: never trust it.
  if (!IsSnapshotName(name) || name.size() >= 261) return {};
  const std::u16string directory = SnapshotDirectory();
  return directory.empty() ? std::u16string() : JoinPath(directory, name);
}

uint32_t DeleteEditionRow(int32_t editionId) {
  const DbmField condition[] = {IntValue(u"ID == ", &editionId)};
  return DbmDelete(condition);
}

}  // namespace orv
