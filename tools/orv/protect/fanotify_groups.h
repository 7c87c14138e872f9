// The daemon's two fanotify groups. The content group holds each open of a
// file in a marked directory until it is answered; the notification group
// reports modifications, closes after writing, deletions, renames and new
// directories, each naming a directory by its handle and the entry in it.
#ifndef ORV_TOOLS_ORV_PROTECT_FANOTIFY_GROUPS_H_
#define ORV_TOOLS_ORV_PROTECT_FANOTIFY_GROUPS_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"
#include "protect/event_inode.h"
#include "protect/stop_signal.h"
#include "protect/tree_marker.h"

namespace orv::tool {

// One event of the notification group, its names made paths. The kernel
// merges events of one name, so one event may report several things. A path
// the event does not carry, or that cannot be resolved, is empty.
struct Notification {
  bool directory = false;  // the entry is a directory
  bool created = false;
  bool modified = false;
  bool closedAfterWrite = false;
  bool deleted = false;
  bool renamed = false;
  pid_t pid = 0;        // the process that acted
  std::string path;     // the entry the event names
  std::string oldPath;  // a rename's source
  std::string newPath;  // a rename's target
  EventInode inode;     // the file the event is about
};

// The path by which fd was opened, as the kernel names it now; empty when
// it has none.
std::string FdPath(int fd);

class FanotifyGroups : public GroupMarks {
 public:
  using HeldOpenHandler = std::function<void(int fd, pid_t tid)>;
  using RefusedHandler = std::function<void(pid_t tid, int error)>;
  using NotificationHandler = std::function<void(const Notification&)>;
  using OverflowHandler = std::function<void()>;
  // The path of a directory known by its file system's id and its raw
  // handle (type, then bytes), or nothing.
  using DirectoryLookup =
      std::function<std::optional<std::string>(uint64_t fsid, std::string_view rawHandle)>;

  // Creates both groups. Throws ToolError when fanotify is unavailable (not
  // root, or a kernel without it).
  FanotifyGroups();
  FanotifyGroups(const FanotifyGroups&) = delete;
  FanotifyGroups& operator=(const FanotifyGroups&) = delete;

  // Marks through the descriptor, never a path: the kernel marks what was
  // opened.
  int AddNotificationMark(int directory) override;
  int AddContentMark(int directory) override;
  void RemoveNotificationMark(int directory) override;
  // One mark per group on the whole file system; where no mark is left, the
  // marks of replaced (a directory on it, or -1) make room.
  int AddFileSystemMarks(int directory, int replaced) override;

  // The bytes of notifications queued and not read yet: how far the reader
  // is behind. Thread-safe.
  size_t NotificationBacklog() const;

  // Answers the held open whose descriptor is fd (letting it through) and
  // closes fd.
  void Allow(int fd);

  // Makes both readers return: ReadHeldOpens at once, ReadNotifications once
  // it has read what was already queued.
  void RequestStop();

  // Until RequestStop, passes each held open to onOpen, which must Allow it,
  // and must never wait for a worker: the engine's own opens of the files it
  // copies come back here, and must be answered while a worker waits for the
  // copy. Never waits on one file: an open whose file cannot be opened at
  // once (a write lease, a FIFO without a writer) is refused by the kernel,
  // and passed to onRefused with the errno value where the kernel reports it.
  // A read that fails (descriptors run out, on kernels that cannot say so per
  // event) is passed to onRefused with thread 0. Calls onOverflow for each
  // overflow of the kernel's queue.
  void ReadHeldOpens(const HeldOpenHandler& onOpen, const RefusedHandler& onRefused,
                     const OverflowHandler& onOverflow);

  // Until RequestStop, and then until the queue is empty (so that closes of
  // files opened before the stop settle their entries), passes each event to
  // onEvent, or calls onOverflow when the kernel's queue overflowed. A
  // directory is named by known, as the events read so far have left it (it
  // may be gone by now: the deletions of what it held are read after it has
  // been removed); one known does not name has its handle opened through
  // mounts (descriptors on the file systems of the trees).
  void ReadNotifications(const std::vector<int>& mounts, const DirectoryLookup& known,
                         const NotificationHandler& onEvent, const OverflowHandler& onOverflow);

 private:
  UniqueFd permission_, notification_;
  StopSignal stop_;
};

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_PROTECT_FANOTIFY_GROUPS_H_
