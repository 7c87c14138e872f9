// What Start does with the journal a killed (or stopped) process left: which
// of its entries become editions, which copies go, and the copies that no row
// names at all.
#ifndef ORV_CAPTURE_JOURNAL_RECOVERY_H_
#define ORV_CAPTURE_JOURNAL_RECOVERY_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

#include "capture/edition_entry.h"
#include "capture/edition_journal.h"

namespace orv {

struct JournalReplay {
  // The entries to write, in the order they were first recorded: a queued
  // entry whose copy is there (or a rename), and a pending one whose file
  // changed since its copy was made (an EDITION_MODIFY; an EDITION_DELETE
  // when the file is gone). None whose row the catalog already has.
  std::deque<EditionEntry> entries;
  // The highest id the leftover records hold.
  uint64_t lastId = 0;
  // The watermark of the oldest leftover generation (0 when it has none).
  int64_t watermark = 0;
  // False when a leftover generation could not be read (set aside, logged):
  // copies may then be named by records nobody read.
  bool complete = true;
  // True when the catalog could not be asked: nothing was decided, and the
  // leftovers must stay for the next Start.
  bool undecided = false;
};

// Reads the leftover generations of journal (acquired, not begun) and decides
// each entry, on the calling thread's catalog connection. Removes the copies
// of pending entries whose file did not change: the save they waited for
// never happened. A row counts as the entry's, so that a replay writes every
// entry once even when the last one was killed after its commit:
//  - an entry with a copy: a row of its file naming that copy (copy names are
//    unique in the snapshot directory);
//  - a rename: a row of the same file, link, kind and time stamp above the
//    oldest generation's watermark, each such row standing for one entry.
JournalReplay ReplayJournal(EditionJournal& journal);

// Removes the copies of snapshotDirectory that no Edition row names and that
// are older than minAge (a crash between a copy and its record leaves them),
// logged with their count. Never a copy a row names; stops at the first
// catalog failure. The number removed.
size_t RemoveUnnamedCopies(const std::u16string& snapshotDirectory,
                           std::chrono::milliseconds minAge);

}  // namespace orv

#endif  // ORV_CAPTURE_JOURNAL_RECOVERY_H_
