#include "file_restorer.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "catalog_time.h"
#include "fd_io.h"
#include "safe_path.h"
#include "tool_error.h"

namespace orv::tool {
namespace {

// A new file in the destination's directory (reached by its descriptor, so
// that a directory swapped meanwhile cannot move the restore elsewhere),
// removed unless kept.
class TemporaryFile {
 public:
  TemporaryFile(int directory, const std::string& shown) : directory_(directory) {
    thread_local std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 100 && !fd_.valid(); ++attempt) {
      char suffix[16];
      std::snprintf(suffix, sizeof(suffix), "%08x", static_cast<unsigned>(random()));
      name_ = std::string(".orv-restore-") + suffix;
      fd_ = UniqueFd(::openat(directory_, name_.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                              S_IRUSR | S_IWUSR));
      if (!fd_.valid() && errno != EEXIST) break;
    }
    if (!fd_.valid()) {
      throw ToolError("cannot write " + shown + ": " + std::strerror(errno));
    }
  }
  ~TemporaryFile() {
    if (!kept_) ::unlinkat(directory_, name_.c_str(), 0);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  int fd() const { return fd_.get(); }
  const std::string& name() const { return name_; }
  void Keep() { kept_ = true; }

 private:
  int directory_;
  std::string name_;
  UniqueFd fd_;
  bool kept_ = false;
};

// Copies every byte of in to out: shared extents where the file system
// allows, else in the kernel, else through a buffer. errno on failure.
bool CopyData(int in, int out, uint64_t size, const std::function<void(uint64_t)>& progress) {
  if (size > 0 && ::ioctl(out, FICLONE, in) == 0) {
    if (progress) progress(size);
    return true;
  }
  uint64_t copied = 0;
  bool kernel = true;
  std::vector<char> buffer;
  while (true) {
    ssize_t n = -1;
    if (kernel) {
      n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
      if (n < 0 &&
          (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
           errno == EBADF) &&
          copied == 0) {
        kernel = false;
        continue;
      }
    } else {
      if (buffer.empty()) buffer.resize(1 << 20);
      n = ::read(in, buffer.data(), buffer.size());
      if (n > 0 && !WriteAll(out, std::string_view(buffer.data(), static_cast<size_t>(n))))
        return false;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    copied += static_cast<uint64_t>(n);
    if (progress) progress(copied);
  }
}

// Who gets a file restored as name in directory, as root; nothing: root.
std::optional<std::pair<uid_t, gid_t>> OwnerFor(int directory, const std::string& name,
                                                const struct stat& source) {
  struct stat replaced {};
  if (::fstatat(directory, name.c_str(), &replaced, AT_SYMLINK_NOFOLLOW) == 0) {
    return std::pair(replaced.st_uid, replaced.st_gid);
  }
  struct stat holder {};
  if (::fstat(directory, &holder) != 0) return std::nullopt;
  // A shared sticky directory hands its files to no one: the content's own
  // owner, where its copy keeps one, is who had it.
  if ((holder.st_mode & S_ISVTX) != 0 && holder.st_uid == 0) {
    if (source.st_uid != 0) return std::pair(source.st_uid, source.st_gid);
    return std::nullopt;
  }
  if (holder.st_uid != 0) return std::pair(holder.st_uid, holder.st_gid);
  return std::nullopt;
}

}  // namespace

int DirectoryCache::Open(const std::filesystem::path& directory) {
  if (!fd_.valid() || directory != last_) {
    fd_ = UniqueFd();
    fd_ = OpenDirectory(directory);
    last_ = directory;
  }
  return fd_.get();
}

UniqueFd OpenRegularFileAt(int directory, const std::string& name, const std::string& shown,
                           struct stat* st) {
  UniqueFd file(
      ::openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!file.valid()) {
    throw ToolError("cannot read " + shown + ": " +
                    (errno == ELOOP ? std::string("it is a symbolic link") : std::strerror(errno)));
  }
  if (::fstat(file.get(), st) != 0 || !S_ISREG(st->st_mode)) {
    throw ToolError("cannot read " + shown + ": not a regular file");
  }
  ::fcntl(file.get(), F_SETFL, ::fcntl(file.get(), F_GETFL) & ~O_NONBLOCK);
  return file;
}

uint64_t WriteRestoredFile(int source, const struct stat& st, int directory,
                           const std::string& name, const std::string& shown,
                           const WriteRules& rules, const std::function<void(uint64_t)>& progress) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    throw ToolError("cannot create " + shown + ": not a file name");
  }
  struct stat existing {};
  if (!rules.replace && ::fstatat(directory, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    throw ToolError(shown + " exists (use --force to replace it)");
  }
  TemporaryFile temporary(directory, shown);
  if (!CopyData(source, temporary.fd(), static_cast<uint64_t>(st.st_size), progress)) {
    throw ToolError("cannot write " + shown + ": " + std::strerror(errno));
  }
  // Permission bits only: never set-uid, set-gid or sticky.
  ::fchmod(temporary.fd(), st.st_mode & 0777);
  if (::geteuid() == 0) {
    if (const auto owner = OwnerFor(directory, name, st)) {
      if (::fchown(temporary.fd(), owner->first, owner->second) != 0) {
        throw ToolError("cannot give " + shown + " to its owner: " + std::strerror(errno));
      }
    }
  }
  const struct timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
  ::futimens(temporary.fd(), times);
  if (rules.sync && ::fsync(temporary.fd()) != 0) {
    throw ToolError("cannot write " + shown + ": " + std::strerror(errno));
  }
  // Without replace, the final step refuses to replace anything, even a file
  // that appeared meanwhile.
  const int published =
      rules.replace ? ::renameat(directory, temporary.name().c_str(), directory, name.c_str())
                    : ::linkat(directory, temporary.name().c_str(), directory, name.c_str(), 0);
  if (published != 0) {
    if (errno == EEXIST) throw ToolError(shown + " exists (use --force to replace it)");
    throw ToolError("cannot create " + shown + ": " + std::strerror(errno));
  }
  if (rules.replace) temporary.Keep();  // renamed away: nothing left to remove
  return static_cast<uint64_t>(st.st_size);
}

bool BornAfter(const std::string& path, int32_t at) {
  struct statx sx {};
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &sx) != 0 ||
      (sx.stx_mask & STATX_BTIME) == 0) {
    return false;
  }
  return CatalogStampOf(static_cast<time_t>(sx.stx_btime.tv_sec)) > at;
}

bool SameContent(int a, int b) {
  struct stat sa {
  }, sb{};
  if (::fstat(a, &sa) != 0 || ::fstat(b, &sb) != 0 || sa.st_size != sb.st_size) return false;
  if (sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino) return true;
  std::vector<char> x(1 << 16), y(1 << 16);
  for (off_t offset = 0; offset < sa.st_size;) {
    const ssize_t n = ::pread(a, x.data(), x.size(), offset);
    if (n <= 0) return false;
    for (ssize_t got = 0; got < n;) {
      const ssize_t m = ::pread(b, y.data() + got, static_cast<size_t>(n - got), offset + got);
      if (m <= 0) return false;
      got += m;
    }
    if (std::memcmp(x.data(), y.data(), static_cast<size_t>(n)) != 0) return false;
    offset += n;
  }
  return true;
}

}  // namespace orv::tool
