#include "protect/tree_marker.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "protect/event_inode.h"
#include "tool_error.h"

namespace orv::tool {
namespace {

struct CloseDirectory {
  void operator()(DIR* directory) const { ::closedir(directory); }
};

// The directory at relative beneath root, reached through no symbolic link.
UniqueFd OpenBeneath(int root, const std::filesystem::path& relative) {
  open_how how{};
  how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  return UniqueFd(
      static_cast<int>(::syscall(SYS_openat2, root, relative.c_str(), &how, sizeof(how))));
}

// A listing of the directory open at fd, through a descriptor of its own
// (the listing closes it); null when it cannot be read.
std::unique_ptr<DIR, CloseDirectory> ListDirectory(int fd) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return nullptr;
  DIR* directory = ::fdopendir(copy);
  if (directory == nullptr) ::close(copy);
  return std::unique_ptr<DIR, CloseDirectory>(directory);
}

// The key of a directory by its file system's id and its raw handle.
std::string HandleKey(uint64_t fsid, std::string_view rawHandle) {
  std::string key = "h" + std::to_string(fsid) + ":";
  key.append(rawHandle);
  return key;
}

// What names the directory open at fd for as long as it exists, and no
// other directory after it: its file system's id and its file handle (which
// carries the inode's generation), as an event names the directory; on a
// file system without handles, its device and inode.
std::string DirectoryKey(int fd) {
  if (const std::optional<std::string> raw = RawHandleOf(fd, "", AT_EMPTY_PATH)) {
    if (const uint64_t fsid = FileSystemIdOf(fd); fsid != 0) return HandleKey(fsid, *raw);
  }
  struct stat st {};
  ::fstat(fd, &st);
  return "i" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

// The components of path, "." and ".." taken lexically.
std::vector<std::string_view> Components(std::string_view path) {
  std::vector<std::string_view> components;
  while (!path.empty()) {
    const size_t slash = path.find('/');
    const std::string_view component = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      if (!components.empty()) components.pop_back();
      continue;
    }
    components.push_back(component);
  }
  return components;
}

}  // namespace

bool LiesInTree(std::string_view path, std::string_view root) {
  if (path.empty() || path.front() != '/' || root.empty() || root.front() != '/') return false;
  const std::vector<std::string_view> inPath = Components(path), inRoot = Components(root);
  return inRoot.size() <= inPath.size() && std::equal(inRoot.begin(), inRoot.end(), inPath.begin());
}

bool LiesInTrees(std::string_view path, const std::vector<std::filesystem::path>& roots) {
  return std::any_of(roots.begin(), roots.end(), [&](const std::filesystem::path& root) {
    return LiesInTree(path, root.native());
  });
}

int MarkBoth(GroupMarks& marks, int directory) {
  // The notification mark first: alone for a moment, it only shows closes
  // the engine has no open for, which it ignores.
  if (const int error = marks.AddNotificationMark(directory); error != 0) return error;
  if (const int error = marks.AddContentMark(directory); error != 0) {
    marks.RemoveNotificationMark(directory);
    return error;
  }
  return 0;
}

TreeMarker::TreeMarker(const std::vector<std::filesystem::path>& roots, GroupMarks& marks)
    : roots_(roots), marks_(marks) {
  for (const auto& root : roots_) {
    UniqueFd fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) throw ToolError("cannot open " + root.string() + ": " + std::strerror(errno));
    rootFds_.push_back(std::move(fd));
  }
}

int TreeMarker::MarkDirectory(int fd, const std::string& path, const std::filesystem::path& root,
                              bool* fresh) {
  const std::string key = DirectoryKey(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return errno;
  std::lock_guard guard(lock_);
  *fresh = pathByKey_.count(key) == 0;
  // Known already (moved, perhaps), or on a file system watched whole.
  if (!*fresh || wholeFileSystems_.count(st.st_dev) != 0) {
    Remember(key, path);
    return 0;
  }
  int error = MarkBoth(marks_, fd);
  if (error == ENOSPC || error == ENOMEM) {
    // Out of marks: the file system watched whole, or the first error.
    if (MarkWholeFileSystem(fd, st.st_dev, path, root) == 0) error = 0;
  }
  if (error == 0) Remember(key, path);
  return error;
}

int TreeMarker::MarkWholeFileSystem(int fd, dev_t device, const std::string& path,
                                    const std::filesystem::path& root) {
  // The parent, marked before its child, may give up its marks to make room;
  // the file-system marks cover it.
  UniqueFd parent(::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st {};
  if (parent.valid() && (::fstat(parent.get(), &st) != 0 || st.st_dev != device ||
                         pathByKey_.count(DirectoryKey(parent.get())) == 0)) {
    parent = UniqueFd();
  }
  if (const int error = marks_.AddFileSystemMarks(fd, parent.valid() ? parent.get() : -1);
      error != 0) {
    return error;
  }
  wholeFileSystems_.insert(device);
  untold_.push_back({path, root.string()});
  watchesWhole_.store(true, std::memory_order_relaxed);
  return 0;
}

void TreeMarker::Remember(const std::string& key, const std::string& path) {
  if (const auto old = pathByKey_.find(key); old != pathByKey_.end()) Drop(old->second);
  if (const auto old = keyByPath_.find(path); old != keyByPath_.end()) Drop(old);
  const auto it = keyByPath_.emplace(path, key).first;
  pathByKey_.emplace(key, it);
}

void TreeMarker::Drop(std::map<std::string, std::string>::iterator it) {
  pathByKey_.erase(it->second);
  keyByPath_.erase(it);
}

std::optional<std::string> TreeMarker::PathOf(uint64_t fsid, std::string_view rawHandle) {
  std::lock_guard guard(lock_);
  const auto it = pathByKey_.find(HandleKey(fsid, rawHandle));
  if (it == pathByKey_.end()) return std::nullopt;
  return it->second->first;
}

void TreeMarker::Forget(const std::string& path) {
  std::lock_guard guard(lock_);
  if (const auto it = keyByPath_.find(path); it != keyByPath_.end()) Drop(it);
  // The subtree: once its top is gone or moved, the names below it are stale
  // (their own deletions may never resolve to a path).
  const std::string prefix = path + "/";
  for (auto it = keyByPath_.lower_bound(prefix);
       it != keyByPath_.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
    Drop(it++);
  }
}

bool TreeMarker::Excluded(std::string_view path) const { return LiesInTrees(path, excluded_); }

std::vector<MarkFailure> TreeMarker::MarkTree(const std::filesystem::path& path,
                                              const FileVisitor& onFile) {
  std::vector<MarkFailure> failures;
  for (size_t i = 0; i < rootFds_.size(); ++i) {
    const std::filesystem::path& root = roots_[i];
    if (!LiesInTree(path.native(), root.native())) continue;
    std::vector<std::filesystem::path> pending{path.lexically_normal().lexically_relative(root)};
    while (!pending.empty()) {
      const std::filesystem::path next = std::move(pending.back());
      pending.pop_back();
      UniqueFd fd = OpenBeneath(rootFds_[i].get(), next);
      if (!fd.valid()) continue;  // gone, or no longer a directory
      std::string name = (root / next).lexically_normal().string();
      // The root normalised keeps a trailing slash ("/tree/" for "/tree/."):
      // a directory is recorded under the name events give it.
      if (name.size() > 1 && name.back() == '/') name.pop_back();
      if (Excluded(name)) continue;
      bool fresh = false;
      if (const int error = MarkDirectory(fd.get(), name, root, &fresh); error != 0) {
        failures.push_back({name, error});
        continue;
      }
      if (fresh && onNewDirectory_) onNewDirectory_(fd.get(), name);
      const auto directory = ListDirectory(fd.get());
      if (directory == nullptr) continue;
      const std::string prefix = name == "/" ? name : name + "/";
      while (const dirent* entry = ::readdir(directory.get())) {
        const std::string_view entryName = entry->d_name;
        if (entryName == "." || entryName == "..") continue;
        if (entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN) {
          pending.push_back(next / entry->d_name);
        }
        if (onFile && entry->d_type != DT_DIR) {
          onFile(fd.get(), entry->d_name, prefix + entry->d_name);
        }
      }
    }
    return failures;
  }
  return failures;
}

size_t TreeMarker::DirectoryCount() {
  std::lock_guard guard(lock_);
  return pathByKey_.size();
}

size_t TreeMarker::WholeFileSystemCount() {
  std::lock_guard guard(lock_);
  return wholeFileSystems_.size();
}

std::vector<WholeFileSystem> TreeMarker::TakeNewWholeFileSystems() {
  std::lock_guard guard(lock_);
  return std::exchange(untold_, {});
}

std::vector<int> TreeMarker::RootDescriptors() const {
  std::vector<int> fds;
  for (const UniqueFd& fd : rootFds_) fds.push_back(fd.get());
  return fds;
}

}  // namespace orv::tool
