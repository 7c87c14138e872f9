#include "capture/journal_recovery.h"

#include <algorithm>
#include <map>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "capture/catalog_writer.h"
#include "capture/journal_record.h"
#include "catalog/database_manager.h"
#include "catalog/statement_builder.h"
#include "catalog/store_layout.h"
#include "engine/log.h"
#include "platform/env.h"
#include "platform/path.h"
#include "query/backup_files.h"

namespace orv {
namespace {

enum class RowCheck { kPresent, kAbsent, kFailed };

int32_t FileIdOf(const std::u16string& path) {
  return static_cast<int32_t>(query::FindBackupFileId(path.c_str()));
}

// Counts the Edition rows that meet conditions.
RowCheck CountRows(const DbmField* conditions, uint32_t conditionCount, int32_t* count) {
  *count = 0;
  const DbmField fields[] = {IntField(u"count(*)", count)};
  if (DbmSelectFirst(u"Edition", fields, 1, conditions, conditionCount) != 1) {
    return RowCheck::kFailed;
  }
  return *count > 0 ? RowCheck::kPresent : RowCheck::kAbsent;
}

// Whether a row of entry's file names entry's copy.
RowCheck CopyRowExists(const EditionEntry& entry) {
  const int32_t fileId = FileIdOf(entry.path);
  if (fileId == 0) return RowCheck::kAbsent;
  int32_t count = 0;
  const DbmField conditions[] = {FileNameValue(u"BackupName == ", entry.copyName.c_str()),
                                 IntValue(u"FileID == ", &fileId)};
  return CountRows(conditions, 2, &count);
}

// The rows of renames written above the watermark, per (file, link, time),
// each standing for one journaled rename with those values.
class RenameRows {
 public:
  explicit RenameRows(int64_t watermark)
      : watermark_(static_cast<int32_t>(std::min<int64_t>(watermark, INT32_MAX))) {}

  // Whether a row is left for entry (and takes it); kFailed on a catalog failure.
  RowCheck Take(const EditionEntry& entry) {
    const int32_t fileId = FileIdOf(entry.path), linkId = FileIdOf(entry.secondPath);
    if (fileId == 0 || linkId == 0) return RowCheck::kAbsent;
    const int32_t timeStamp = times_.Convert(entry.eventTime);
    const auto key = std::make_tuple(fileId, linkId, timeStamp);
    auto found = left_.find(key);
    if (found == left_.end()) {
      const int32_t operation = EDITION_RENAME;
      const DbmField conditions[] = {
          IntValue(u"ID > ", &watermark_),        IntValue(u"FileID == ", &fileId),
          IntValue(u"LinkFileID == ", &linkId),   IntValue(u"Operation == ", &operation),
          IntValue(u"TimeStamp == ", &timeStamp),
      };
      int32_t count = 0;
      if (CountRows(conditions, 5, &count) == RowCheck::kFailed) return RowCheck::kFailed;
      found = left_.emplace(key, count).first;
    }
    if (found->second == 0) return RowCheck::kAbsent;
    --found->second;
    return RowCheck::kPresent;
  }

 private:
  int32_t watermark_;
  TimeStampConverter times_;
  std::map<std::tuple<int32_t, int32_t, int32_t>, int32_t> left_;
};

// One entry of the journal: the last state its records give. A confirmed
// record wins over pending ones wherever it lies (the writer re-records
// pending entries after the cut, possibly after their confirmation).
struct JournaledEntry {
  EditionEntry entry;
  bool confirmed = false;
};

class JournalMerge {
 public:
  void Add(JournalRecord record, bool oldestGeneration) {
    if (record.type == JournalRecordType::kWatermark) {
      if (oldestGeneration) watermark_ = record.watermark;
      return;
    }
    const bool confirmed = record.type == JournalRecordType::kConfirmed;
    lastId_ = std::max(lastId_, record.entry.journalId);
    const auto [found, inserted] = byId_.try_emplace(record.entry.journalId, entries_.size());
    if (inserted) {
      entries_.push_back({std::move(record.entry), confirmed});
      return;
    }
    JournaledEntry& known = entries_[found->second];
    if (confirmed || !known.confirmed) known = {std::move(record.entry), confirmed};
  }

  std::vector<JournaledEntry>& entries() { return entries_; }
  uint64_t lastId() const { return lastId_; }
  int64_t watermark() const { return watermark_; }

 private:
  std::vector<JournaledEntry> entries_;
  std::unordered_map<uint64_t, size_t> byId_;
  uint64_t lastId_ = 0;
  int64_t watermark_ = 0;
};

// A pending entry's fate: its file is gone, or is not as the copy found it
// (another file under its name, another size, content or inode changed since),
// so the save it waited for happened; or it is as it was.
enum class PendingFate { kWrite, kUnchanged, kNoCopy };

PendingFate DecidePending(EditionEntry& entry, const std::u16string& copyPath) {
  Env* env = CurrentEnv();
  if (!env->GetFileState(copyPath)) return PendingFate::kNoCopy;
  const std::optional<FileState> file = env->GetFileState(entry.path);
  if (!file) {
    entry.kind = EDITION_DELETE;
    return PendingFate::kWrite;
  }
  if (*file == entry.source) return PendingFate::kUnchanged;
  entry.kind = EDITION_MODIFY;
  return PendingFate::kWrite;
}

}  // namespace

JournalReplay ReplayJournal(EditionJournal& journal) {
  JournalReplay replay;
  const std::vector<uint64_t> generations = journal.LeftoverGenerations();
  if (generations.empty()) return replay;
  JournalMerge merge;
  size_t damaged = 0;
  for (size_t i = 0; i < generations.size(); ++i) {
    const std::optional<std::string> data = journal.ReadGeneration(generations[i]);
    if (!data) {
      WriteLog(kLogStoreFault, u"[Backup Module] The journal file %d cannot be read; kept aside\n",
               static_cast<int32_t>(generations[i]));
      journal.SetAside(generations[i]);
      replay.complete = false;
      continue;
    }
    size_t skipped = 0;
    for (JournalRecord& record : DecodeJournal(*data, &skipped))
      merge.Add(std::move(record), i == 0);
    damaged += skipped;
  }
  if (damaged != 0) {
    // One torn record at the end is what a kill leaves; more is damage.
    WriteLog(kLogStoreFault, u"[Backup Module] %d journal records skipped: torn or damaged\n",
             static_cast<int32_t>(damaged));
  }
  replay.lastId = merge.lastId();
  replay.watermark = merge.watermark();
  if (!IsCatalogReady()) {
    replay.complete = false;
    replay.undecided = true;
    return replay;
  }

  const std::u16string directory = SnapshotDirectory();
  RenameRows renames(merge.watermark());
  std::vector<std::u16string> unchanged;
  int32_t missing = 0;
  for (JournaledEntry& journaled : merge.entries()) {
    EditionEntry& entry = journaled.entry;
    RowCheck row = entry.copyName.empty() ? renames.Take(entry) : CopyRowExists(entry);
    if (row == RowCheck::kFailed) {
      // Nothing can be decided without the catalog: the journal is kept
      // whole for the next Start.
      WriteLog(kLogStoreFault, u"[Backup Module] The journal cannot be replayed now: kept\n");
      replay.entries.clear();
      replay.complete = false;
      replay.undecided = true;
      return replay;
    }
    if (row == RowCheck::kPresent) continue;
    if (!entry.copyName.empty()) {
      const std::u16string copyPath = JoinPath(directory, entry.copyName);
      if (!journaled.confirmed) {
        const PendingFate fate = DecidePending(entry, copyPath);
        if (fate == PendingFate::kUnchanged) unchanged.push_back(copyPath);
        if (fate != PendingFate::kWrite) continue;
      } else if (!CurrentEnv()->GetFileSize(copyPath)) {
        ++missing;
        continue;
      }
    }
    replay.entries.push_back(std::move(entry));
  }
  for (const std::u16string& path : unchanged) CurrentEnv()->RemoveFile(path);
  if (missing != 0) {
    WriteLog(kLogStoreFault,
             u"[Backup Module] %d journaled editions dropped: their copies are gone\n", missing);
  }
  if (merge.entries().empty()) return replay;
  WriteLog(kLogLifecycle,
           u"[Backup Module] Journal replayed: %d editions to write, %d copies of unsaved changes "
           u"removed\n",
           static_cast<int32_t>(replay.entries.size()), static_cast<int32_t>(unchanged.size()));
  return replay;
}

size_t RemoveUnnamedCopies(const std::u16string& snapshotDirectory,
                           std::chrono::milliseconds minAge) {
  Env* env = CurrentEnv();
  const uint64_t now = env->GetSystemTime();
  const uint64_t age = static_cast<uint64_t>(minAge.count()) * 10000;  // in 100 ns
  size_t removed = 0;
  for (const DirectoryFile& file : env->ListDirectoryFiles(snapshotDirectory)) {
    if (!IsSnapshotName(file.name) || IsPartialCopyName(file.name)) continue;
    // A copy whose record may be on its way (or of a clock set back) stays.
    if (file.creationTime > now || now - file.creationTime < age) continue;
    int32_t count = 0;
    const DbmField conditions[] = {FileNameValue(u"BackupName == ", file.name.c_str())};
    const RowCheck row = CountRows(conditions, 1, &count);
    if (row == RowCheck::kFailed) break;
    if (row == RowCheck::kPresent) continue;
    if (env->RemoveFile(JoinPath(snapshotDirectory, file.name))) ++removed;
  }
  if (removed != 0) {
    WriteLog(kLogLifecycle, u"[Backup Module] %d copies named by no edition removed\n",
             static_cast<int32_t>(removed));
  }
  return removed;
}

}  // namespace orv
