#include "maintenance/retention_cleanup.h"

#include <fmt/printf.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <unordered_set>

#include "catalog/database_manager.h"
#include "catalog/statement_builder.h"
#include "catalog/store_layout.h"
#include "catalog/transaction.h"
#include "engine/log.h"
#include "maintenance/edition_walk.h"
#include "platform/display_text.h"
#include "platform/path.h"

namespace orv {
namespace {

// 1970-01-01 00:00:00 UTC in 100-nanosecond units since 1601.
constexpr uint64_t kUnixEpochIn100ns = 116444736000000000ull;

std::atomic<uint64_t> g_retentionQuota{kDefaultRetentionQuota};

// Each attempt waits up to the catalog's busy timeout for a writer's batch.
constexpr int kSecondPassAttempts = 10;

// The rows of Edition with a time stamp up to bound, with the copy each names.
struct AgedRow {
  int32_t id = 0;
  std::u16string copyName;
};

// Nothing when they could not be read (as opposed to there being none).
std::optional<std::vector<AgedRow>> RowsUpTo(int32_t bound) {
  std::vector<AgedRow> rows;
  int32_t id = 0;
  char16_t name[262] = {};
  const DbmField fields[] = {IntField(u"ID", &id), TextField(u"BackupName", name)};
  const DbmField conditions[] = {IntValue(u"TimeStamp <= ", &bound)};
  DbmSelectHandle handle = DbmSelect(u"Edition", fields, conditions);
  if (handle == nullptr) {
    const int code = DbmLastErrorCode() & 0xFF;
    if (code == SQLITE_OK || code == SQLITE_DONE) return rows;
    return std::nullopt;
  }
  do {
    rows.push_back({id, name});
    id = 0;
    name[0] = u'\0';
  } while (DbmFetchRow(handle, fields) == 1);
  DbmCloseSelect(handle);
  return rows;
}

uint32_t DeleteRowsNaming(const std::u16string& copyName) {
  const DbmField condition[] = {FileNameValue(u"BackupName == ", copyName.c_str())};
  return DbmDelete(condition);
}

// In one transaction: the rows up to bound (when given) whose copy is not
// kept, and the rows naming a doomed copy. False, with nothing deleted, on
// any failure.
bool DeleteRows(std::optional<int32_t> bound, const std::unordered_set<std::u16string>& kept,
                const std::vector<std::u16string>& doomed) {
  CatalogTransaction transaction(DbmConnect());
  if (!transaction.active()) return false;
  bool deleted = true;
  if (bound) {
    const std::optional<std::vector<AgedRow>> rows = RowsUpTo(*bound);
    deleted = rows.has_value();
    for (const AgedRow& row : rows.value_or(std::vector<AgedRow>{})) {
      if (!kept.contains(row.copyName)) deleted = deleted && DeleteEditionRow(row.id) == 1;
    }
  }
  for (const std::u16string& name : doomed) deleted = deleted && DeleteRowsNaming(name) == 1;
  return deleted && transaction.Commit();
}

}  // namespace

uint64_t RetentionQuota() { return g_retentionQuota.load(); }
void SetRetentionQuota(uint64_t bytes) { g_retentionQuota.store(bytes); }

std::vector<SnapshotFileEntry> ListSnapshotFiles() {
  const std::u16string directory = SnapshotDirectory();
  if (directory.empty()) return {};
  std::vector<SnapshotFileEntry> files = CurrentEnv()->ListDirectoryFiles(directory);
  std::erase_if(files, [](const SnapshotFileEntry& file) { return IsPartialCopyName(file.name); });
  std::stable_sort(files.begin(), files.end(),
                   [](const SnapshotFileEntry& a, const SnapshotFileEntry& b) {
                     return a.creationTime < b.creationTime;
                   });
  return files;
}

void RetentionCleanupTask(const std::function<bool()>& stop, uint64_t quota) {
  if (!IsCatalogReady()) return;
  const std::u16string directory = SnapshotDirectory();
  const std::vector<SnapshotFileEntry> files = ListSnapshotFiles();
  Env* env = CurrentEnv();
  uint64_t total = 0;
  bool passed = false;
  uint32_t cutOff = 0;
  std::string lines;
  std::vector<std::u16string> doomed;
  std::unordered_set<std::u16string> kept;
  for (const SnapshotFileEntry& file : files) kept.insert(file.name);
  for (auto file = files.rbegin(); file != files.rend(); ++file) {
    if (stop && stop()) break;
    // The name comes from the copied file: escaped, it cannot forge a line.
    lines += fmt::sprintf(
        "%s, Size = %d, Time = %d-%d\n", DisplayText(file->name), static_cast<int32_t>(file->size),
        static_cast<int32_t>(file->creationTime >> 32), static_cast<int32_t>(file->creationTime));
    if (lines.size() > 65536) {
      env->WriteStandardOutput(lines);
      lines.clear();
    }
    total += file->size;
    if (!passed && total <= quota) continue;
    passed = true;
    doomed.push_back(file->name);
    kept.erase(file->name);
    if (cutOff == 0 && file->creationTime > kUnixEpochIn100ns) {
      cutOff = static_cast<uint32_t>((file->creationTime - kUnixEpochIn100ns) / 10000000);
    }
  }
  env->WriteStandardOutput(lines);
  if (!passed) return;
  // Rows go before the copies, so that a crash between the two never leaves a
  // row naming a removed copy; a copy whose rows could not be removed stays.
  // The rows up to the cut-off time go, but never one whose copy is kept, and
  // every row naming a deleted copy goes too, whatever its time stamp: a time
  // stamp is the host's event time (read as standard time), not the copy's.
  if (!DeleteRows(static_cast<int32_t>(cutOff), kept, doomed)) return;
  // Entries still waiting for the catalog may name one of these copies.
  DbmNoteCopiesRemoved();
  for (const std::u16string& name : doomed) env->RemoveFile(JoinPath(directory, name));
  // A row the catalog writer committed for one of these copies meanwhile
  // (it looked for the copy just before the removal) would name a removed
  // copy: it goes as well, once the writer's batch lets go of the catalog.
  for (int attempt = 0; attempt < kSecondPassAttempts; ++attempt) {
    if (DeleteRows(std::nullopt, kept, doomed)) return;
  }
  WriteLog(kLogStoreFault, u"Retention: rows naming %d removed copies could not be checked\n",
           static_cast<int32_t>(doomed.size()));
}

}  // namespace orv
