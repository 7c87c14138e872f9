// The Linux backend of Env.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "platform/env.h"
#include "platform/module_hold.h"
#include "platform/native_path.h"
#include "platform/snapshot_copy_linux.h"
#include "platform/text.h"
#include "platform/unique_fd.h"

namespace orv {
namespace {

// Clears the group and other permission bits of an open file or directory,
// where it can: a file of another user's, or a file system without Unix
// modes (vfat, whose mount options decide), keeps what it has rather than
// making the store unusable.
void MakePrivate(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || (st.st_mode & (S_IRWXG | S_IRWXO)) == 0) return;
  ::fchmod(fd, st.st_mode & S_IRWXU);
}

class LinuxAppendFile final : public AppendFile {
 public:
  explicit LinuxAppendFile(UniqueFd fd) : fd_(std::move(fd)) {}

  bool Append(std::string_view data) override {
    while (!data.empty()) {
      const ssize_t n = ::write(fd_.get(), data.data(), data.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

  // Append writes straight through to the kernel; there is no user-space buffer.
  bool Flush() override { return true; }

 private:
  UniqueFd fd_;
};

// "/a/./b/../c/" -> "/a/c"; never climbs above "/".
std::u16string FoldPath(std::u16string_view absolute) {
  std::vector<std::u16string_view> parts;
  size_t at = 0;
  while (at <= absolute.size()) {
    size_t end = absolute.find(u'/', at);
    if (end == std::u16string_view::npos) end = absolute.size();
    const std::u16string_view part = absolute.substr(at, end - at);
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != u".") {
      parts.push_back(part);
    }
    at = end + 1;
  }
  if (parts.empty()) return u"/";
  std::u16string folded;
  for (const std::u16string_view part : parts) {
    folded.push_back(u'/');
    folded.append(part);
  }
  return folded;
}

class LinuxSequentialFile final : public SequentialFile {
 public:
  LinuxSequentialFile(UniqueFd fd, uint64_t size) : fd_(std::move(fd)), size_(size) {}
  uint64_t size() const override { return size_; }
  std::optional<size_t> Read(char* buffer, size_t capacity) override {
    while (true) {
      const ssize_t n = ::read(fd_.get(), buffer, capacity);
      if (n >= 0) return static_cast<size_t>(n);
      if (errno != EINTR) return std::nullopt;
    }
  }

 private:
  UniqueFd fd_;
  uint64_t size_;
};

class LinuxRandomAccessFile final : public RandomAccessFile {
 public:
  LinuxRandomAccessFile(UniqueFd fd, uint64_t size) : fd_(std::move(fd)), size_(size) {}
  uint64_t size() const override { return size_; }
  bool ReadAt(uint64_t offset, void* buffer, size_t length) override {
    auto* out = static_cast<char*>(buffer);
    while (length > 0) {
      const ssize_t n = ::pread(fd_.get(), out, length, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      out += n;
      offset += static_cast<uint64_t>(n);
      length -= static_cast<size_t>(n);
    }
    return true;
  }

 private:
  UniqueFd fd_;
  uint64_t size_;
};

// A regular file opened for reading, never through a symbolic link.
UniqueFd OpenRegularForReading(const std::string& native, uint64_t* size) {
  UniqueFd fd(::open(native.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return UniqueFd();
  *size = static_cast<uint64_t>(st.st_size);
  return fd;
}

// 100-nanosecond units from 1601-01-01 to 1970-01-01.
constexpr uint64_t kUnixEpochIn100ns = 116444736000000000ull;

uint64_t To100ns(const statx_timestamp& t) {
  return kUnixEpochIn100ns + static_cast<uint64_t>(t.tv_sec) * 10000000ull + t.tv_nsec / 100;
}

// flock(2): released by the kernel when the descriptor closes, also when the
// process is killed, so a dead engine never keeps its store locked.
class LinuxDirectoryLock final : public DirectoryLock {
 public:
  explicit LinuxDirectoryLock(UniqueFd fd) : fd_(std::move(fd)) {}

 private:
  UniqueFd fd_;
};

class LinuxEnv final : public Env {
 public:
  LocalTime GetLocalTime() override {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    ::localtime_r(&now.tv_sec, &parts);
    LocalTime t;
    t.year = static_cast<uint16_t>(parts.tm_year + 1900);
    t.month = static_cast<uint16_t>(parts.tm_mon + 1);
    t.dayOfWeek = static_cast<uint16_t>(parts.tm_wday);
    t.day = static_cast<uint16_t>(parts.tm_mday);
    t.hour = static_cast<uint16_t>(parts.tm_hour);
    t.minute = static_cast<uint16_t>(parts.tm_min);
    t.second = static_cast<uint16_t>(parts.tm_sec > 59 ? 59 : parts.tm_sec);
    t.milliseconds = static_cast<uint16_t>(now.tv_nsec / 1000000);
    return t;
  }

  uint32_t GetTickCount() override {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
  }

  uint32_t GetCurrentThreadId() override {
    // gettid() is a system call each time; a thread's id never changes.
    thread_local const uint32_t id = static_cast<uint32_t>(::gettid());
    return id;
  }

  std::optional<uint64_t> GetFileSize(const std::u16string& path) override {
    std::string native;
    if (!ToNativePath(path, &native)) return std::nullopt;
    struct stat st {};
    if (::stat(native.c_str(), &st) != 0) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
  }

  FileProbe ProbeFile(const std::u16string& path) override {
    std::string native;
    if (!ToNativePath(path, &native)) return FileProbe::kMissing;
    struct stat st {};
    if (::lstat(native.c_str(), &st) != 0) {
      return errno == EACCES ? FileProbe::kAccessDenied : FileProbe::kMissing;
    }
    if (!S_ISREG(st.st_mode)) return FileProbe::kNotAFile;
    // The effective ids decide, as they do for the open that follows.
    if (::faccessat(AT_FDCWD, native.c_str(), R_OK, AT_EACCESS) != 0) {
      return errno == EACCES ? FileProbe::kAccessDenied : FileProbe::kMissing;
    }
    return FileProbe::kReadableFile;
  }

  bool RenameReplacing(const std::u16string& from, const std::u16string& to) override {
    std::string nativeFrom, nativeTo;
    if (!ToNativePath(from, &nativeFrom) || !ToNativePath(to, &nativeTo)) return false;
    return ::rename(nativeFrom.c_str(), nativeTo.c_str()) == 0;
  }

  std::unique_ptr<AppendFile> OpenAppendText(const std::u16string& path) override {
    std::string native;
    if (!ToNativePath(path, &native)) return nullptr;
    // O_NONBLOCK: a FIFO planted at the path must not hang the caller.
    // O_NOFOLLOW: a link planted there must not aim the lines at another file.
    UniqueFd fd(::open(native.c_str(),
                       O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW,
                       S_IRUSR | S_IWUSR));
    if (!fd.valid()) return nullptr;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    return std::make_unique<LinuxAppendFile>(std::move(fd));
  }

  std::optional<std::string> ReadSmallFile(const std::u16string& path, uint64_t maxBytes) override {
    std::string native;
    if (!ToNativePath(path, &native)) return std::nullopt;
    UniqueFd fd(::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.valid()) return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    if (static_cast<uint64_t>(st.st_size) > maxBytes) return std::nullopt;
    std::string content;
    content.reserve(static_cast<size_t>(st.st_size));
    // The file may grow while it is read: never take more than maxBytes.
    char chunk[16384];
    while (true) {
      const ssize_t n = ::read(fd.get(), chunk, sizeof(chunk));
      if (n < 0) {
        if (errno == EINTR) continue;
        return std::nullopt;
      }
      if (n == 0) break;
      if (content.size() + static_cast<uint64_t>(n) > maxBytes) return std::nullopt;
      content.append(chunk, static_cast<size_t>(n));
    }
    return content;
  }

  std::optional<std::u16string> AbsolutePath(const std::u16string& path) override {
    if (path.empty()) return std::nullopt;
    std::u16string joined;
    if (path.front() != u'/') {
      char buffer[PATH_MAX];
      if (::getcwd(buffer, sizeof(buffer)) == nullptr) return std::nullopt;
      joined = FileNameToUtf16(buffer);
      joined.push_back(u'/');
    }
    joined.append(path);
    return FoldPath(joined);
  }

  bool CreateDirectories(const std::u16string& path) override {
    std::string native;
    if (!ToNativePath(path, &native)) return false;
    // Create each missing component in turn, from the root down.
    for (size_t at = native.find('/', 1);; at = native.find('/', at + 1)) {
      const std::string prefix = native.substr(0, at);
      if (::mkdir(prefix.c_str(), S_IRWXU) != 0 && errno != EEXIST) return false;
      if (at == std::string::npos) break;
    }
    // One that was already there (an older store, made by hand) may be open
    // to others: the copies inside carry their sources' permission bits. A
    // symbolic link put there by the owner (the copies moved to another disk)
    // is followed, and what it points at is left as the owner set it.
    struct stat st {};
    if (::lstat(native.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      return ::stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    UniqueFd dir(::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.valid()) return false;
    MakePrivate(dir.get());
    return true;
  }

  bool CreatePrivateFile(const std::u16string& path) override {
    std::string native;
    if (!ToNativePath(path, &native)) return false;
    UniqueFd fd(::open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR));
    if (fd.valid()) return true;
    if (errno != EEXIST) return false;
    // Not followed through a link, never opened for writing, never blocks.
    fd.reset(::open(native.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    MakePrivate(fd.get());
    return true;
  }

  std::unique_ptr<StagedCopy> StageCopy(const CopySource& source, const std::u16string& directory,
                                        const PartialName& partial,
                                        std::u16string* failure) override {
    std::string nativeSource, nativeDirectory, prefix, suffix;
    const bool lent = source.lentHandle != kNoLentHandle;
    if ((!lent && !ToNativePath(std::u16string(source.path), &nativeSource)) ||
        !ToNativePath(directory, &nativeDirectory) || !Utf16ToUtf8(partial.prefix, &prefix) ||
        !Utf16ToUtf8(partial.suffix, &suffix)) {
      if (failure != nullptr) *failure = u"the path is not valid text";
      return nullptr;
    }
    std::string reason;
    std::unique_ptr<StagedCopy> copy =
        lent ? StageCopyOfDescriptorLinux(static_cast<int>(source.lentHandle), nativeDirectory,
                                          prefix, suffix, &reason)
             : StageCopyLinux(nativeSource, source.mayLink, nativeDirectory, prefix, suffix,
                              &reason);
    if (!copy && failure != nullptr) *failure = Utf8ToUtf16OrEmpty(reason);
    return copy;
  }

  bool SyncFileSystemOf(const std::u16string& path) override {
    std::string native;
    if (!ToNativePath(path, &native)) return false;
    UniqueFd fd(::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    return fd.valid() && ::syncfs(fd.get()) == 0;
  }

  std::optional<int64_t> LocalTimeToEpochSeconds(const LocalTime& time) override {
    tm parts{};
    parts.tm_sec = time.second;
    parts.tm_min = time.minute;
    parts.tm_hour = time.hour;
    parts.tm_mday = time.day;
    parts.tm_mon = time.month - 1;
    parts.tm_year = time.year - 1900;
    parts.tm_wday = time.dayOfWeek;
    parts.tm_isdst = 0;
    errno = 0;
    const time_t seconds = ::mktime(&parts);
    if (seconds == static_cast<time_t>(-1) && errno != 0) return std::nullopt;
    return static_cast<int64_t>(seconds);
  }

  std::vector<std::u16string> ListDirectory(const std::u16string& path) override {
    std::vector<std::u16string> names;
    std::string native;
    if (!ToNativePath(path, &native)) return names;
    DIR* dir = ::opendir(native.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string_view raw = entry->d_name;
      if (raw == "." || raw == "..") continue;
      // Copies are named after their originals, whose names need not be UTF-8.
      names.push_back(FileNameToUtf16(raw));
    }
    ::closedir(dir);
    return names;
  }

  std::unique_ptr<SequentialFile> OpenSequentialFile(const std::u16string& path) override {
    std::string native;
    uint64_t size = 0;
    if (!ToNativePath(path, &native)) return nullptr;
    UniqueFd fd = OpenRegularForReading(native, &size);
    if (!fd.valid()) return nullptr;
    return std::make_unique<LinuxSequentialFile>(std::move(fd), size);
  }

  std::unique_ptr<RandomAccessFile> OpenRandomAccessFile(const std::u16string& path) override {
    std::string native;
    uint64_t size = 0;
    if (!ToNativePath(path, &native)) return nullptr;
    UniqueFd fd = OpenRegularForReading(native, &size);
    if (!fd.valid()) return nullptr;
    return std::make_unique<LinuxRandomAccessFile>(std::move(fd), size);
  }

  std::vector<DirectoryFile> ListDirectoryFiles(const std::u16string& path) override {
    std::vector<DirectoryFile> files;
    std::string native;
    if (!ToNativePath(path, &native)) return files;
    DIR* dir = ::opendir(native.c_str());
    if (dir == nullptr) return files;
    const int dirFd = ::dirfd(dir);
    DirectoryFile file;
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
      struct statx st {};
      if (::statx(dirFd, entry->d_name, AT_SYMLINK_NOFOLLOW,
                  STATX_TYPE | STATX_SIZE | STATX_MTIME | STATX_BTIME, &st) != 0 ||
          !S_ISREG(st.stx_mode)) {
        continue;
      }
      file.name = FileNameToUtf16(entry->d_name);
      file.size = st.stx_size;
      file.creationTime = To100ns((st.stx_mask & STATX_BTIME) ? st.stx_btime : st.stx_mtime);
      files.push_back(file);
    }
    ::closedir(dir);
    return files;
  }

  void WriteStandardOutput(std::string_view text) override {
    std::fwrite(text.data(), 1, text.size(), stdout);
  }

  bool RemoveFile(const std::u16string& path) override {
    std::string native;
    if (!ToNativePath(path, &native)) return false;
    return ::unlink(native.c_str()) == 0 || errno == ENOENT;
  }

  std::unique_ptr<DirectoryLock> TryLockDirectory(const std::u16string& path,
                                                  bool* heldElsewhere) override {
    if (heldElsewhere != nullptr) *heldElsewhere = false;
    std::string native;
    if (!ToNativePath(path, &native)) return nullptr;
    UniqueFd fd(::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.valid()) return nullptr;
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      if (errno == EWOULDBLOCK && heldElsewhere != nullptr) *heldElsewhere = true;
      return nullptr;
    }
    return std::make_unique<LinuxDirectoryLock>(std::move(fd));
  }

  std::optional<FileState> GetFileState(const std::u16string& path) override {
    std::string native;
    if (!ToNativePath(path, &native)) return std::nullopt;
    struct stat st {};
    if (::lstat(native.c_str(), &st) != 0) return std::nullopt;
    return StateOf(st);
  }

  uint64_t GetSystemTime() override {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return kUnixEpochIn100ns + static_cast<uint64_t>(now.tv_sec) * 10000000ull +
           static_cast<uint64_t>(now.tv_nsec) / 100;
  }

  std::optional<std::u16string> GetEnvironmentVariable(std::u16string_view name) override {
    std::string nativeName;
    if (name.empty() || name.find(u'=') != std::u16string_view::npos ||
        !ToNativePath(name, &nativeName)) {
      return std::nullopt;
    }
    const char* value = ::getenv(nativeName.c_str());
    if (value == nullptr) return std::nullopt;
    std::u16string text;
    if (!Utf8ToUtf16(value, &text)) return std::nullopt;
    return text;
  }
};

}  // namespace

void HoldThisModule() {}
void ReleaseThisModule() {}
bool ProcessIsEnding() { return false; }
void NoteProcessEnding() {}

Env* Env::Default() {
  static LinuxEnv env;
  return &env;
}

}  // namespace orv
