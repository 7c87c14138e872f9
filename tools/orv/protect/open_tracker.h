// What the daemon knows of the files opened for writing in the trees: it
// turns the kernel's opens, modifications, closes, deletions and renames into
// the events the engine takes, and decides whether a close changed the file.
#ifndef ORV_TOOLS_ORV_PROTECT_OPEN_TRACKER_H_
#define ORV_TOOLS_ORV_PROTECT_OPEN_TRACKER_H_

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace orv::tool {

// What the engine is told about a file.
struct FileEvent {
  enum class Kind { kOpenForWriting, kClose, kDelete, kRename };
  Kind kind;
  std::string path;
  bool changed = false;  // kClose: the file changed since its open
  std::string target;    // kRename: the new name
  // kOpenForWriting: a descriptor of the file opened, lent while the event is
  // reported (the copy reads it, never the path); -1 when there is none.
  int descriptor = -1;

  static FileEvent OpenForWriting(const std::string& path, int descriptor = -1) {
    return {Kind::kOpenForWriting, path, false, {}, descriptor};
  }
  static FileEvent Close(const std::string& path, bool changed) {
    return {Kind::kClose, path, changed, {}, -1};
  }
  static FileEvent Delete(const std::string& path) { return {Kind::kDelete, path, false, {}, -1}; }
  static FileEvent Rename(const std::string& from, const std::string& to) {
    return {Kind::kRename, from, false, to, -1};
  }
};

// Where the tracker's events go (the engine, or a test). Called without the
// tracker's lock held, from the threads that call the tracker.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void Report(const FileEvent& event) = 0;
};

// The parts of a file's status that a write moves.
struct FileStamp {
  int64_t size = 0;
  timespec mtime{};
  timespec ctime{};
};

FileStamp StampOf(const struct stat& st);

// The stamp of the file at path now; nothing when it cannot be read.
std::optional<FileStamp> ProbeFile(const std::string& path);

// Whether a file that had stamp atOpen changed, now that its stamp is now: a
// file gone or unreadable counts as changed. Writes through a shared mapping
// give no modify event, so a size, mtime or ctime that moved counts too.
bool ChangedSince(const FileStamp& atOpen, const std::optional<FileStamp>& now);

// Thread-safe.
class OpenTracker {
 public:
  using Probe = std::function<std::optional<FileStamp>(const std::string&)>;

  // Events go to sink; probe gives a file's current stamp.
  explicit OpenTracker(EventSink& sink, Probe probe = ProbeFile);
  OpenTracker(const OpenTracker&) = delete;
  OpenTracker& operator=(const OpenTracker&) = delete;

  // A held open for writing of path, whose stamp was atOpen: reports the open
  // (the engine copies the file before it returns, from descriptor when it is
  // not -1: the file opened, lent for the call).
  void Opened(const std::string& path, const FileStamp& atOpen, int descriptor = -1);

  // A truncate by path (which opens nothing) is about to change path:
  // reports it as an open for writing, copied from descriptor (the file, lent
  // for the call), whose close follows at once, changed. The opens tracked
  // are left as they are: the truncate has no close of its own to wait for.
  void Truncated(const std::string& path, int descriptor);

  // The kernel saw a write to path.
  void Modified(const std::string& path);

  // A close after writing of path: reports the close, changed when the file
  // changed since its oldest open not closed yet (or when no open of it is
  // known: the daemon cannot tell, and a change not reported loses an edition).
  void Closed(const std::string& path);

  // path was removed: reports the deletion and forgets its opens. True when
  // an open of it not closed yet saw no write: the copy that open made holds
  // what the file had at its deletion.
  bool Deleted(const std::string& path);

  // from was renamed to: reports the rename.
  void Renamed(const std::string& from, const std::string& to);

  // The kernel merges a close into an unread close of the same file, so two
  // quick saves can leave an open without its close. Reports one close for
  // every open not closed yet, each by what the file shows now, and forgets
  // them. Called before the engine stops, once nothing else calls the tracker.
  void SettleMergedCloses();

 private:
  struct OpenState {
    FileStamp atOpen;
    bool modified = false;
    int opens = 0;  // opens for writing not closed yet
  };

  // The one rule for "the file changed since the open".
  bool ChangedSinceOpen(const std::string& path, const OpenState& state) const;

  EventSink& sink_;
  const Probe probe_;
  std::mutex lock_;
  std::map<std::string, OpenState> open_;
};

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_PROTECT_OPEN_TRACKER_H_
