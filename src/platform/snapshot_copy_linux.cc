#include "platform/snapshot_copy_linux.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/openat2.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>

#include "platform/path.h"
#include "platform/text.h"
#include "platform/unique_fd.h"

namespace orv {
namespace {

class LinuxStagedCopy final : public StagedCopy {
 public:
  // partialName: the file's temporary name in the directory, or empty when the
  // file has none (O_TMPFILE).
  LinuxStagedCopy(UniqueFd directory, UniqueFd file, std::string partialName)
      : directory_(std::move(directory)),
        file_(std::move(file)),
        partialName_(std::move(partialName)) {}

  int fd() const { return file_.get(); }

  ~LinuxStagedCopy() override {
    if (!partialName_.empty()) ::unlinkat(directory_.get(), partialName_.c_str(), 0);
  }

  PublishResult PublishAs(const std::u16string& name) override {
    std::string native;
    if (!Utf16ToUtf8(name, &native) || native.empty() || native.find('/') != std::string::npos) {
      return PublishResult::kFailed;
    }
    int linked;
    if (partialName_.empty()) {
      // Naming an O_TMPFILE file: this form needs no capability.
      const std::string self = "/proc/self/fd/" + std::to_string(file_.get());
      linked =
          ::linkat(AT_FDCWD, self.c_str(), directory_.get(), native.c_str(), AT_SYMLINK_FOLLOW);
    } else {
      linked =
          ::linkat(directory_.get(), partialName_.c_str(), directory_.get(), native.c_str(), 0);
    }
    if (linked != 0) return errno == EEXIST ? PublishResult::kNameTaken : PublishResult::kFailed;
    if (!partialName_.empty()) {
      ::unlinkat(directory_.get(), partialName_.c_str(), 0);
      partialName_.clear();
    }
    return PublishResult::kPublished;
  }

 private:
  UniqueFd directory_;
  UniqueFd file_;
  std::string partialName_;
};

// strerror's text, thread-safe.
std::string ErrorText(int error) {
  const char* description = ::strerrordesc_np(error);
  return description != nullptr ? description : "error " + std::to_string(error);
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Copies source's first size bytes (its size when opened: a file that keeps
// growing must not keep the copy going) to target, fastest way first: a
// reflink shares the blocks; copy_file_range copies inside the kernel; a plain
// loop works everywhere (across file systems both fast ways fail with EXDEV).
bool CopyContent(int source, int target, uint64_t size) {
  if (::ioctl(target, FICLONE, source) == 0) return true;
  uint64_t left = size;
  bool kernelCopy = true;
  while (kernelCopy) {
    if (left == 0) return true;
    const ssize_t n = ::copy_file_range(source, nullptr, target, nullptr,
                                        static_cast<size_t>(std::min<uint64_t>(left, 1 << 30)), 0);
    if (n > 0) {
      left -= static_cast<uint64_t>(n);
      continue;
    }
    if (n == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
    kernelCopy = false;
  }
  // Whatever the kernel copy wrote before it gave up stays; carry on from
  // where both offsets now are.
  char buffer[1 << 16];
  while (left > 0) {
    const ssize_t n =
        ::read(source, buffer, static_cast<size_t>(std::min<uint64_t>(left, sizeof(buffer))));
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (!WriteAll(target, buffer, static_cast<size_t>(n))) return false;
    left -= static_cast<uint64_t>(n);
  }
  return true;
}

// The directory at path (every component a directory), reached one component
// at a time from the root: a symbolic link on the way is followed only when it
// belongs to root or to this process's user, so that nobody else can swap a
// directory of a source's path for a link and have another file (say
// /etc/shadow) copied into the store.
UniqueFd WalkToDirectory(const std::string& path, std::string* failure) {
  const auto fail = [failure](const std::string& reason) {
    *failure = reason;
    return UniqueFd();
  };
  std::deque<std::string> parts;
  const auto pushFront = [&parts](const std::string& text) {
    std::deque<std::string> split;
    for (size_t at = 0; at <= text.size();) {
      const size_t slash = std::min(text.find('/', at), text.size());
      if (slash > at) split.push_back(text.substr(at, slash - at));
      at = slash + 1;
    }
    parts.insert(parts.begin(), split.begin(), split.end());
  };
  pushFront(path);
  UniqueFd dir(::open(path.starts_with('/') ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return fail(ErrorText(errno));
  const uid_t self = ::geteuid();
  int links = 0;
  while (!parts.empty()) {
    const std::string name = std::move(parts.front());
    parts.pop_front();
    if (name == ".") continue;
    UniqueFd next(::openat(dir.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!next.valid() || ::fstat(next.get(), &st) != 0) return fail(ErrorText(errno));
    if (S_ISLNK(st.st_mode)) {
      if (st.st_uid != 0 && st.st_uid != self) return fail("a symbolic link of another user's");
      if (++links > 40) return fail(ErrorText(ELOOP));
      char target[4096];
      const ssize_t length = ::readlinkat(next.get(), "", target, sizeof(target));
      if (length <= 0 || static_cast<size_t>(length) == sizeof(target)) {
        return fail(ErrorText(ENAMETOOLONG));
      }
      const std::string text(target, static_cast<size_t>(length));
      pushFront(text);
      if (text.starts_with('/')) dir.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
      continue;
    }
    if (!S_ISDIR(st.st_mode)) return fail(ErrorText(ENOTDIR));
    dir = std::move(next);
  }
  return dir;
}

// The source's directory: in one call when no symbolic link lies on the way
// (the usual case), else by the walk above.
UniqueFd OpenSourceDirectory(const std::string& path, std::string* failure) {
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS;
  const long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof(how));
  if (fd >= 0) return UniqueFd(static_cast<int>(fd));
  // ELOOP: a link on the way; ENOSYS, EPERM: a kernel or filter without openat2.
  if (errno != ELOOP && errno != ENOSYS && errno != EPERM) {
    *failure = ErrorText(errno);
    return UniqueFd();
  }
  return WalkToDirectory(path, failure);
}

// The source opened for reading; never a symbolic link itself, never anything
// but a regular file. *st receives what was opened.
UniqueFd OpenSource(const std::string& path, struct stat* st, std::string* failure) {
  const size_t slash = path.rfind('/');
  const std::string directoryPath =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") {
    *failure = "not a regular file";
    return UniqueFd();
  }
  const UniqueFd dir = OpenSourceDirectory(directoryPath, failure);
  if (!dir.valid()) return UniqueFd();
  // Looked at before it is opened: opening a device can have effects of its own.
  if (::fstatat(dir.get(), name.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) {
    *failure = ErrorText(errno);
    return UniqueFd();
  }
  if (!S_ISREG(st->st_mode)) {
    *failure = "not a regular file";
    return UniqueFd();
  }
  UniqueFd file(
      ::openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat opened {};
  if (!file.valid() || ::fstat(file.get(), &opened) != 0) {
    *failure = ErrorText(errno);
    return UniqueFd();
  }
  if (!S_ISREG(opened.st_mode) || opened.st_dev != st->st_dev || opened.st_ino != st->st_ino) {
    *failure = "replaced while it was opened";
    return UniqueFd();
  }
  *st = opened;
  return file;
}

// A new file in directory, not yet visible to readers: an O_TMPFILE file where
// the file system supports it, else a file under a reserved partial name.
UniqueFd CreateUnnamedFile(int directory, std::string* partialName) {
  UniqueFd file(::openat(directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, S_IRUSR | S_IWUSR));
  if (file.valid()) return file;
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return UniqueFd();
  static std::atomic<uint64_t> counter{0};
  std::string prefix;
  Utf16ToUtf8(kPartialCopyPrefix, &prefix);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = prefix + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    file.reset(::openat(directory, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                        S_IRUSR | S_IWUSR));
    if (file.valid()) {
      *partialName = name;
      return file;
    }
    if (errno != EEXIST) break;
  }
  return UniqueFd();
}

}  // namespace

std::unique_ptr<StagedCopy> StageCopyLinux(const std::string& source, const std::string& directory,
                                           std::string* failure) {
  const auto fail = [failure](const char* step, int error) -> std::unique_ptr<StagedCopy> {
    *failure = std::string(step) + ": " + ErrorText(error);
    return nullptr;
  };
  struct stat opened {};
  std::string why;
  UniqueFd input = OpenSource(source, &opened, &why);
  if (!input.valid()) {
    *failure = "source: " + why;
    return nullptr;
  }
  UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return fail("snapshot directory", errno);
  std::string partialName;
  UniqueFd output = CreateUnnamedFile(dir.get(), &partialName);
  if (!output.valid()) return fail("copy", errno);
  // From here on the staged copy owns the partial name and removes it on failure.
  auto staged = std::make_unique<LinuxStagedCopy>(std::move(dir), std::move(output), partialName);
  if (!CopyContent(input.get(), staged->fd(), static_cast<uint64_t>(opened.st_size)) ||
      ::fchmod(staged->fd(), opened.st_mode & 0777) != 0) {
    return fail("copy", errno);
  }
  return staged;
}

}  // namespace orv
