// Marking the protected trees: every directory in them gets a mark in both
// fanotify groups, or in neither. A directory marked in the content group
// alone would have its opens held and copied while its closes are never
// seen; one marked in the notification group alone would have its files
// changed without a copy. When the kernel's marks run out, one mark per
// group on the whole file system stands in for the directories' marks there.
#ifndef ORV_TOOLS_ORV_PROTECT_TREE_MARKER_H_
#define ORV_TOOLS_ORV_PROTECT_TREE_MARKER_H_

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/unique_fd.h"

namespace orv::tool {

// True when path lies in the tree at root (both absolute): compared by
// components, so "/tmp/a" is not in "/tmp/ab"; "." and ".." are taken
// lexically, and trailing slashes mean nothing.
bool LiesInTree(std::string_view path, std::string_view root);
bool LiesInTrees(std::string_view path, const std::vector<std::filesystem::path>& roots);

// The marks of the two groups on one directory, given by its descriptor.
// The Add calls return 0 or an errno value.
class GroupMarks {
 public:
  virtual ~GroupMarks() = default;
  virtual int AddNotificationMark(int directory) = 0;
  virtual int AddContentMark(int directory) = 0;
  virtual void RemoveNotificationMark(int directory) = 0;
  // Marks, in both groups or in neither, the whole file system holding
  // directory. replaced is a marked directory on it, or -1: where the
  // kernel's marks ran out, its marks may be given up to make room.
  virtual int AddFileSystemMarks(int directory, int replaced) = 0;
};

// Marks directory in both groups, or leaves it in neither: 0, or the errno
// value of the mark that failed.
int MarkBoth(GroupMarks& marks, int directory);

// A directory that could not be marked.
struct MarkFailure {
  std::string directory;
  int error;  // errno value
};

// A file system watched whole since its marks ran out at directory, a
// directory of the tree at root.
struct WholeFileSystem {
  std::string directory;
  std::string root;
};

// Thread-safe.
class TreeMarker {
 public:
  // Opens every root (absolute, canonical directories); throws ToolError
  // naming one that cannot be opened. Marks go through marks.
  TreeMarker(const std::vector<std::filesystem::path>& roots, GroupMarks& marks);
  TreeMarker(const TreeMarker&) = delete;
  TreeMarker& operator=(const TreeMarker&) = delete;

  // Marks the directory at path and every directory below it, when path lies
  // in a root; a directory already marked is left as it is. Each is opened
  // beneath its root and never through a symbolic link: a user may swap a new
  // directory for a link to any directory of the system at any moment, and a
  // mark there would hold every open in it. When the kernel's marks run out
  // (ENOSPC, ENOMEM), the directory's file system is marked whole, once, and
  // every directory on it counts as watched from then on. A directory that
  // can be marked neither way is left unmarked with everything below it, and
  // returned. onFile, when given, is called for every entry of a directory
  // marked (or found marked) that is not a directory: its directory's
  // descriptor, its name and its path; what already lies in a new directory
  // is then seen as it is marked.
  using FileVisitor = std::function<void(int directory, const char* name, const std::string& path)>;
  std::vector<MarkFailure> MarkTree(const std::filesystem::path& path,
                                    const FileVisitor& onFile = {});

  // Called, without the marker's lock held, for each directory MarkTree
  // newly counts as watched (marked now, or on a file system watched whole):
  // its descriptor, valid during the call, and its path. Whatever else
  // watches the trees' directories follows the marks this way. Called before
  // any MarkTree.
  using DirectoryHook = std::function<void(int directory, const std::string& path)>;
  void OnNewDirectory(DirectoryHook hook) { onNewDirectory_ = std::move(hook); }

  // The directories at these paths, and everything below them, are never
  // marked nor visited (the daemon's own). Called before any MarkTree.
  void Exclude(std::vector<std::filesystem::path> directories) {
    excluded_ = std::move(directories);
  }
  // True when path is an excluded directory or lies below one.
  bool Excluded(std::string_view path) const;

  // The path of the watched directory on the file system fsid (as statfs
  // reports it) whose raw file handle (type, then bytes) is rawHandle, as the
  // events read so far have left it; nothing when it is not known. A
  // directory's record outlives the directory until its deletion is read,
  // so that the events of what it held, read after it is gone, still name
  // their paths.
  std::optional<std::string> PathOf(uint64_t fsid, std::string_view rawHandle);

  // The directory at path is gone, or moved away: its record and those of
  // every directory below it are dropped (the kernel drops the marks of
  // those gone), so that a directory made later under a name is marked.
  void Forget(const std::string& path);

  // Directories watched and not known to be gone; at most one per path.
  size_t DirectoryCount();

  // File systems watched whole.
  size_t WholeFileSystemCount();

  // True once any file system is watched whole: events from outside the
  // trees then arrive too. Lock-free.
  bool WatchesWholeFileSystems() const { return watchesWhole_.load(std::memory_order_relaxed); }

  // The file systems marked whole since the last call, to be told once.
  std::vector<WholeFileSystem> TakeNewWholeFileSystems();

  // The roots, in the order given.
  const std::vector<std::filesystem::path>& Roots() const { return roots_; }

  // Descriptors of the roots, in the order given; valid while the marker is.
  std::vector<int> RootDescriptors() const;

 private:
  // Marks the directory open at fd, named path, unless it is marked already:
  // 0, or the errno value of the failed mark. A directory is known by its
  // file handle, never by its name: a name removed and made again names a
  // new directory, without marks. *fresh: it was not known before.
  int MarkDirectory(int fd, const std::string& path, const std::filesystem::path& root,
                    bool* fresh);

  // Marks the file system of the directory open at fd (device) whole, its
  // directory marks having run out: 0, or the errno value. Called with lock_
  // held.
  int MarkWholeFileSystem(int fd, dev_t device, const std::string& path,
                          const std::filesystem::path& root);

  // Records the directory key as watched and named path, dropping what
  // either named before. Called with lock_ held.
  void Remember(const std::string& key, const std::string& path);

  // Drops the record at it. Called with lock_ held.
  void Drop(std::map<std::string, std::string>::iterator it);

  const std::vector<std::filesystem::path> roots_;
  std::vector<std::filesystem::path> excluded_;
  std::vector<UniqueFd> rootFds_;
  GroupMarks& marks_;
  DirectoryHook onNewDirectory_;
  std::mutex lock_;
  // Each path is held once: ordered, so that a directory's subtree is one
  // range; the index by key points into it.
  std::map<std::string, std::string> keyByPath_;
  std::unordered_map<std::string, std::map<std::string, std::string>::iterator> pathByKey_;
  std::set<dev_t> wholeFileSystems_;
  std::vector<WholeFileSystem> untold_;
  std::atomic<bool> watchesWhole_{false};
};

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_PROTECT_TREE_MARKER_H_
