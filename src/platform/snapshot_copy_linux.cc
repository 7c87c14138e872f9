#include "platform/snapshot_copy_linux.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/path.h"
#include "platform/safe_open.h"
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
    if (!Utf16ToFileName(name, &native) || native.empty() ||
        native.find('/') != std::string::npos) {
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

// Why the source could not be opened, as the log says it.
std::string FailureText(const SafeOpenFailure& failure) {
  using Reason = SafeOpenFailure::Reason;
  switch (failure.reason) {
    case Reason::kSystemError:
      return ErrorText(failure.error);
    case Reason::kNotAbsolute:
      return "not an absolute path";
    case Reason::kForeignLink:
      return "a symbolic link of another user's";
    case Reason::kUnreadableLink:
      return ErrorText(ENAMETOOLONG);
    case Reason::kNotAFileName:
    case Reason::kNotRegularFile:
      return "not a regular file";
    case Reason::kReplaced:
      return "replaced while it was opened";
  }
  return "unknown failure";
}

// A new file in directory, not yet visible to readers: an O_TMPFILE file where
// the file system supports it, else a file under a reserved partial name.
UniqueFd CreateUnnamedFile(int directory, const std::string& prefix, const std::string& suffix,
                           std::string* partialName) {
  UniqueFd file(::openat(directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, S_IRUSR | S_IWUSR));
  if (file.valid()) return file;
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return UniqueFd();
  static std::atomic<uint64_t> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name =
        prefix + std::to_string(::getpid()) + "-" + std::to_string(counter++) + suffix;
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
                                           const std::string& partialPrefix,
                                           const std::string& partialSuffix, std::string* failure) {
  const auto fail = [failure](const char* step, int error) -> std::unique_ptr<StagedCopy> {
    *failure = std::string(step) + ": " + ErrorText(error);
    return nullptr;
  };
  // Nobody else's link on the way may swap the source for another file (say
  // /etc/shadow) to have it copied into the store.
  struct stat opened {};
  SafeOpenFailure why;
  UniqueFd input = OpenRegularFileWithoutForeignLinks(source, &opened, &why);
  if (!input.valid()) {
    *failure = "source: " + FailureText(why);
    return nullptr;
  }
  UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return fail("snapshot directory", errno);
  std::string partialName;
  UniqueFd output = CreateUnnamedFile(dir.get(), partialPrefix, partialSuffix, &partialName);
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
