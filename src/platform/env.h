// Env: everything the engine asks of the operating system. Engine code calls
// these operations and never the OS directly, so that another backend can sit
// beside the Linux one and tests can inject faults and drive the clock.
//
// Paths are UTF-16 as the engine holds them; an implementation converts them to
// its native form and treats a path it cannot convert (invalid UTF-16, an
// embedded 0, empty) as a file that cannot be found or created.
//
// Every operation is safe to call from any thread at the same time.
#ifndef ORV_PLATFORM_ENV_H_
#define ORV_PLATFORM_ENV_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/random_access_file.h"

namespace orv {

// Local wall-clock time, field for field a Windows SYSTEMTIME.
struct LocalTime {
  uint16_t year = 0;
  uint16_t month = 0;      // 1-12
  uint16_t dayOfWeek = 0;  // 0 = Sunday
  uint16_t day = 0;        // 1-31
  uint16_t hour = 0;
  uint16_t minute = 0;
  uint16_t second = 0;
  uint16_t milliseconds = 0;
};

// A file opened for appending text. Not safe for concurrent use: the owner
// serialises its calls.
class AppendFile {
 public:
  virtual ~AppendFile() = default;
  // Appends all of data at the end of the file, as one write where the OS
  // allows it. False when not every byte was written.
  virtual bool Append(std::string_view data) = 0;
  // Hands everything appended so far to the OS (not a durability barrier).
  virtual bool Flush() = 0;
};

// What tells one state of a file from the next: which file it is, its size,
// and when its content and its inode last changed (in 100-nanosecond units
// since 1601-01-01 00:00:00 UTC, as DirectoryFile::creationTime). Any change
// to the file, or another file under its name, changes one of them.
struct FileState {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  uint64_t modification = 0;
  uint64_t change = 0;
  bool operator==(const FileState&) const = default;
};

// A copy of a file, complete but not visible under any name yet, so that no
// reader ever sees it half-written. Discarded, leaving nothing behind, when
// destroyed unpublished. Not safe for concurrent use.
class StagedCopy {
 public:
  enum class PublishResult { kPublished, kNameTaken, kFailed };

  virtual ~StagedCopy() = default;
  // The source as it was when opened for the copy.
  virtual FileState SourceState() const = 0;
  // Gives the copy its name in the directory it was staged in. Never replaces
  // an existing file: kNameTaken lets the caller try another name.
  virtual PublishResult PublishAs(const std::u16string& name) = 0;
};

// A file read from its start to its end. Not safe for concurrent use.
class SequentialFile {
 public:
  virtual ~SequentialFile() = default;
  // Size when the file was opened.
  virtual uint64_t size() const = 0;
  // Reads up to capacity bytes; 0 at the end; nothing on a read error.
  virtual std::optional<size_t> Read(char* buffer, size_t capacity) = 0;
};

// A regular file found in a directory.
struct DirectoryFile {
  std::u16string name;
  uint64_t size = 0;
  // When the file was made (its birth time where the file system records it,
  // else its last modification), in 100-nanosecond units since 1601-01-01
  // 00:00:00 UTC.
  uint64_t creationTime = 0;
};

// An advisory lock held by this process while the object lives, and never
// past the process's end, however it ends.
class DirectoryLock {
 public:
  virtual ~DirectoryLock() = default;
};

class Env {
 public:
  virtual ~Env() = default;

  // The real operating system. Lives for the whole process.
  static Env* Default();

  // Local time now, with milliseconds.
  virtual LocalTime GetLocalTime() = 0;

  // Milliseconds of a monotonic clock, wrapping at 2^32: only differences
  // (as unsigned 32-bit values) mean anything.
  virtual uint32_t GetTickCount() = 0;

  // The calling thread's system-wide identifier (what diagnostic tools show).
  virtual uint32_t GetCurrentThreadId() = 0;

  // Size in bytes of the file at path, following symbolic links; nothing when
  // it does not exist or cannot be examined.
  virtual std::optional<uint64_t> GetFileSize(const std::u16string& path) = 0;

  // What opening path for reading would meet, found without opening it (so a
  // FIFO never blocks the caller): a regular file this process may read, no
  // file (or no directory on the way), a file or directory on the way it may
  // not read, or anything else (a symbolic link at path, a FIFO, a device, a
  // directory).
  enum class FileProbe { kReadableFile, kMissing, kAccessDenied, kNotAFile };
  virtual FileProbe ProbeFile(const std::u16string& path) = 0;

  // Renames from to to, replacing a file that has the name to. False on failure.
  virtual bool RenameReplacing(const std::u16string& from, const std::u16string& to) = 0;

  // Opens path for appending UTF-8 text, creating it (readable by its owner
  // only) when missing. Never blocks: a path that is not a regular file fails.
  // Null on failure.
  virtual std::unique_ptr<AppendFile> OpenAppendText(const std::u16string& path) = 0;

  // Reads a whole regular file of at most maxBytes bytes. The open never
  // blocks (a FIFO or device at the path fails, as do directories, symbolic
  // link loops and larger files). Nothing on failure.
  virtual std::optional<std::string> ReadSmallFile(const std::u16string& path,
                                                   uint64_t maxBytes) = 0;

  // path made absolute against the current directory, lexically: "." and ".."
  // folded, repeated and trailing separators dropped, symbolic links not
  // resolved. Nothing when path is empty or the current directory is unknown.
  virtual std::optional<std::u16string> AbsolutePath(const std::u16string& path) = 0;

  // Creates the directory and every missing parent, readable by the owner
  // only; a directory already there loses its group and other permissions
  // where the file system allows (one reached through a symbolic link at path
  // is left as it is). True when
  // a directory exists at path afterwards.
  virtual bool CreateDirectories(const std::u16string& path) = 0;

  // Creates an empty file readable by its owner only; a regular file already
  // at path keeps its content and loses its group and other permissions where
  // the file system allows. True
  // when a regular file (not a symbolic link) exists at path afterwards.
  virtual bool CreatePrivateFile(const std::u16string& path) = 0;

  // What a copy reads: the regular file at path, or, when lentHandle is not
  // kNoLentHandle, the file the host holds open under that native handle (a
  // descriptor on Linux, readable, lent for the one call). A lent file is read
  // as it is, its offset put back before the call returns, and path is never opened: a name swapped
  // since the host's open cannot put another file's content into the copy.
  //
  // mayLink (read only for a path, never for a lent file): the caller promises
  // that nothing will change the file at path from now on, so the copy may be
  // that file itself under a second name, its data never copied. That happens
  // only when path is its only name (a file with another name could be
  // changed through it), it has no set-id or sticky bit, and it lies on the
  // directory's file system; in every other case, and when the system refuses
  // the link, its content is copied.
  static constexpr intptr_t kNoLentHandle = -1;
  struct CopySource {
    std::u16string_view path;
    intptr_t lentHandle = kNoLentHandle;
    bool mayLink = false;
  };

  // Copies the content of the regular file source names into a new, unnamed
  // file in directory, readable by at most those the source's permission bits
  // allow (never set-id or sticky); a linked source (see CopySource) is not
  // copied but named under partial until it is published, and keeps its owner
  // and permission bits. Where the file system cannot make an
  // unnamed file, the copy is written under partial.prefix, a number unique in
  // the directory, and partial.suffix until it is published. A source path is
  // never followed through a symbolic link and its open never blocks: anything
  // but a regular file fails. Null on any failure, leaving nothing behind, with
  // the reason in *failure (when failure is not null) for the log.
  struct PartialName {
    std::u16string_view prefix;
    std::u16string_view suffix;
  };
  virtual std::unique_ptr<StagedCopy> StageCopy(const CopySource& source,
                                                const std::u16string& directory,
                                                const PartialName& partial,
                                                std::u16string* failure) = 0;

  // Makes every file written so far on the file system holding path durable.
  virtual bool SyncFileSystemOf(const std::u16string& path) = 0;

  // Seconds since 1970-01-01 00:00:00 UTC of a local time read as standard
  // time (daylight saving never applied); milliseconds are dropped.
  virtual std::optional<int64_t> LocalTimeToEpochSeconds(const LocalTime& time) = 0;

  // Names of the entries of a directory ("." and ".." left out); empty when it
  // cannot be read.
  virtual std::vector<std::u16string> ListDirectory(const std::u16string& path) = 0;

  // Opens a regular file for reading, never through a symbolic link and
  // without blocking; null for anything else or on failure.
  virtual std::unique_ptr<SequentialFile> OpenSequentialFile(const std::u16string& path) = 0;

  // The same, for reading at any offset.
  virtual std::unique_ptr<RandomAccessFile> OpenRandomAccessFile(const std::u16string& path) = 0;

  // The regular files directly in a directory (no subdirectories, no symbolic
  // links, nothing below), in the order the listing gives them; empty when it
  // cannot be read.
  virtual std::vector<DirectoryFile> ListDirectoryFiles(const std::u16string& path) = 0;

  // Writes UTF-8 text to the process's standard output.
  virtual void WriteStandardOutput(std::string_view text) = 0;

  // Removes a file (not a directory). True when it is gone.
  virtual bool RemoveFile(const std::u16string& path) = 0;

  // The value of the process environment variable name (names are
  // case-sensitive); nothing when it is not set or not valid text.
  virtual std::optional<std::u16string> GetEnvironmentVariable(std::u16string_view name) = 0;

  // Takes an exclusive lock on the directory at path, or null: when another
  // process (or another lock of this one) holds it, with *heldElsewhere set,
  // or when it cannot be taken (heldElsewhere may be null).
  virtual std::unique_ptr<DirectoryLock> TryLockDirectory(const std::u16string& path,
                                                          bool* heldElsewhere) = 0;

  // The state of the file at path itself (a symbolic link is not followed);
  // nothing when it does not exist or cannot be examined.
  virtual std::optional<FileState> GetFileState(const std::u16string& path) = 0;

  // The wall clock now, in the units of FileState.
  virtual uint64_t GetSystemTime() = 0;
};

// Forwards every call to another Env; tests override just what they need.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env* target) : target_(target) {}
  Env* target() const { return target_; }

  LocalTime GetLocalTime() override { return target_->GetLocalTime(); }
  uint32_t GetTickCount() override { return target_->GetTickCount(); }
  uint32_t GetCurrentThreadId() override { return target_->GetCurrentThreadId(); }
  std::optional<uint64_t> GetFileSize(const std::u16string& path) override {
    return target_->GetFileSize(path);
  }
  FileProbe ProbeFile(const std::u16string& path) override { return target_->ProbeFile(path); }
  bool RenameReplacing(const std::u16string& from, const std::u16string& to) override {
    return target_->RenameReplacing(from, to);
  }
  std::unique_ptr<AppendFile> OpenAppendText(const std::u16string& path) override {
    return target_->OpenAppendText(path);
  }
  std::optional<std::string> ReadSmallFile(const std::u16string& path, uint64_t maxBytes) override {
    return target_->ReadSmallFile(path, maxBytes);
  }
  std::optional<std::u16string> GetEnvironmentVariable(std::u16string_view name) override {
    return target_->GetEnvironmentVariable(name);
  }
  std::optional<std::u16string> AbsolutePath(const std::u16string& path) override {
    return target_->AbsolutePath(path);
  }
  bool CreateDirectories(const std::u16string& path) override {
    return target_->CreateDirectories(path);
  }
  bool CreatePrivateFile(const std::u16string& path) override {
    return target_->CreatePrivateFile(path);
  }
  std::unique_ptr<StagedCopy> StageCopy(const CopySource& source, const std::u16string& directory,
                                        const PartialName& partial,
                                        std::u16string* failure) override {
    return target_->StageCopy(source, directory, partial, failure);
  }
  bool SyncFileSystemOf(const std::u16string& path) override {
    return target_->SyncFileSystemOf(path);
  }
  std::optional<int64_t> LocalTimeToEpochSeconds(const LocalTime& time) override {
    return target_->LocalTimeToEpochSeconds(time);
  }
  std::vector<std::u16string> ListDirectory(const std::u16string& path) override {
    return target_->ListDirectory(path);
  }
  bool RemoveFile(const std::u16string& path) override { return target_->RemoveFile(path); }
  std::unique_ptr<SequentialFile> OpenSequentialFile(const std::u16string& path) override {
    return target_->OpenSequentialFile(path);
  }
  std::vector<DirectoryFile> ListDirectoryFiles(const std::u16string& path) override {
    return target_->ListDirectoryFiles(path);
  }
  std::unique_ptr<RandomAccessFile> OpenRandomAccessFile(const std::u16string& path) override {
    return target_->OpenRandomAccessFile(path);
  }
  void WriteStandardOutput(std::string_view text) override { target_->WriteStandardOutput(text); }
  std::unique_ptr<DirectoryLock> TryLockDirectory(const std::u16string& path,
                                                  bool* heldElsewhere) override {
    return target_->TryLockDirectory(path, heldElsewhere);
  }
  std::optional<FileState> GetFileState(const std::u16string& path) override {
    return target_->GetFileState(path);
  }
  uint64_t GetSystemTime() override { return target_->GetSystemTime(); }

 private:
  Env* target_;
};

// The Env the engine uses: Env::Default() unless a test installed another.
Env* CurrentEnv();

// Installs env (null restores the default). Only while the engine is not
// started; the caller keeps env alive until it is replaced.
void SetEnvForTesting(Env* env);

}  // namespace orv

#endif  // ORV_PLATFORM_ENV_H_
