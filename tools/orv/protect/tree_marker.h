// Marking the protected trees: every directory in them gets a mark in both
// fanotify groups, or in neither. A directory marked in the content group
// alone would have its opens held and copied while its closes are never
// seen; one marked in the notification group alone would have its files
// changed without a copy.
#ifndef ORV_TOOLS_ORV_PROTECT_TREE_MARKER_H_
#define ORV_TOOLS_ORV_PROTECT_TREE_MARKER_H_

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace orv::tool {

// The marks of the two groups on one directory, given by its descriptor.
// The Add calls return 0 or an errno value.
class GroupMarks {
 public:
  virtual ~GroupMarks() = default;
  virtual int AddNotificationMark(int directory) = 0;
  virtual int AddContentMark(int directory) = 0;
  virtual void RemoveNotificationMark(int directory) = 0;
};

// Marks directory in both groups, or leaves it in neither: 0, or the errno
// value of the mark that failed.
int MarkBoth(GroupMarks& marks, int directory);

// A directory that could not be marked.
struct MarkFailure {
  std::string directory;
  int error;  // errno value
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
  // mark there would hold every open in it. A directory that cannot be marked
  // is left unmarked with everything below it, and returned.
  std::vector<MarkFailure> MarkTree(const std::filesystem::path& path);

  // The directory at path is gone: its record is dropped (the kernel drops
  // its marks), so that a directory made later under the name is marked.
  void Forget(const std::string& path);

  // Directories marked and not known to be gone; at most one per path.
  size_t DirectoryCount();

  // Descriptors of the roots, in the order given; valid while the marker is.
  std::vector<int> RootDescriptors() const;

 private:
  // Marks the directory open at fd, named path, unless it is marked already:
  // 0, or the errno value of the failed mark. A directory is known by its
  // file handle, never by its name: a name removed and made again names a
  // new directory, without marks.
  int MarkDirectory(int fd, const std::string& path);

  // Records the directory key as marked and named path, dropping what either
  // named before. Called with lock_ held.
  void Remember(const std::string& key, const std::string& path);

  const std::vector<std::filesystem::path> roots_;
  std::vector<UniqueFd> rootFds_;
  GroupMarks& marks_;
  std::mutex lock_;
  std::map<std::string, std::string> pathByKey_, keyByPath_;
};

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_PROTECT_TREE_MARKER_H_
