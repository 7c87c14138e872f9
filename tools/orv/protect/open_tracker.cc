#include "protect/open_tracker.h"

#include <utility>
#include <vector>

namespace orv::tool {
namespace {

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

FileStamp StampOf(const struct stat& st) {
  return {static_cast<int64_t>(st.st_size), st.st_mtim, st.st_ctim};
}

std::optional<FileStamp> ProbeFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return StampOf(st);
}

bool ChangedSince(const FileStamp& atOpen, const std::optional<FileStamp>& now) {
  return !now || now->size != atOpen.size || !SameTime(now->mtime, atOpen.mtime) ||
         !SameTime(now->ctime, atOpen.ctime);
}

OpenTracker::OpenTracker(EventSink& sink, Probe probe) : sink_(sink), probe_(std::move(probe)) {}

bool OpenTracker::ChangedSinceOpen(const std::string& path, const OpenState& state) const {
  return state.modified || ChangedSince(state.atOpen, probe_(path));
}

void OpenTracker::Opened(const std::string& path, const FileStamp& atOpen, int descriptor) {
  {
    std::lock_guard guard(lock_);
    OpenState& state = open_[path];
    state.atOpen = atOpen;
    ++state.opens;
  }
  sink_.Report(FileEvent::OpenForWriting(path, descriptor));
}

void OpenTracker::Truncated(const std::string& path, int descriptor) {
  // The engine settles the oldest open of path with a close: while another
  // open of it waits, that one is settled now (changed: the truncate comes)
  // and the truncate's copy by the other open's close.
  sink_.Report(FileEvent::OpenForWriting(path, descriptor));
  sink_.Report(FileEvent::Close(path, true));
}

void OpenTracker::Modified(const std::string& path) {
  std::lock_guard guard(lock_);
  if (auto it = open_.find(path); it != open_.end()) it->second.modified = true;
}

void OpenTracker::Closed(const std::string& path) {
  // A close settles the oldest open's entry in the engine; it may be
  // reported after a later open of the same file was seen.
  bool changed = true;
  {
    std::lock_guard guard(lock_);
    if (auto it = open_.find(path); it != open_.end()) {
      changed = ChangedSinceOpen(path, it->second);
      if (--it->second.opens <= 0) {
        open_.erase(it);
      } else {
        it->second.modified = false;
      }
    }
  }
  sink_.Report(FileEvent::Close(path, changed));
}

bool OpenTracker::Deleted(const std::string& path) {
  sink_.Report(FileEvent::Delete(path));
  std::lock_guard guard(lock_);
  const auto it = open_.find(path);
  if (it == open_.end()) return false;
  const bool unwritten = !it->second.modified;
  open_.erase(it);
  return unwritten;
}

void OpenTracker::Renamed(const std::string& from, const std::string& to) {
  sink_.Report(FileEvent::Rename(from, to));
}

void OpenTracker::SettleMergedCloses() {
  std::vector<FileEvent> closes;
  {
    std::lock_guard guard(lock_);
    for (const auto& [path, state] : open_) {
      const bool changed = ChangedSinceOpen(path, state);
      for (int i = 0; i < state.opens; ++i) closes.push_back(FileEvent::Close(path, changed));
    }
    open_.clear();
  }
  for (const FileEvent& close : closes) sink_.Report(close);
}

}  // namespace orv::tool
