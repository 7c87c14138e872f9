// One future Edition row, from the event that announced it until the catalog
// writer has committed it.
#ifndef ORV_CAPTURE_EDITION_ENTRY_H_
#define ORV_CAPTURE_EDITION_ENTRY_H_

#include <orv/orv.h>

#include <cstdint>
#include <string>

#include "platform/env.h"

namespace orv {

struct EditionEntry {
  FileEventTime eventTime{};
  uint32_t kind = 0;          // EDITION_MODIFY, EDITION_DELETE or EDITION_RENAME
  uint32_t closeTick = 0;     // tick of the close that settled a deletion; 0 before
  std::u16string path;        // whole, never cut: a cut path would never settle
  std::u16string copyName;    // the snapshot copy's name; empty for a rename
  std::u16string secondPath;  // the record's TargetPath (a rename's new name); may be empty
  uint32_t copyEpoch = 0;     // DbmCopyRemovalEpoch when the copy was made
  uint64_t journalId = 0;     // names the entry's records in the journal; 0 before the first
  FileState source{};         // the copied file as it was opened for the copy
};

}  // namespace orv

#endif  // ORV_CAPTURE_EDITION_ENTRY_H_
