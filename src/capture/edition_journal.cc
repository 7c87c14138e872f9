#include "capture/edition_journal.h"

#include <algorithm>
#include <cstddef>

#include "catalog/store_layout.h"
#include "engine/log.h"
#include "platform/path.h"

namespace orv {

bool EditionJournal::Acquire(const std::u16string& snapshotDirectory) {
  Release();
  if (ParentDirectory(snapshotDirectory).empty()) return false;
  bool heldElsewhere = false;
  std::unique_ptr<DirectoryLock> storeLock =
      CurrentEnv()->TryLockDirectory(snapshotDirectory, &heldElsewhere);
  if (!storeLock) {
    WriteLog(kLogStoreFault,
             heldElsewhere
                 ? u"[Backup Module] Another engine uses the store: its journal is left to it\n"
                 : u"[Backup Module] The store cannot be locked: changes are not journaled\n");
    return false;
  }
  std::lock_guard guard(lock_);
  storeDirectory_ = ParentDirectory(snapshotDirectory);
  storeLock_ = std::move(storeLock);
  return true;
}

void EditionJournal::Release() {
  std::lock_guard guard(lock_);
  file_.reset();
  storeLock_.reset();
  older_.clear();
  storeDirectory_.clear();
  failing_ = false;
}

std::u16string EditionJournal::PathOf(uint64_t generation) const {
  return JoinPath(storeDirectory_, JournalFileName(generation));
}

std::vector<uint64_t> EditionJournal::LeftoverGenerations() const {
  std::vector<uint64_t> generations;
  if (storeDirectory_.empty()) return generations;
  for (const DirectoryFile& file : CurrentEnv()->ListDirectoryFiles(storeDirectory_)) {
    if (const std::optional<uint64_t> generation = JournalGeneration(file.name)) {
      generations.push_back(*generation);
    }
  }
  std::sort(generations.begin(), generations.end());
  return generations;
}

std::optional<std::string> EditionJournal::ReadGeneration(uint64_t generation) const {
  return CurrentEnv()->ReadSmallFile(PathOf(generation), kMaxFileBytes);
}

void EditionJournal::SetAside(uint64_t generation) {
  const std::u16string path = PathOf(generation);
  CurrentEnv()->RenameReplacing(path, path + u".unreadable");
}

bool EditionJournal::Begin(uint64_t lastId, Leftovers fate, int64_t watermark) {
  std::vector<uint64_t> leftovers = LeftoverGenerations();
  const bool leftoversWritten = fate == Leftovers::kWritten;
  if (fate == Leftovers::kKept) leftovers.clear();
  std::lock_guard guard(lock_);
  if (storeDirectory_.empty()) return false;
  Env* env = CurrentEnv();
  watermark_ = watermark;
  if (leftoversWritten) {
    // One that cannot be removed now is tried again at the next Settle.
    std::erase_if(leftovers,
                  [&](uint64_t generation) { return env->RemoveFile(PathOf(generation)); });
  }
  const std::vector<uint64_t> present = LeftoverGenerations();
  generation_ = present.empty() ? 1 : present.back() + 1;
  older_ = std::move(leftovers);
  rotated_ = false;
  nextId_.store(lastId + 1);
  file_ = env->OpenAppendText(PathOf(generation_));
  if (!file_) {
    WriteLog(kLogStoreFault,
             u"[Backup Module] The journal %s cannot be made: changes are not "
             u"journaled\n",
             PathOf(generation_));
    return false;
  }
  if (leftoversWritten) {
    std::string record;
    EncodeWatermarkRecord(watermark, &record);
    AppendLocked(record);
  }
  return true;
}

bool EditionJournal::active() {
  std::lock_guard guard(lock_);
  return file_ != nullptr;
}

void EditionJournal::AppendLocked(std::string_view data) {
  if (!file_ || data.empty()) return;
  if (file_->Append(data)) {
    failing_ = false;
    return;
  }
  NoteFailureLocked();
}

void EditionJournal::NoteFailureLocked() {
  if (failing_) return;
  failing_ = true;
  WriteLog(kLogStoreFault,
           u"[Backup Module] The journal %s cannot be written: changes of the last seconds would "
           u"be lost if the process were killed\n",
           PathOf(generation_));
}

void EditionJournal::Record(JournalRecordType type, EditionEntry& entry) {
  if (entry.journalId == 0) entry.journalId = nextId_.fetch_add(1);
  // One buffer, reused under the lock: the record costs no allocation once it
  // has grown. Not one per thread: a library's thread-local object outlives
  // its code when the host unloads it while its threads go on.
  std::lock_guard guard(lock_);
  recordBuffer_.clear();
  EncodeEntryRecord(type, entry, &recordBuffer_);
  AppendLocked(recordBuffer_);
}

bool EditionJournal::Rotate() {
  std::lock_guard guard(lock_);
  if (!file_) return false;
  std::unique_ptr<AppendFile> next = CurrentEnv()->OpenAppendText(PathOf(generation_ + 1));
  if (!next) {
    NoteFailureLocked();
    return false;
  }
  older_.push_back(generation_);
  ++generation_;
  file_ = std::move(next);
  rotated_ = true;
  return true;
}

void EditionJournal::Append(std::string_view records) {
  std::lock_guard guard(lock_);
  AppendLocked(records);
}

void EditionJournal::Settle(int64_t watermark) {
  std::lock_guard guard(lock_);
  // Without a Rotate the newest generation holds entries of the batch: a
  // watermark above their rows would hide them from a replay.
  if (!rotated_ || !file_) return;
  rotated_ = false;
  std::string record;
  EncodeWatermarkRecord(watermark, &record);
  if (!file_->Append(record)) {
    // Without it in the newest generation, the older ones must stay: their
    // watermark is the one a replay needs.
    NoteFailureLocked();
    return;
  }
  watermark_ = watermark;
  Env* env = CurrentEnv();
  // Oldest first, and never one past a failure: the generations left always
  // follow one another.
  size_t removed = 0;
  while (removed < older_.size() && env->RemoveFile(PathOf(older_[removed]))) ++removed;
  older_.erase(older_.begin(), older_.begin() + static_cast<ptrdiff_t>(removed));
}

int64_t EditionJournal::watermark() {
  std::lock_guard guard(lock_);
  return watermark_;
}

}  // namespace orv
