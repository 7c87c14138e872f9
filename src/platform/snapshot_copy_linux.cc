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

FileState StateOf(const struct stat& status) {
  constexpr uint64_t kUnixEpochIn100ns = 116444736000000000ull;
  const auto in100ns = [](const timespec& t) {
    return kUnixEpochIn100ns + static_cast<uint64_t>(t.tv_sec) * 10000000ull +
           static_cast<uint64_t>(t.tv_nsec) / 100;
  };
  return FileState{static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino),
                   static_cast<uint64_t>(status.st_size), in100ns(status.st_mtim),
                   in100ns(status.st_ctim)};
}

namespace {

// A name that reaches the file open at fd, whatever names it has (or none).
std::string ProcSelfFd(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

class LinuxStagedCopy final : public StagedCopy {
 public:
  // partialName: the file's temporary name in the directory, or empty when the
  // file has none (O_TMPFILE).
  LinuxStagedCopy(UniqueFd directory, UniqueFd file, std::string partialName,
                  const struct stat& source)
      : directory_(std::move(directory)),
        file_(std::move(file)),
        partialName_(std::move(partialName)),
        source_(StateOf(source)) {}

  int fd() const { return file_.get(); }

  FileState SourceState() const override { return source_; }

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
      const std::string self = ProcSelfFd(file_.get());
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
  FileState source_;
};

// strerror's text, thread-safe.
std::string ErrorText(int error) {
  const char* description = ::strerrordesc_np(error);
  return description != nullptr ? description : "error " + std::to_string(error);
}

// Copies length bytes at offset from source to the same offset in target; the
// bytes copied, fewer when the source ended first (it shrank meanwhile), or
// -1 on failure. Inside the kernel while it can (*kernelCopy), with a plain
// loop once it cannot (across file systems it fails with EXDEV).
int64_t CopyRange(int source, int target, off_t offset, uint64_t length, bool* kernelCopy) {
  uint64_t done = 0;
  while (*kernelCopy && done < length) {
    off_t in = offset + static_cast<off_t>(done);
    off_t out = in;
    const ssize_t n =
        ::copy_file_range(source, &in, target, &out,
                          static_cast<size_t>(std::min<uint64_t>(length - done, 1 << 30)), 0);
    if (n > 0) {
      done += static_cast<uint64_t>(n);
      continue;
    }
    if (n == 0) return static_cast<int64_t>(done);
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
    *kernelCopy = false;
  }
  char buffer[1 << 16];
  while (done < length) {
    const off_t at = offset + static_cast<off_t>(done);
    const ssize_t n = ::pread(
        source, buffer, static_cast<size_t>(std::min<uint64_t>(length - done, sizeof(buffer))), at);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    for (ssize_t written = 0; written < n;) {
      const ssize_t w =
          ::pwrite(target, buffer + written, static_cast<size_t>(n - written), at + written);
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return -1;
      written += w;
    }
    done += static_cast<uint64_t>(n);
  }
  return static_cast<int64_t>(done);
}

// Copies source's first size bytes (its size when opened: a file that keeps
// growing must not keep the copy going) to target. A reflink shares the blocks
// and the holes. Otherwise only the source's data ranges are copied and the
// length is set last, so that a sparse file's copy stays sparse (a copy of
// every zero would let one open of a large sparse file fill the store); where
// the file system cannot tell holes, the whole file is one data range.
bool CopyContent(int source, int target, uint64_t size) {
  if (::ioctl(target, FICLONE, source) == 0) return true;
  const off_t end = static_cast<off_t>(size);
  bool kernelCopy = true;
  bool knowsHoles = true;
  off_t offset = 0;
  while (offset < end) {
    off_t data = offset;
    off_t hole = end;
    if (knowsHoles) {
      data = ::lseek(source, offset, SEEK_DATA);
      if (data < 0 && errno == ENXIO) break;  // only a hole up to the end
      if (data < 0 && errno == EINVAL && offset == 0) {
        knowsHoles = false;
        data = 0;
      } else if (data < 0) {
        return false;
      } else {
        hole = ::lseek(source, data, SEEK_HOLE);
        if (hole < 0 && errno == ENXIO) break;  // shrunk between the two looks
        if (hole < 0) return false;
      }
    }
    if (data >= end) break;
    hole = std::min(hole, end);
    const int64_t copied =
        CopyRange(source, target, data, static_cast<uint64_t>(hole - data), &kernelCopy);
    if (copied < 0) return false;
    if (copied < hole - data) {
      // The source shrank while it was copied: the copy ends where it did.
      return ::ftruncate(target, data + copied) == 0;
    }
    offset = hole;
  }
  return ::ftruncate(target, end) == 0;
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

// Calls make with partial names, prefix + "<pid>-<n>" + suffix, until it
// succeeds (returns true) or fails (false) for another reason than EEXIST. The
// name it succeeded with, or empty with errno telling why.
template <typename Make>
std::string UnderPartialName(const std::string& prefix, const std::string& suffix, Make make) {
  static std::atomic<uint64_t> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name =
        prefix + std::to_string(::getpid()) + "-" + std::to_string(counter++) + suffix;
    if (make(name)) return name;
    if (errno != EEXIST) break;
  }
  return {};
}

// A new file in directory, not yet visible to readers: an O_TMPFILE file where
// the file system supports it, else a file under a reserved partial name.
UniqueFd CreateUnnamedFile(int directory, const std::string& prefix, const std::string& suffix,
                           std::string* partialName) {
  UniqueFd file(::openat(directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, S_IRUSR | S_IWUSR));
  if (file.valid()) return file;
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return UniqueFd();
  *partialName = UnderPartialName(prefix, suffix, [&](const std::string& name) {
    file.reset(::openat(directory, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                        S_IRUSR | S_IWUSR));
    return file.valid();
  });
  return partialName->empty() ? UniqueFd() : std::move(file);
}

// The opened input itself, given a second name (a partial one until it is
// published) in directory, when that is as good as a copy: the caller
// promised nothing changes it, nothing else can (no other name), it keeps no
// set-id or sticky bit into the store, and it lies on the directory's file
// system. Null otherwise or when the system refuses (across mounts, say): the
// caller then copies, input untouched.
std::unique_ptr<StagedCopy> StageLink(UniqueFd& input, const struct stat& opened,
                                      const std::string& directory,
                                      const std::string& partialPrefix,
                                      const std::string& partialSuffix) {
  if (opened.st_nlink != 1 || (opened.st_mode & 07000) != 0) return nullptr;
  UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat where {};
  if (!dir.valid() || ::fstat(dir.get(), &where) != 0 || where.st_dev != opened.st_dev) {
    return nullptr;
  }
  // Linked through the descriptor, never the name: the file linked is the one
  // that was opened and looked at, even if its name was swapped meanwhile.
  const std::string self = ProcSelfFd(input.get());
  const std::string partialName =
      UnderPartialName(partialPrefix, partialSuffix, [&](const std::string& name) {
        return ::linkat(AT_FDCWD, self.c_str(), dir.get(), name.c_str(), AT_SYMLINK_FOLLOW) == 0;
      });
  if (partialName.empty()) return nullptr;
  // Another name made between the look and the link would let the edition be
  // changed through it.
  struct stat linked {};
  if (::fstat(input.get(), &linked) != 0 || linked.st_nlink != 2) {
    ::unlinkat(dir.get(), partialName.c_str(), 0);
    return nullptr;
  }
  return std::make_unique<LinuxStagedCopy>(std::move(dir), std::move(input), partialName, opened);
}

}  // namespace

namespace {

// Stages a copy of input, whose status when opened is opened.
std::unique_ptr<StagedCopy> StageFrom(int input, const struct stat& opened,
                                      const std::string& directory,
                                      const std::string& partialPrefix,
                                      const std::string& partialSuffix, std::string* failure) {
  const auto fail = [failure](const char* step, int error) -> std::unique_ptr<StagedCopy> {
    *failure = std::string(step) + ": " + ErrorText(error);
    return nullptr;
  };
  UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return fail("snapshot directory", errno);
  std::string partialName;
  UniqueFd output = CreateUnnamedFile(dir.get(), partialPrefix, partialSuffix, &partialName);
  if (!output.valid()) return fail("copy", errno);
  // From here on the staged copy owns the partial name and removes it on failure.
  auto staged =
      std::make_unique<LinuxStagedCopy>(std::move(dir), std::move(output), partialName, opened);
  if (!CopyContent(input, staged->fd(), static_cast<uint64_t>(opened.st_size)) ||
      ::fchmod(staged->fd(), opened.st_mode & 0777) != 0) {
    return fail("copy", errno);
  }
  return staged;
}

}  // namespace

std::unique_ptr<StagedCopy> StageCopyLinux(const std::string& source, bool mayLink,
                                           const std::string& directory,
                                           const std::string& partialPrefix,
                                           const std::string& partialSuffix, std::string* failure) {
  // Nobody else's link on the way may swap the source for another file (say
  // /etc/shadow) to have it copied into the store.
  struct stat opened {};
  SafeOpenFailure why;
  UniqueFd input = OpenRegularFileWithoutForeignLinks(source, &opened, &why);
  if (!input.valid()) {
    *failure = "source: " + FailureText(why);
    return nullptr;
  }
  if (mayLink) {
    if (std::unique_ptr<StagedCopy> link =
            StageLink(input, opened, directory, partialPrefix, partialSuffix)) {
      return link;
    }
  }
  return StageFrom(input.get(), opened, directory, partialPrefix, partialSuffix, failure);
}

std::unique_ptr<StagedCopy> StageCopyOfDescriptorLinux(int descriptor, const std::string& directory,
                                                       const std::string& partialPrefix,
                                                       const std::string& partialSuffix,
                                                       std::string* failure) {
  struct stat opened {};
  if (descriptor < 0 || ::fstat(descriptor, &opened) != 0) {
    *failure = "source: " + ErrorText(descriptor < 0 ? EBADF : errno);
    return nullptr;
  }
  if (!S_ISREG(opened.st_mode)) {
    *failure = "source: not a regular file";
    return nullptr;
  }
  // Only pread and SEEK_DATA/SEEK_HOLE touch it; the latter move the
  // descriptor's offset, which the host's own reads must not see moved.
  const off_t offset = ::lseek(descriptor, 0, SEEK_CUR);
  std::unique_ptr<StagedCopy> copy =
      StageFrom(descriptor, opened, directory, partialPrefix, partialSuffix, failure);
  if (offset >= 0) ::lseek(descriptor, offset, SEEK_SET);
  return copy;
}

}  // namespace orv
