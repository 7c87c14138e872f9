#include "protect/tree_marker.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

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

// What names the directory open at fd for as long as it exists, and no
// other directory after it: its file handle (which carries the inode's
// generation), or, on a file system without handles, its device and inode.
std::string DirectoryKey(int fd) {
  std::vector<uint64_t> storage((sizeof(file_handle) + MAX_HANDLE_SZ) / sizeof(uint64_t) + 1);
  auto* handle = reinterpret_cast<file_handle*>(storage.data());
  handle->handle_bytes = MAX_HANDLE_SZ;
  int mount = 0;
  if (::name_to_handle_at(fd, "", handle, &mount, AT_EMPTY_PATH) == 0) {
    return "h" + std::to_string(mount) + ":" + std::to_string(handle->handle_type) + ":" +
           std::string(reinterpret_cast<const char*>(handle->f_handle), handle->handle_bytes);
  }
  struct stat st {};
  ::fstat(fd, &st);
  return "i" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

}  // namespace

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

int TreeMarker::MarkDirectory(int fd, const std::string& path) {
  const std::string key = DirectoryKey(fd);
  std::lock_guard guard(lock_);
  if (pathByKey_.count(key) != 0) {
    Remember(key, path);  // moved, perhaps
    return 0;
  }
  const int error = MarkBoth(marks_, fd);
  if (error == 0) Remember(key, path);
  return error;
}

void TreeMarker::Remember(const std::string& key, const std::string& path) {
  if (const auto old = pathByKey_.find(key); old != pathByKey_.end()) keyByPath_.erase(old->second);
  if (const auto old = keyByPath_.find(path); old != keyByPath_.end())
    pathByKey_.erase(old->second);
  pathByKey_[key] = path;
  keyByPath_[path] = key;
}

void TreeMarker::Forget(const std::string& path) {
  std::lock_guard guard(lock_);
  if (const auto it = keyByPath_.find(path); it != keyByPath_.end()) {
    pathByKey_.erase(it->second);
    keyByPath_.erase(it);
  }
}

std::vector<MarkFailure> TreeMarker::MarkTree(const std::filesystem::path& path) {
  std::vector<MarkFailure> failures;
  for (size_t i = 0; i < rootFds_.size(); ++i) {
    const std::filesystem::path& root = roots_[i];
    const std::filesystem::path relative = path.lexically_relative(root);
    if (relative.empty() || *relative.begin() == "..") continue;
    std::vector<std::filesystem::path> pending{relative};
    while (!pending.empty()) {
      const std::filesystem::path next = std::move(pending.back());
      pending.pop_back();
      UniqueFd fd = OpenBeneath(rootFds_[i].get(), next);
      if (!fd.valid()) continue;  // gone, or no longer a directory
      const std::string name = (root / next).lexically_normal().string();
      if (const int error = MarkDirectory(fd.get(), name); error != 0) {
        failures.push_back({name, error});
        continue;
      }
      const auto directory = ListDirectory(fd.get());
      if (directory == nullptr) continue;
      while (const dirent* entry = ::readdir(directory.get())) {
        const std::string_view entryName = entry->d_name;
        if (entryName == "." || entryName == "..") continue;
        if (entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN) {
          pending.push_back(next / entry->d_name);
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

std::vector<int> TreeMarker::RootDescriptors() const {
  std::vector<int> fds;
  for (const UniqueFd& fd : rootFds_) fds.push_back(fd.get());
  return fds;
}

}  // namespace orv::tool
