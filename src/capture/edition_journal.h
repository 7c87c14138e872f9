// The edition journal of a store: every entry the engine holds in memory and
// the catalog does not have yet (pending or queued), so that a process killed
// meanwhile loses none of them. docs/journal.md describes its files and
// records.
//
// The journal is a sequence of generation files. Host threads append one
// record per entry state to the newest; the writer, when it takes a batch,
// starts a new generation (Rotate) and re-records the pending entries there,
// and once the batch is committed writes the catalog's new watermark into the
// new generation and removes the older ones (Settle). A killed process thus
// leaves the generations whose entries may not all be in the catalog; the
// next Start replays them (journal_recovery.h).
#ifndef ORV_CAPTURE_EDITION_JOURNAL_H_
#define ORV_CAPTURE_EDITION_JOURNAL_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/edition_entry.h"
#include "capture/journal_record.h"
#include "platform/env.h"

namespace orv {

class EditionJournal {
 public:
  EditionJournal() = default;
  EditionJournal(const EditionJournal&) = delete;
  EditionJournal& operator=(const EditionJournal&) = delete;

  // The largest generation file read at Start.
  static constexpr uint64_t kMaxFileBytes = uint64_t{256} << 20;

  // Takes the journal of the store whose snapshot directory is
  // snapshotDirectory for this process, locking the store against the engines
  // of other processes until Release. False, logged, when another holds it or
  // it cannot be locked: nothing is journaled, replayed or swept then.
  bool Acquire(const std::u16string& snapshotDirectory);
  // Closes the journal and lets the store go. Its files stay as they are.
  void Release();

  // After Acquire, before Begin: the generations an earlier process left,
  // oldest first, and the content of one (nothing when it cannot be read).
  std::vector<uint64_t> LeftoverGenerations() const;
  std::optional<std::string> ReadGeneration(uint64_t generation) const;
  // Moves a generation that cannot be read out of the journal's way (kept
  // beside it, with ".unreadable" after its name).
  void SetAside(uint64_t generation);

  // What became of the leftover generations' entries.
  enum class Leftovers {
    kWritten,  // all in the catalog, whose highest Edition ID is the watermark
    kQueued,   // in the write queue, recorded again; the watermark is theirs
    kKept,     // undecided: the leftovers stay as they are for the next Start
  };
  // Starts journaling in a new generation above the leftovers; later entries
  // get ids above lastId. Written leftovers are removed and the new
  // generation starts with the watermark; queued ones go with the writer's
  // next committed batch (Settle). False, logged, when the generation cannot
  // be made: nothing is journaled.
  bool Begin(uint64_t lastId, Leftovers leftovers, int64_t watermark);

  // Whether records are being written.
  bool active();

  // Appends the record of entry in state type to the newest generation,
  // giving the entry its id on its first record. Any thread; the caller holds
  // the lock of the list the entry is entering, so that a Rotate never falls
  // between the record and the entry's arrival. A failure is logged and costs
  // the event nothing.
  void Record(JournalRecordType type, EditionEntry& entry);

  // For the writer, under both list locks: a new generation receives the
  // records from now on; the older ones are kept until Settle. False when it
  // could not be made (the records keep going to the current one).
  bool Rotate();
  // Appends records already encoded to the newest generation.
  void Append(std::string_view records);
  // The batch taken at the last Rotate is written (watermark: the highest
  // Edition ID after it) or was put back and re-recorded (the watermark as
  // it was): the watermark goes into the newest generation and the older ones
  // are removed, oldest first. Nothing when no Rotate came since the last
  // Settle.
  void Settle(int64_t watermark);
  // The watermark of the last Begin or Settle.
  int64_t watermark();

 private:
  std::u16string PathOf(uint64_t generation) const;
  // Appends under lock_; logs the first failure of a run of them.
  void AppendLocked(std::string_view data);
  void NoteFailureLocked();

  std::mutex lock_;
  std::u16string storeDirectory_;
  std::unique_ptr<DirectoryLock> storeLock_;
  std::unique_ptr<AppendFile> file_;
  std::string recordBuffer_;  // under lock_
  uint64_t generation_ = 0;
  std::vector<uint64_t> older_;
  int64_t watermark_ = 0;
  std::atomic<uint64_t> nextId_{1};
  bool failing_ = false;
  bool rotated_ = false;  // a Rotate since the last Settle
};

}  // namespace orv

#endif  // ORV_CAPTURE_EDITION_JOURNAL_H_
