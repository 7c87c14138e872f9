// Feeds arbitrary bytes to the edition journal's reader, as a torn or
// tampered journal would be at Start. Nothing the reader returns may be
// something the engine could not have written: each record, encoded again,
// reads back alone, whole and the same; its copy name stays a plain snapshot
// name; its paths stay plain absolute ones.
//
// The input is a journal file's whole content. The starting corpus holds records
// the engine writes (every type, texts with surrogates), so that mutations
// start from records whose checksums hold.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "capture/journal_record.h"
#include "catalog/store_layout.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool SameEntry(const orv::EditionEntry& a, const orv::EditionEntry& b) {
  return a.journalId == b.journalId && a.kind == b.kind && a.path == b.path &&
         a.copyName == b.copyName && a.secondPath == b.secondPath && a.source == b.source &&
         std::memcmp(&a.eventTime, &b.eventTime, sizeof(a.eventTime)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t skipped = 0;
  const std::vector<orv::JournalRecord> records =
      orv::DecodeJournal(std::string_view(reinterpret_cast<const char*>(data), size), &skipped);
  for (const orv::JournalRecord& record : records) {
    std::string again;
    if (record.type == orv::JournalRecordType::kWatermark) {
      orv::EncodeWatermarkRecord(record.watermark, &again);
    } else {
      Check(!record.entry.path.empty() && record.entry.path[0] == u'/');
      Check(record.entry.copyName.empty() || orv::IsSnapshotName(record.entry.copyName));
      orv::EncodeEntryRecord(record.type, record.entry, &again);
    }
    size_t skippedAgain = 0;
    const std::vector<orv::JournalRecord> back = orv::DecodeJournal(again, &skippedAgain);
    Check(back.size() == 1 && skippedAgain == 0 && back[0].type == record.type);
    if (record.type == orv::JournalRecordType::kWatermark) {
      Check(back[0].watermark == record.watermark);
    } else {
      Check(SameEntry(back[0].entry, record.entry));
    }
  }
  return 0;
}
