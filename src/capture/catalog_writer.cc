#include "capture/catalog_writer.h"

#include <cstring>

#include "capture/backuper.h"
#include "catalog/database_manager.h"
#include "catalog/statement_builder.h"
#include "catalog/transaction.h"
#include "engine/log.h"
#include "engine/timings.h"
#include "platform/env.h"
#include "platform/module_hold.h"
#include "platform/path.h"
#include "query/backup_files.h"

namespace orv {
namespace {

// How often the final batch at Stop is tried when it meets a passing failure.
constexpr int kFinalBatchAttempts = 3;

enum class RowResult { kWritten, kRetryBatch, kDropped };

// The BackupFile ID of path, adding the row when the file is new.
RowResult EnsureFile(const std::u16string& path, int32_t* id) {
  *id = static_cast<int32_t>(query::FindBackupFileId(path.c_str()));
  if (*id != 0) return RowResult::kWritten;
  if (query::InsertBackupFile(path.c_str()) == 0 && IsTransientSqliteError(DbmLastErrorCode())) {
    return RowResult::kRetryBatch;
  }
  *id = static_cast<int32_t>(query::FindBackupFileId(path.c_str()));
  return *id != 0 ? RowResult::kWritten : RowResult::kDropped;
}

RowResult WriteEdition(const EditionEntry& entry, TimeStampConverter& times) {
  int32_t fileId = 0, linkFileId = 0;
  RowResult result = EnsureFile(entry.path, &fileId);
  if (result != RowResult::kWritten) return result;
  if (!entry.secondPath.empty()) {
    result = EnsureFile(entry.secondPath, &linkFileId);
    if (result != RowResult::kWritten) return result;
  }
  const int32_t timeStamp = times.Convert(entry.eventTime);
  const int32_t size = 0;
  const int32_t operation = static_cast<int32_t>(entry.kind);
  const DbmField fields[] = {
      IntValue(u"FileID", &fileId),
      IntValue(u"TimeStamp", &timeStamp),
      IntValue(u"LinkFileID", &linkFileId),
      IntValue(u"Size", &size),
      StoredText(u"BackupName", entry.copyName.c_str(), DbmTextCase::kFileSystemName),
      IntValue(u"Operation", &operation),
  };
  if (DbmInsert(u"Edition", fields) == 1) return RowResult::kWritten;
  return IsTransientSqliteError(DbmLastErrorCode()) ? RowResult::kRetryBatch : RowResult::kDropped;
}

// A row must never name a missing copy, and a copy can go while its entry
// waits: with a store removed from under the engine, or by a retention run
// while the file stayed open. Both count a removal before they remove, so an
// entry made since the last count cannot have lost its copy and is not looked
// at. Looked at inside the batch's transaction, which excludes retention's: a
// copy removed after the look has its row removed by retention too.
bool CopyIsGone(const EditionEntry& entry, const std::u16string& directory, uint32_t epoch) {
  if (entry.copyName.empty() || entry.copyEpoch == epoch) return false;
  if (CurrentEnv()->GetFileSize(JoinPath(directory, entry.copyName))) return false;
  WriteLog(kLogStoreFault, u"[Backup Module] Edition of %s dropped: its copy %s is gone\n",
           entry.path, entry.copyName);
  return true;
}

// The writer's connection lives for one batch: the next opens the catalog
// afresh, so that one made again meanwhile is the one written.
class DisconnectOnExit {
 public:
  DisconnectOnExit() = default;
  ~DisconnectOnExit() { DbmDisconnect(); }
  DisconnectOnExit(const DisconnectOnExit&) = delete;
  DisconnectOnExit& operator=(const DisconnectOnExit&) = delete;
};

}  // namespace

int32_t TimeStampConverter::Convert(const FileEventTime& t) {
  const LocalTime local{t.Year, t.Month, t.DayOfWeek, t.Day, t.Hour, t.Minute, t.Second, 0};
  if (!valid_ || std::memcmp(&local, &last_, sizeof(local)) != 0) {
    const std::optional<int64_t> seconds = CurrentEnv()->LocalTimeToEpochSeconds(local);
    lastResult_ = static_cast<int32_t>(static_cast<uint32_t>(seconds.value_or(0)));
    last_ = local;
    valid_ = true;
  }
  return lastResult_;
}

std::optional<int64_t> HighestEditionId() {
  int32_t id = 0;
  const DbmField fields[] = {IntField(u"max(ID)", &id)};
  if (DbmSelectFirst(u"Edition", fields) != 1) return std::nullopt;
  return id;
}

bool CatalogWriter::WriteBatch(std::deque<EditionEntry>& entries, int64_t* highestId) {
  if (!IsCatalogReady()) return false;
  CatalogConnection* connection = DbmConnect();
  if (connection == nullptr) return false;
  // Declared first, so that it ends last: the transaction is rolled back on
  // the connection before it closes.
  const DisconnectOnExit disconnect;
  CatalogTransaction transaction(connection);
  if (!transaction.active()) return false;
  TimeStampConverter times;
  const std::u16string directory = SnapshotDirectory();
  const uint32_t epoch = DbmCopyRemovalEpoch();
  for (const EditionEntry& entry : entries) {
    if (CopyIsGone(entry, directory, epoch)) continue;
    switch (WriteEdition(entry, times)) {
      case RowResult::kWritten:
        break;
      case RowResult::kRetryBatch:
        return false;
      case RowResult::kDropped:
        WriteLog(kLogStoreFault,
                 u"[Backup Module] Edition of %s (%s) dropped: its rows cannot be written\n",
                 entry.path, entry.copyName);
        break;
    }
  }
  // No committed row may name a copy that a power cut could leave empty.
  // Read inside the transaction: once it commits, no row of this batch or
  // before lies above it, and every later row will.
  const std::optional<int64_t> highest = HighestEditionId();
  if (!highest) return false;
  // No committed row may name a copy that a power cut could leave empty (the
  // journal's records lie on the same file system and are made durable too).
  if (CurrentTimings().syncCopiesBeforeCommit && !entries.empty() &&
      !CurrentEnv()->SyncFileSystemOf(SnapshotDirectory())) {
    return false;
  }
  if (!transaction.Commit()) return false;
  entries.clear();
  if (highestId != nullptr) *highestId = *highest;
  return true;
}

bool CatalogWriter::WriteQueued(CBackuper& source) {
  std::deque<EditionEntry> entries = source.TakeQueued();
  // The directories are looked at every cycle (copies need them); the catalog
  // is read only when there is something to write.
  DbmRepairStore(!entries.empty());
  if (entries.empty()) return true;
  int64_t highestId = 0;
  if (WriteBatch(entries, &highestId)) {
    source.journal().Settle(highestId);
    return true;
  }
  WriteLog(kLogStoreFault, u"[Backup Module] %d editions wait for the catalog\n",
           static_cast<int32_t>(entries.size()));
  source.ReturnToQueue(std::move(entries));
  return false;
}

void CatalogWriter::FinalFlush(CBackuper& source) {
  source.ConfirmPendingChanges();
  for (int attempt = 0; attempt < kFinalBatchAttempts; ++attempt) {
    if (WriteQueued(source)) return;
  }
  const size_t lost = source.queuedCount();
  WriteLog(kLogStoreFault, u"[Backup Module] %d editions could not be written before Stop\n",
           static_cast<int32_t>(lost));
}

void CatalogWriter::Start() {
  {
    std::lock_guard guard(lock_);
    stopRequested_ = false;
  }
  thread_ = std::thread([this] { Run(); });
}

CatalogWriter::~CatalogWriter() {
  // At a process's end on Windows the thread is gone already, maybe holding
  // the lock: nothing is left to wait for.
  if (ProcessIsEnding() && thread_.joinable()) {
    thread_.detach();
    return;
  }
  Stop();
}

void CatalogWriter::Stop() {
  {
    std::lock_guard guard(lock_);
    stopRequested_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void CatalogWriter::Run() {
  const EngineTimings timings = CurrentTimings();
  Env* env = CurrentEnv();
  while (true) {
    {
      std::unique_lock guard(lock_);
      if (wake_.wait_for(guard, timings.writerPeriod, [this] { return stopRequested_; })) break;
    }
    source_.ExpirePending(env->GetTickCount(),
                          static_cast<uint32_t>(timings.pendingExpiry.count()));
    WriteQueued(source_);
  }
  FinalFlush(source_);
}

}  // namespace orv
