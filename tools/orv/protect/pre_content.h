// Copies before a truncate by path. truncate(2) opens nothing, so the
// content group never sees it; a pre-content group (Linux 6.14 or later, on
// file systems that allow it: ext4, xfs, btrfs, not tmpfs) is asked before
// the size changes. The same group is also asked before every read, write,
// fallocate and page-in of a marked file: those are answered at once, and
// only a truncate by path waits for the caller's copy.
#ifndef ORV_TOOLS_ORV_PROTECT_PRE_CONTENT_H_
#define ORV_TOOLS_ORV_PROTECT_PRE_CONTENT_H_

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"
#include "protect/stop_signal.h"

namespace orv::tool {

// The new length of the truncate by path a thread is blocked in, read from
// the text of its /proc/<tid>/syscall ("number arg1 arg2 ..."); nullopt when
// the text names another system call or cannot be read. The event's range
// cannot tell: the kernel rounds it to pages, so a truncate to 50000 and a
// one-byte read at 50000 both report [49152, 53248).
std::optional<uint64_t> TruncateLength(std::string_view syscallText);

class PreContentGuard {
 public:
  // fd: the truncated file, opened read-only by the kernel before the size
  // changes (its old content is readable); owned by the guard, valid during
  // the call. tid: the truncating thread. length: the new length.
  using TruncateHandler = std::function<void(int fd, pid_t tid, uint64_t length)>;

  // True when this kernel has pre-content events; otherwise false, with the
  // reason in *why (when why is not null). Needs root to find out.
  static bool Supported(std::string* why);

  // Creates the group. Throws ToolError when it cannot be made (not root, or
  // a kernel without pre-content events).
  PreContentGuard();
  PreContentGuard(const PreContentGuard&) = delete;
  PreContentGuard& operator=(const PreContentGuard&) = delete;

  // Marks the files directly in directory (not those of its subdirectories),
  // never following a final symbolic link: 0, or the errno value
  // (EOPNOTSUPP on a file system without pre-content events, such as tmpfs).
  int Mark(const std::string& directory);
  // Marks the files directly in the directory open at fd, as Mark above:
  // what a walk that opened the directory safely marks, so that no name is
  // resolved again.
  int Mark(int directory);

  // Until RequestStop, answers every pre-content event: a truncate by path
  // is passed to onTruncate first and let through when it returns (so the
  // truncating thread waits for it, and so does every other event of the
  // group: onTruncate must not wait for anything a marked file's reader or
  // writer may hold); everything else is let through at once. An event whose
  // descriptor the kernel could not open was answered by the kernel already.
  void Read(const TruncateHandler& onTruncate);

  // Makes Read return. Thread-safe. The marks stay until the guard is
  // destroyed: every read and write of a marked file waits until then.
  void RequestStop();

  // Events answered so far, and how many of them were truncates. Read by
  // any thread.
  uint64_t EventCount() const { return events_.load(std::memory_order_relaxed); }
  uint64_t TruncateCount() const { return truncates_.load(std::memory_order_relaxed); }

 private:
  // Passes the event to onTruncate when it is a truncate by path, then
  // answers it.
  void Answer(int fd, pid_t tid, uint64_t count, const TruncateHandler& onTruncate);

  // The one mark of both Marks: path relative to the directory open at
  // directory, or that directory itself when path is null.
  int MarkAt(int directory, const char* path);

  UniqueFd group_;
  StopSignal stop_;
  std::atomic<uint64_t> events_{0}, truncates_{0};
  const uint64_t pageSize_;
};

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_PROTECT_PRE_CONTENT_H_
