// CBackuper: turns events into edition entries. Owns the pending list and the
// write queue, each with its lock (taken in that order when both are held),
// the journal that records both lists' entries in the store, and the catalog
// writer that empties the queue into the catalog.
#ifndef ORV_CAPTURE_BACKUPER_H_
#define ORV_CAPTURE_BACKUPER_H_

#include <orv/orv.h>

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "capture/edition_entry.h"
#include "capture/edition_journal.h"
#include "capture/pending_list.h"
#include "platform/env.h"

namespace orv {

class CatalogWriter;

class CBackuper {
 public:
  CBackuper();
  // Stops the writer if the host unloads the library without Stop.
  virtual ~CBackuper();
  CBackuper(const CBackuper&) = delete;
  CBackuper& operator=(const CBackuper&) = delete;

  // An open the policy protects: copy the file now, then wait for its outcome.
  // The copy reads lentHandle when the host lent the file it opened (see
  // Env::CopySource), the path otherwise.
  void OnOpen(const FileEventRecord& record, intptr_t lentHandle = Env::kNoLentHandle);
  // The host kept the content FilePath had before it was deleted
  // (FILE_OP_DELETE) or replaced (FILE_OP_RENAME) in the file keptFile: takes
  // it into the store (linked where it may be, see Env::CopySource) and queues
  // an edition of FilePath, of kind EDITION_DELETE or EDITION_MODIFY. False,
  // logged, when the content could not be taken. Never changes keptFile. The
  // caller has checked the operation and the policy.
  bool OnKept(const FileEventRecord& record, std::u16string_view keptFile);
  // The entry an event makes, with its kind decided; nothing when it makes none.
  // Reads TargetPath (null: empty) only for an open or a rename.
  static std::optional<EditionEntry> MakeEntry(const FileEventRecord& record);
  // A commit, close or delete settles the oldest pending entry of its path. A
  // change entry closed unchanged is dropped and its copy removed.
  void UpdatePending(const FileEventRecord& record);
  void AddPending(EditionEntry entry);
  void QueueForWrite(EditionEntry entry);
  // Copies the file source reads into the snapshot directory under the
  // snapshot name of path's base name (path being the file whose content that
  // is); the copy's name, or empty when no copy was made (logged).
  // *copyEpoch receives the copy-removal count read before the copy was made,
  // *copied (when not null) the source's state as the copy read it.
  std::u16string SnapshotCopy(std::u16string_view path, const Env::CopySource& source,
                              uint32_t* copyEpoch, FileState* copied = nullptr);
  // The same for the file at path (or the file lent under lentHandle, which
  // path names).
  std::u16string SnapshotCopy(std::u16string_view path, uint32_t* copyEpoch = nullptr,
                              intptr_t lentHandle = Env::kNoLentHandle,
                              FileState* copied = nullptr) {
    return SnapshotCopy(path, Env::CopySource{path, lentHandle}, copyEpoch, copied);
  }

  // At Start, before any event: takes the store's journal, writes what an
  // earlier process left in it (journal_recovery.h), removes the copies no row
  // names, and journals from then on. Without a journal (another engine holds
  // the store, or it cannot be made) events are handled as before, unjournaled.
  void OpenJournal();

  void StartWriter();
  // Writes every queued entry and every pending entry whose change is already
  // confirmed, then discards the rest (their records stay in the journal, for
  // the next Start to settle) and lets the journal go. The writer thread does
  // it when there is one, the calling thread otherwise.
  void Stop();

  // For the writer. Moves pending entries whose close is older than expiryMs:
  // changes to the queue; deletions never confirmed are dropped and their
  // copies removed.
  void ExpirePending(uint32_t nowTick, uint32_t expiryMs);
  // Moves confirmed changes to the queue, whatever their age (at Stop).
  void ConfirmPendingChanges();
  // Takes the queue. When anything was taken, a new journal generation starts
  // and receives the pending entries' records, so that the older ones can go
  // once the batch is committed (journal().Settle).
  std::deque<EditionEntry> TakeQueued();
  // Puts entries that could not be written back in front of the queue, and
  // into the newest journal generation, which then stands in for the older.
  void ReturnToQueue(std::deque<EditionEntry> entries);

  EditionJournal& journal() { return journal_; }

  size_t pendingCount();
  size_t queuedCount();

 private:
  std::mutex pendingLock_;
  PendingList pending_;
  std::mutex queueLock_;
  std::deque<EditionEntry> queue_;
  std::unique_ptr<CatalogWriter> writer_;
  EditionJournal journal_;
};

}  // namespace orv

#endif  // ORV_CAPTURE_BACKUPER_H_
