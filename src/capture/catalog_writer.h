// The catalog writer: an engine thread that, every writer period, settles the
// pending entries whose close is old enough and writes everything queued into
// the catalog in one transaction. A batch is all or nothing: when it cannot be
// committed, its entries go back to the front of the queue for the next cycle.
// At Stop it writes what is confirmed in one final batch, then ends; it is
// never killed.
#ifndef ORV_CAPTURE_CATALOG_WRITER_H_
#define ORV_CAPTURE_CATALOG_WRITER_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "capture/edition_entry.h"
#include "platform/env.h"

namespace orv {

class CBackuper;

// An event's local time as the catalog stores it: read as standard time, cut
// to 32 bits (catalogs already written rely on this rule). Entries of one
// batch mostly share their second, and the conversion is slow: the last one
// is remembered.
class TimeStampConverter {
 public:
  int32_t Convert(const FileEventTime& t);

 private:
  bool valid_ = false;
  LocalTime last_;
  int32_t lastResult_ = 0;
};

// The highest Edition ID on the calling thread's connection (0 for none);
// nothing when it cannot be read (logged).
std::optional<int64_t> HighestEditionId();

class CatalogWriter {
 public:
  explicit CatalogWriter(CBackuper& source) : source_(source) {}
  ~CatalogWriter();
  CatalogWriter(const CatalogWriter&) = delete;
  CatalogWriter& operator=(const CatalogWriter&) = delete;

  void Start();
  // Ends the batch in progress, writes the final batch, joins the thread.
  void Stop();

  // Writes every queued entry and every confirmed pending change of source on
  // the calling thread, retrying a batch that meets a passing failure a few
  // times. Entries that still cannot be written are logged as lost.
  static void FinalFlush(CBackuper& source);

  // Writes entries in one transaction on the calling thread's connection
  // (closed afterwards). True when committed (entries whose rows can never be
  // written are dropped with a log line), with the highest Edition ID after it
  // in *highestId when not null; false when nothing was committed, entries
  // unchanged.
  static bool WriteBatch(std::deque<EditionEntry>& entries, int64_t* highestId = nullptr);

 private:
  void Run();
  // Takes the queue and writes it; on failure the entries go back in front.
  static bool WriteQueued(CBackuper& source);

  CBackuper& source_;
  std::thread thread_;
  std::mutex lock_;
  std::condition_variable wake_;
  bool stopRequested_ = false;
};

}  // namespace orv

#endif  // ORV_CAPTURE_CATALOG_WRITER_H_
