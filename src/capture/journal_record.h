// The records of the edition journal (docs/journal.md): each one write,
// self-checking (magic, length, CRC-32C), so that a process killed while
// appending leaves at most a torn record, which a reader skips.
#ifndef ORV_CAPTURE_JOURNAL_RECORD_H_
#define ORV_CAPTURE_JOURNAL_RECORD_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "capture/edition_entry.h"

namespace orv {

enum class JournalRecordType : uint8_t {
  // An entry copied at an open, waiting for its change to be confirmed.
  kPending = 1,
  // An entry in the write queue: confirmed, to be written as it stands.
  kConfirmed = 2,
  // The highest Edition ID the catalog held when the entries of this
  // generation could not yet be in it.
  kWatermark = 3,
};

struct JournalRecord {
  JournalRecordType type = JournalRecordType::kPending;
  EditionEntry entry;     // kPending, kConfirmed (entry.journalId set)
  int64_t watermark = 0;  // kWatermark
};

// The most UTF-16 units a text of a record may hold: far beyond any path the
// engine makes, small enough that a hostile length costs no memory.
inline constexpr uint32_t kMaxJournalTextUnits = 32768;

// CRC-32C (Castagnoli) of data.
uint32_t Crc32c(std::string_view data);

// Appends the record of entry (with its journalId, kind, time, path, copy name
// and second path) in state type (kPending or kConfirmed) to out. Texts longer
// than kMaxJournalTextUnits make no record (a reader would refuse it).
void EncodeEntryRecord(JournalRecordType type, const EditionEntry& entry, std::string* out);
void EncodeWatermarkRecord(int64_t watermark, std::string* out);

// Every valid record of data, in order. A record that is torn, fails its
// checksum, or holds what no record the engine writes holds (a length past the
// limits, a kind it does not make, a copy name that is not a plain snapshot
// name, a path that is not plain absolute) is skipped, and reading goes on at
// the next record's magic; *skipped (when not null) counts the skips.
std::vector<JournalRecord> DecodeJournal(std::string_view data, size_t* skipped);

}  // namespace orv

#endif  // ORV_CAPTURE_JOURNAL_RECORD_H_
