#include "platform/safe_open.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <deque>

namespace orv {
namespace {

using Reason = SafeOpenFailure::Reason;

// Links followed on one walk before it counts as a loop (the kernel's limit).
constexpr int kMaxLinks = 40;

UniqueFd Fail(SafeOpenFailure* failure, Reason reason, int error = 0, uid_t linkOwner = 0) {
  *failure = SafeOpenFailure{reason, error, linkOwner};
  return UniqueFd();
}

UniqueFd FailWithErrno(SafeOpenFailure* failure) {
  return Fail(failure, Reason::kSystemError, errno);
}

// Puts text's components (empty ones dropped) in front of parts, in order.
void PushFront(const std::string& text, std::deque<std::string>& parts) {
  std::deque<std::string> split;
  for (size_t at = 0; at <= text.size();) {
    const size_t slash = std::min(text.find('/', at), text.size());
    if (slash > at) split.push_back(text.substr(at, slash - at));
    at = slash + 1;
  }
  parts.insert(parts.begin(), split.begin(), split.end());
}

UniqueFd OpenRoot() { return UniqueFd(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)); }

// Only a link its owner could not have aimed at a place of its choosing on
// someone else's behalf is followed.
bool MayFollow(uid_t linkOwner) { return linkOwner == 0 || linkOwner == ::geteuid(); }

// The walk itself: one component at a time from the root, each link's target
// put in front of what is left (a relative target goes on from the link's
// directory, an absolute one from the root again).
UniqueFd WalkToDirectory(const std::string& path, SafeOpenFailure* failure) {
  std::deque<std::string> parts;
  PushFront(path, parts);
  UniqueFd directory = OpenRoot();
  if (!directory.valid()) return FailWithErrno(failure);
  int links = 0;
  while (!parts.empty()) {
    const std::string part = std::move(parts.front());
    parts.pop_front();
    if (part == ".") continue;
    UniqueFd next(::openat(directory.get(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!next.valid() || ::fstat(next.get(), &st) != 0) return FailWithErrno(failure);
    if (S_ISLNK(st.st_mode)) {
      if (!MayFollow(st.st_uid)) return Fail(failure, Reason::kForeignLink, 0, st.st_uid);
      if (++links > kMaxLinks) return Fail(failure, Reason::kSystemError, ELOOP);
      char target[PATH_MAX];
      const ssize_t length = ::readlinkat(next.get(), "", target, sizeof(target));
      if (length <= 0 || static_cast<size_t>(length) >= sizeof(target)) {
        return Fail(failure, Reason::kUnreadableLink);
      }
      const std::string destination(target, static_cast<size_t>(length));
      PushFront(destination, parts);
      if (destination[0] == '/') {
        directory = OpenRoot();
        if (!directory.valid()) return FailWithErrno(failure);
      }
      continue;
    }
    if (!S_ISDIR(st.st_mode)) return Fail(failure, Reason::kSystemError, ENOTDIR);
    directory = std::move(next);
  }
  return directory;
}

}  // namespace

UniqueFd OpenDirectoryWithoutForeignLinks(const std::string& path, SafeOpenFailure* failure) {
  if (!path.starts_with('/')) return Fail(failure, Reason::kNotAbsolute);
  // The usual case, no link on the way, in one call.
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS;
  const long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof(how));
  if (fd >= 0) return UniqueFd(static_cast<int>(fd));
  // ELOOP: a link on the way; ENOSYS, EPERM: a kernel or filter without openat2.
  if (errno != ELOOP && errno != ENOSYS && errno != EPERM) return FailWithErrno(failure);
  return WalkToDirectory(path, failure);
}

UniqueFd OpenRegularFileWithoutForeignLinks(const std::string& path, struct stat* st,
                                            SafeOpenFailure* failure) {
  if (!path.starts_with('/')) return Fail(failure, Reason::kNotAbsolute);
  const size_t slash = path.rfind('/');
  const std::string name = path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return Fail(failure, Reason::kNotAFileName);
  const UniqueFd directory =
      OpenDirectoryWithoutForeignLinks(slash == 0 ? "/" : path.substr(0, slash), failure);
  if (!directory.valid()) return UniqueFd();
  if (::fstatat(directory.get(), name.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) {
    return FailWithErrno(failure);
  }
  if (!S_ISREG(st->st_mode)) return Fail(failure, Reason::kNotRegularFile);
  UniqueFd file(::openat(directory.get(), name.c_str(),
                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat opened {};
  if (!file.valid() || ::fstat(file.get(), &opened) != 0) return FailWithErrno(failure);
  if (!S_ISREG(opened.st_mode) || opened.st_dev != st->st_dev || opened.st_ino != st->st_ino) {
    return Fail(failure, Reason::kReplaced);
  }
  *st = opened;
  return file;
}

}  // namespace orv
