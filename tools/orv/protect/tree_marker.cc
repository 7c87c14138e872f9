#include "protect/tree_marker.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

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
  std::lock_guard guard(lock_);
  if (directories_.count(path) != 0) return 0;
  const int error = MarkBoth(marks_, fd);
  if (error == 0) directories_.insert(path);
  return error;
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
  return directories_.size();
}

std::vector<int> TreeMarker::RootDescriptors() const {
  std::vector<int> fds;
  for (const UniqueFd& fd : rootFds_) fds.push_back(fd.get());
  return fds;
}

}  // namespace orv::tool
