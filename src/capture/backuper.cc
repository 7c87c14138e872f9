#include "capture/backuper.h"

#include <vector>

#include "capture/catalog_writer.h"
#include "capture/journal_recovery.h"
#include "catalog/database_manager.h"
#include "catalog/store_layout.h"
#include "engine/log.h"
#include "engine/timings.h"
#include "platform/env.h"
#include "platform/module_hold.h"
#include "platform/path.h"
#include "platform/text.h"

namespace orv {
namespace {

constexpr uint32_t kWriteBits = ORV_GENERIC_WRITE | ORV_FILE_WRITE_EA | ORV_FILE_APPEND_DATA |
                                ORV_FILE_WRITE_DATA;  // 0x40000016

// A name is retried with the next millisecond's stamp this often before the
// copy is given up.
constexpr int kNameAttempts = 1000;

std::u16string_view View(const char16_t* text) {
  return text == nullptr ? std::u16string_view() : std::u16string_view(text, Utf16Length(text));
}

// A copy no edition will ever name is removed at once: left in the store it
// would count against the quota and push real editions out. The name is the
// entry's own (unique to it), so no queued or written entry names it.
void RemoveUnusedCopy(const EditionEntry& entry) {
  if (!IsSnapshotName(entry.copyName)) return;
  const std::u16string directory = SnapshotDirectory();
  if (directory.empty()) return;
  CurrentEnv()->RemoveFile(JoinPath(directory, entry.copyName));
}

// An entry of this kind for the record's path, at its event time.
EditionEntry EntryOf(const FileEventRecord& record, uint32_t kind) {
  EditionEntry entry;
  entry.eventTime = record.EventTime;
  entry.kind = kind;
  entry.path = View(record.FilePath);
  return entry;
}

}  // namespace

CBackuper::CBackuper() = default;

CBackuper::~CBackuper() {
  // At a process's end on Windows the writer's own destructor lets its ended
  // thread go; stopping it here would wait for it.
  if (writer_ && !ProcessIsEnding()) writer_->Stop();
}

std::optional<EditionEntry> CBackuper::MakeEntry(const FileEventRecord& record) {
  uint32_t kind = 0;
  if (record.FileOperation == FILE_OP_OPEN) {
    const uint32_t access = record.DesiredAccess;
    if (record.CreateOptions & ORV_FILE_DELETE_ON_CLOSE) {
      kind = EDITION_DELETE;
    } else if ((access & kWriteBits) && !(access & ORV_DELETE)) {
      kind = EDITION_MODIFY;
    } else if ((access & ORV_DELETE) && !(access & (kWriteBits | ORV_SYNCHRONIZE))) {
      kind = EDITION_DELETE;
    } else if (!(access & (kWriteBits | ORV_DELETE)) ||
               ((access & ORV_DELETE) && (access & ORV_SYNCHRONIZE))) {
      return std::nullopt;
    } else {
      kind = EDITION_DELETE;
    }
  } else if (record.FileOperation == FILE_OP_RENAME) {
    kind = EDITION_RENAME;
  } else {
    return std::nullopt;
  }
  EditionEntry entry = EntryOf(record, kind);
  // An open's target, like a rename's new name, becomes the edition's link:
  // the file whose content stands for it. Null counts as empty.
  entry.secondPath = View(record.TargetPath);
  return entry;
}

std::u16string CBackuper::SnapshotCopy(std::u16string_view path, const Env::CopySource& source,
                                       uint32_t* copyEpoch, FileState* copied) {
  const std::u16string directory = SnapshotDirectory();
  if (directory.empty()) return {};
  // "<tree>/../elsewhere" passes a policy on its text while it reaches a file
  // outside the tree: only paths whose text is the file are copied.
  if (!IsPlainAbsolutePath(path)) {
    WriteLog(kLogStoreFault, u"[Backup Module] %s is not copied: not a plain absolute path\n",
             path);
    return {};
  }
  Env* env = CurrentEnv();
  LocalTime time = env->GetLocalTime();
  const size_t slash = path.rfind(kPathSeparator);
  if (slash == std::u16string_view::npos || slash + 1 == path.size()) return {};
  const std::u16string_view baseName = path.substr(slash + 1);

  if (copyEpoch != nullptr) *copyEpoch = DbmCopyRemovalEpoch();
  std::u16string failure;
  const std::unique_ptr<StagedCopy> copy =
      env->StageCopy(source, directory, kPartialCopyName, &failure);
  if (!copy) {
    // The host's operation goes on regardless; the log says which old content
    // was not kept and why (a full or read-only store, an unreadable source).
    WriteLog(kLogStoreFault, u"[Backup Module] %s could not be copied (%s)\n", path, failure);
    return {};
  }
  if (copied != nullptr) *copied = copy->SourceState();
  // Two files of one base name copied in the same millisecond would collide:
  // the later one takes the next free millisecond instead of being lost.
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::u16string name = SnapshotName(baseName, time);
    switch (copy->PublishAs(name)) {
      case StagedCopy::PublishResult::kPublished:
        return name;
      case StagedCopy::PublishResult::kNameTaken:
        AddOneMillisecond(time);
        break;
      case StagedCopy::PublishResult::kFailed:
        attempt = kNameAttempts;
        break;
    }
  }
  WriteLog(kLogStoreFault, u"[Backup Module] the copy of %s could not be named\n", path);
  return {};
}

void CBackuper::OnOpen(const FileEventRecord& record, intptr_t lentHandle) {
  // The entry first: a copy made for an open that makes none would be named by
  // nothing.
  std::optional<EditionEntry> entry = MakeEntry(record);
  if (!entry) return;
  uint32_t copyEpoch = 0;
  // The source's state goes into the journal: a replay after a kill tells by
  // it whether the save this open announced happened.
  std::u16string copyName =
      SnapshotCopy(View(record.FilePath), &copyEpoch, lentHandle, &entry->source);
  if (copyName.empty()) return;
  entry->copyName = std::move(copyName);
  entry->copyEpoch = copyEpoch;
  if (record.CreateOptions & ORV_FILE_DELETE_ON_CLOSE) {
    QueueForWrite(std::move(*entry));
  } else {
    AddPending(std::move(*entry));
  }
}

bool CBackuper::OnKept(const FileEventRecord& record, std::u16string_view keptFile) {
  // A replacement is an edition of the name replaced, holding what it held:
  // the file renamed over it is not its link, so TargetPath is not read.
  EditionEntry entry =
      EntryOf(record, record.FileOperation == FILE_OP_DELETE ? EDITION_DELETE : EDITION_MODIFY);
  Env::CopySource source{keptFile};
  source.mayLink = true;  // the host changes keptFile no more, only removes it
  entry.copyName = SnapshotCopy(entry.path, source, &entry.copyEpoch);
  if (entry.copyName.empty()) return false;
  // Already confirmed: the deletion or replacement has happened.
  QueueForWrite(std::move(entry));
  return true;
}

void CBackuper::UpdatePending(const FileEventRecord& record) {
  const std::u16string_view path = View(record.FilePath);
  std::unique_lock pendingGuard(pendingLock_);
  EditionEntry* entry = pending_.Oldest(path);
  if (entry == nullptr) return;
  bool move = false;
  switch (record.FileOperation) {
    case FILE_OP_DELETE:
      entry->kind = EDITION_DELETE;
      move = true;
      break;
    case FILE_OP_COMMIT:
      move = true;
      break;
    case FILE_OP_CLOSE: {
      const bool changed = (record.CloseFlags & ORV_CLOSE_FLAG_CHANGED) != 0;
      if (entry->kind == EDITION_MODIFY) {
        if (!changed) {
          const EditionEntry unused = pending_.RemoveOldest(path);
          pendingGuard.unlock();
          RemoveUnusedCopy(unused);
          return;
        }
        move = true;
      } else {
        entry->closeTick = CurrentEnv()->GetTickCount();
        if (changed) entry->kind = EDITION_MODIFY;
      }
      break;
    }
    default:
      return;
  }
  if (!move) return;
  EditionEntry moved = pending_.RemoveOldest(path);
  journal_.Record(JournalRecordType::kConfirmed, moved);
  std::lock_guard queueGuard(queueLock_);
  queue_.push_back(std::move(moved));
}

void CBackuper::AddPending(EditionEntry entry) {
  std::lock_guard guard(pendingLock_);
  journal_.Record(JournalRecordType::kPending, entry);
  pending_.Append(std::move(entry));
}

void CBackuper::QueueForWrite(EditionEntry entry) {
  std::lock_guard guard(queueLock_);
  journal_.Record(JournalRecordType::kConfirmed, entry);
  queue_.push_back(std::move(entry));
}

void CBackuper::ExpirePending(uint32_t nowTick, uint32_t expiryMs) {
  std::vector<EditionEntry> unused;
  {
    std::lock_guard pendingGuard(pendingLock_);
    pending_.RemoveIf(
        [&](const EditionEntry& entry) {
          return entry.closeTick != 0 &&
                 static_cast<uint32_t>(nowTick - entry.closeTick) > expiryMs;
        },
        [&](EditionEntry entry) {
          if (entry.kind != EDITION_MODIFY) {  // a deletion never confirmed
            unused.push_back(std::move(entry));
            return;
          }
          journal_.Record(JournalRecordType::kConfirmed, entry);
          std::lock_guard queueGuard(queueLock_);
          queue_.push_back(std::move(entry));
        });
  }
  // Outside the lock: host threads settling their events do not wait on the disk.
  for (const EditionEntry& entry : unused) RemoveUnusedCopy(entry);
}

void CBackuper::ConfirmPendingChanges() {
  std::lock_guard pendingGuard(pendingLock_);
  pending_.RemoveIf(
      [](const EditionEntry& entry) {
        return entry.closeTick != 0 && entry.kind == EDITION_MODIFY;
      },
      [&](EditionEntry entry) {
        journal_.Record(JournalRecordType::kConfirmed, entry);
        std::lock_guard queueGuard(queueLock_);
        queue_.push_back(std::move(entry));
      });
}

std::deque<EditionEntry> CBackuper::TakeQueued() {
  std::deque<EditionEntry> taken;
  std::string pendingRecords;
  {
    // Both locks: no entry can enter either list between the cut and its
    // record, so every entry not taken here has a record in the new generation.
    std::lock_guard pendingGuard(pendingLock_);
    std::lock_guard queueGuard(queueLock_);
    taken.swap(queue_);
    if (taken.empty() || !journal_.Rotate()) return taken;
    pending_.ForEach([&](const EditionEntry& entry) {
      EncodeEntryRecord(JournalRecordType::kPending, entry, &pendingRecords);
    });
  }
  // Outside the locks: a pending entry changed meanwhile has its later record
  // in the same generation, and a replay takes the confirmed state of an id
  // wherever it lies.
  journal_.Append(pendingRecords);
  return taken;
}

void CBackuper::ReturnToQueue(std::deque<EditionEntry> entries) {
  {
    std::lock_guard guard(queueLock_);
    for (EditionEntry& entry : entries) journal_.Record(JournalRecordType::kConfirmed, entry);
    // Entries queued meanwhile stay behind the ones that were first.
    for (auto& entry : queue_) entries.push_back(std::move(entry));
    queue_.swap(entries);
  }
  // Nothing was committed: the watermark stays what it was.
  journal_.Settle(journal_.watermark());
}

void CBackuper::OpenJournal() {
  const std::u16string directory = SnapshotDirectory();
  if (directory.empty() || !journal_.Acquire(directory)) return;
  JournalReplay replay = ReplayJournal(journal_);
  if (replay.undecided) {
    journal_.Begin(replay.lastId, EditionJournal::Leftovers::kKept, 0);
    return;
  }
  int64_t highestId = 0;
  if (CatalogWriter::WriteBatch(replay.entries, &highestId)) {
    journal_.Begin(replay.lastId, EditionJournal::Leftovers::kWritten, highestId);
    if (replay.complete) RemoveUnnamedCopies(directory, CurrentTimings().pendingExpiry);
    return;
  }
  // The catalog cannot take them now: they wait in the queue like any entry,
  // and the leftover generations stay until the writer has written them.
  WriteLog(kLogStoreFault, u"[Backup Module] %d editions of the journal wait for the catalog\n",
           static_cast<int32_t>(replay.entries.size()));
  journal_.Begin(replay.lastId, EditionJournal::Leftovers::kQueued, replay.watermark);
  for (EditionEntry& entry : replay.entries) QueueForWrite(std::move(entry));
}

void CBackuper::StartWriter() {
  if (writer_) writer_->Stop();
  writer_ = std::make_unique<CatalogWriter>(*this);
  writer_->Start();
}

void CBackuper::Stop() {
  if (writer_) {
    writer_->Stop();
    writer_.reset();
  } else {
    CatalogWriter::FinalFlush(*this);
  }
  {
    std::lock_guard pendingGuard(pendingLock_);
    pending_.RemoveIf([](const EditionEntry&) { return true; }, [](EditionEntry) {});
    std::lock_guard queueGuard(queueLock_);
    queue_.clear();
  }
  journal_.Release();
}

size_t CBackuper::pendingCount() {
  std::lock_guard guard(pendingLock_);
  return pending_.size();
}

size_t CBackuper::queuedCount() {
  std::lock_guard guard(queueLock_);
  return queue_.size();
}

}  // namespace orv
