// The Windows backend of Env. Files get the access rights their directory
// passes on (a store under the user's profile is the user's own); the Linux
// backend's owner-only permission bits have no counterpart to set here.
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/path.h"
#include "platform/snapshot_copy_windows.h"
#include "platform/text.h"
#include "platform/windows_file.h"

namespace orv {
namespace {

class WindowsAppendFile final : public AppendFile {
 public:
  explicit WindowsAppendFile(UniqueHandle file) : file_(std::move(file)) {}

  bool Append(std::string_view data) override {
    return WriteFileAll(file_.get(), data.data(), data.size());
  }

  // WriteFile hands everything to the system; there is no user-space buffer.
  bool Flush() override { return true; }

 private:
  UniqueHandle file_;
};

class WindowsSequentialFile final : public SequentialFile {
 public:
  WindowsSequentialFile(UniqueHandle file, uint64_t size) : file_(std::move(file)), size_(size) {}
  uint64_t size() const override { return size_; }
  std::optional<size_t> Read(char* buffer, size_t capacity) override {
    DWORD read = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(capacity, 1u << 30));
    if (!::ReadFile(file_.get(), buffer, want, &read, nullptr)) return std::nullopt;
    return read;
  }

 private:
  UniqueHandle file_;
  uint64_t size_;
};

class WindowsRandomAccessFile final : public RandomAccessFile {
 public:
  WindowsRandomAccessFile(UniqueHandle file, uint64_t size) : file_(std::move(file)), size_(size) {}
  uint64_t size() const override { return size_; }
  bool ReadAt(uint64_t offset, void* buffer, size_t length) override {
    auto* out = static_cast<char*>(buffer);
    while (length > 0) {
      const int64_t read = ReadFileAt(file_.get(), offset, out, length);
      if (read <= 0) return false;
      out += read;
      offset += static_cast<uint64_t>(read);
      length -= static_cast<size_t>(read);
    }
    return true;
  }

 private:
  UniqueHandle file_;
  uint64_t size_;
};

// A named object exists while a handle to it is open and no longer than its
// process: the store's lock is the existence of one named after the
// directory's volume and file index, whatever path reaches it.
class WindowsDirectoryLock final : public DirectoryLock {
 public:
  explicit WindowsDirectoryLock(UniqueHandle mutex) : mutex_(std::move(mutex)) {}

 private:
  UniqueHandle mutex_;
};

// A regular file opened for reading, never through a symbolic link, with its
// size; invalid for anything else.
UniqueHandle OpenRegularForReading(const std::u16string& path, uint64_t* size, DWORD flags) {
  std::wstring wide;
  if (!ToWidePath(path, &wide)) return UniqueHandle();
  UniqueHandle file = OpenNoFollow(wide, GENERIC_READ, kShareAll, OPEN_EXISTING, flags);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file.valid() || !IsRegularFile(file.get(), &info)) return UniqueHandle();
  *size = Join64(info.nFileSizeHigh, info.nFileSizeLow);
  return file;
}

bool IsDirectory(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// "C:\a\\b\" -> "C:\a\b": repeated and trailing separators go, the root's stays.
std::u16string DropExtraSeparators(std::u16string path) {
  const size_t keep = path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\' ? 2 : 0;
  std::u16string out;
  out.reserve(path.size());
  for (size_t i = 0; i < path.size(); ++i) {
    if (i >= keep && path[i] == u'\\' && !out.empty() && out.back() == u'\\' && out.size() > keep) {
      continue;
    }
    out.push_back(path[i]);
  }
  while (out.size() > 3 && out.back() == u'\\') out.pop_back();
  return out;
}

// 100-nanosecond units from 1601-01-01 to 1970-01-01.
constexpr uint64_t kUnixEpochIn100ns = 116444736000000000ull;

class WindowsEnv final : public Env {
 public:
  LocalTime GetLocalTime() override {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    LocalTime t;
    t.year = now.wYear;
    t.month = now.wMonth;
    t.dayOfWeek = now.wDayOfWeek;
    t.day = now.wDay;
    t.hour = now.wHour;
    t.minute = now.wMinute;
    t.second = now.wSecond;
    t.milliseconds = now.wMilliseconds;
    return t;
  }

  uint32_t GetTickCount() override { return ::GetTickCount(); }

  uint32_t GetCurrentThreadId() override { return ::GetCurrentThreadId(); }

  std::optional<uint64_t> GetFileSize(const std::u16string& path) override {
    std::wstring wide;
    if (!ToWidePath(path, &wide)) return std::nullopt;
    UniqueHandle file(::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    LARGE_INTEGER size{};
    if (!file.valid() || !::GetFileSizeEx(file.get(), &size)) return std::nullopt;
    return static_cast<uint64_t>(size.QuadPart);
  }

  FileProbe ProbeFile(const std::u16string& path) override {
    std::wstring wide;
    if (!ToWidePath(path, &wide)) return FileProbe::kMissing;
    UniqueHandle file = OpenNoFollow(wide, GENERIC_READ, kShareAll, OPEN_EXISTING);
    if (!file.valid()) {
      const DWORD error = ::GetLastError();
      return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION
                 ? FileProbe::kAccessDenied
                 : FileProbe::kMissing;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    return IsRegularFile(file.get(), &info) ? FileProbe::kReadableFile : FileProbe::kNotAFile;
  }

  bool RenameReplacing(const std::u16string& from, const std::u16string& to) override {
    std::wstring wideFrom, wideTo;
    if (!ToWidePath(from, &wideFrom) || !ToWidePath(to, &wideTo)) return false;
    return ::MoveFileExW(wideFrom.c_str(), wideTo.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  }

  std::unique_ptr<AppendFile> OpenAppendText(const std::u16string& path) override {
    std::wstring wide;
    if (!ToWidePath(path, &wide)) return nullptr;
    // Never a link's target, never a pipe or device planted at the name.
    UniqueHandle file = OpenNoFollow(wide, FILE_APPEND_DATA | SYNCHRONIZE,
                                     FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_ALWAYS);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file.valid() || !IsRegularFile(file.get(), &info)) return nullptr;
    return std::make_unique<WindowsAppendFile>(std::move(file));
  }

  std::optional<std::string> ReadSmallFile(const std::u16string& path, uint64_t maxBytes) override {
    // Followed through a link, as on Linux; never a device or a directory.
    std::wstring wide;
    if (!ToWidePath(path, &wide)) return std::nullopt;
    UniqueHandle file(::CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file.valid() || !IsRegularFile(file.get(), &info)) return std::nullopt;
    const uint64_t size = Join64(info.nFileSizeHigh, info.nFileSizeLow);
    if (size > maxBytes) return std::nullopt;
    std::string content;
    content.reserve(static_cast<size_t>(size));
    // The file may grow while it is read: never take more than maxBytes.
    char chunk[16384];
    while (true) {
      DWORD read = 0;
      if (!::ReadFile(file.get(), chunk, sizeof(chunk), &read, nullptr)) return std::nullopt;
      if (read == 0) break;
      if (content.size() + read > maxBytes) return std::nullopt;
      content.append(chunk, read);
    }
    return content;
  }

  std::optional<std::u16string> AbsolutePath(const std::u16string& path) override {
    if (path.empty() || path.find(u'\0') != std::u16string::npos) return std::nullopt;
    // GetFullPathNameW folds "." and "..", takes "/" for "\" and joins the
    // current directory of the path's drive; it resolves no link and takes
    // paths of any length (the long-path prefix would come back in its answer).
    const std::wstring wide(reinterpret_cast<const wchar_t*>(path.data()), path.size());
    std::wstring full(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 3; ++attempt) {
      const DWORD length =
          ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
      if (length == 0) return std::nullopt;
      if (length < full.size()) {
        full.resize(length);
        return DropExtraSeparators(FromWide(full));
      }
      full.resize(length);
    }
    return std::nullopt;
  }

  bool CreateDirectories(const std::u16string& path) override {
    // Each missing component in turn, from the root down: SHCreateDirectoryExW
    // stops at MAX_PATH, and a store's path is never cut.
    std::wstring wide;
    if (!ToWidePath(path, &wide)) return false;
    if (IsDirectory(wide)) return true;
    const std::u16string absolute = AbsolutePath(path).value_or(std::u16string());
    if (!IsPlainAbsolutePath(absolute)) return false;
    for (size_t at = absolute.find(kPathSeparator, 3);;
         at = absolute.find(kPathSeparator, at + 1)) {
      std::wstring prefix;
      if (!ToWidePath(absolute.substr(0, at), &prefix)) return false;
      if (!::CreateDirectoryW(prefix.c_str(), nullptr) &&
          ::GetLastError() != ERROR_ALREADY_EXISTS && !IsDirectory(prefix)) {
        // A share's server and share names cannot be created, only reached.
        if (at != std::u16string::npos) continue;
        return false;
      }
      if (at == std::u16string::npos) break;
    }
    return IsDirectory(wide);
  }

  bool CreatePrivateFile(const std::u16string& path) override {
    std::wstring wide;
    if (!ToWidePath(path, &wide)) return false;
    UniqueHandle file(::CreateFileW(wide.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.valid()) return true;
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
    file = OpenNoFollow(wide, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING);
    BY_HANDLE_FILE_INFORMATION info{};
    return file.valid() && IsRegularFile(file.get(), &info);
  }

  std::unique_ptr<StagedCopy> StageCopy(const CopySource& source, const std::u16string& directory,
                                        const PartialName& partial,
                                        std::u16string* failure) override {
    std::wstring wideSource, wideDirectory;
    const bool lent = source.lentHandle != kNoLentHandle;
    if ((!lent && !ToWidePath(source.path, &wideSource)) ||
        !ToWidePath(directory, &wideDirectory)) {
      if (failure != nullptr) *failure = u"the path is not valid text";
      return nullptr;
    }
    if (lent && source.lentHandle == 0) {
      if (failure != nullptr) *failure = u"source: not a file handle";
      return nullptr;
    }
    std::string reason;
    std::unique_ptr<StagedCopy> copy = StageCopyWindows(
        wideSource, lent ? reinterpret_cast<HANDLE>(source.lentHandle) : nullptr, source.mayLink,
        directory, std::u16string(partial.prefix), std::u16string(partial.suffix), &reason);
    if (!copy && failure != nullptr) *failure = Utf8ToUtf16Lossy(reason);
    return copy;
  }

  bool SyncFileSystemOf(const std::u16string& path) override {
    // Every copy is flushed when it is staged (StageCopyWindows): that is what
    // a committed row needs. The volume's own flush would reach the rest but
    // needs an administrator, and is only tried.
    std::wstring wide;
    if (!ToWidePath(path, &wide) || ::GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES) {
      return false;
    }
    std::wstring root(MAX_PATH + 1, L'\0');
    if (::GetVolumePathNameW(wide.c_str(), root.data(), MAX_PATH)) {
      root.resize(std::wcslen(root.c_str()));
      if (root.size() == 3 && root[1] == L':') {
        const std::wstring volume = L"\\\\.\\" + root.substr(0, 2);
        UniqueHandle handle(::CreateFileW(volume.c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
        if (handle.valid()) ::FlushFileBuffers(handle.get());
      }
    }
    return true;
  }

  std::optional<int64_t> LocalTimeToEpochSeconds(const LocalTime& time) override {
    // The fields as if they were UTC, then standard time's bias (daylight
    // saving never applied), as the Linux backend's mktime with tm_isdst 0.
    SYSTEMTIME fields{};
    fields.wYear = time.year;
    fields.wMonth = time.month;
    fields.wDay = time.day;
    fields.wHour = time.hour;
    fields.wMinute = time.minute;
    fields.wSecond = time.second;
    FILETIME asUtc{};
    if (!::SystemTimeToFileTime(&fields, &asUtc)) return std::nullopt;
    TIME_ZONE_INFORMATION zone{};
    if (::GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID) return std::nullopt;
    const uint64_t units = FromFileTime(asUtc);
    const int64_t seconds =
        (static_cast<int64_t>(units) - static_cast<int64_t>(kUnixEpochIn100ns)) / 10000000;
    return seconds + static_cast<int64_t>(zone.Bias + zone.StandardBias) * 60;
  }

  std::vector<std::u16string> ListDirectory(const std::u16string& path) override {
    std::vector<std::u16string> names;
    ForEachEntry(
        path, [&](const WIN32_FIND_DATAW& entry) { names.push_back(FromWide(entry.cFileName)); });
    return names;
  }

  std::unique_ptr<SequentialFile> OpenSequentialFile(const std::u16string& path) override {
    uint64_t size = 0;
    UniqueHandle file =
        OpenRegularForReading(path, &size, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
    if (!file.valid()) return nullptr;
    return std::make_unique<WindowsSequentialFile>(std::move(file), size);
  }

  std::unique_ptr<RandomAccessFile> OpenRandomAccessFile(const std::u16string& path) override {
    uint64_t size = 0;
    UniqueHandle file = OpenRegularForReading(path, &size, FILE_ATTRIBUTE_NORMAL);
    if (!file.valid()) return nullptr;
    return std::make_unique<WindowsRandomAccessFile>(std::move(file), size);
  }

  std::vector<DirectoryFile> ListDirectoryFiles(const std::u16string& path) override {
    std::vector<DirectoryFile> files;
    ForEachEntry(path, [&](const WIN32_FIND_DATAW& entry) {
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return;
      // Links are not files of their own; other reparse points are.
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
          IsReparseTagNameSurrogate(entry.dwReserved0)) {
        return;
      }
      DirectoryFile file;
      file.name = FromWide(entry.cFileName);
      file.size = Join64(entry.nFileSizeHigh, entry.nFileSizeLow);
      file.creationTime = FromFileTime(entry.ftCreationTime);
      files.push_back(std::move(file));
    });
    return files;
  }

  void WriteStandardOutput(std::string_view text) override {
    std::fwrite(text.data(), 1, text.size(), stdout);
  }

  bool RemoveFile(const std::u16string& path) override {
    std::wstring wide;
    if (!ToWidePath(path, &wide)) return false;
    if (::DeleteFileW(wide.c_str())) return true;
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }

  std::optional<std::u16string> GetEnvironmentVariable(std::u16string_view name) override {
    // Windows itself ignores the letter case of variable names.
    if (name.empty() || name.find(u'=') != std::u16string_view::npos ||
        name.find(u'\0') != std::u16string_view::npos) {
      return std::nullopt;
    }
    const std::wstring wideName(reinterpret_cast<const wchar_t*>(name.data()), name.size());
    std::wstring value(256, L'\0');
    while (true) {
      ::SetLastError(ERROR_SUCCESS);
      const DWORD length = ::GetEnvironmentVariableW(wideName.c_str(), value.data(),
                                                     static_cast<DWORD>(value.size()));
      if (length == 0) {
        if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
        return std::u16string();
      }
      if (length < value.size()) {
        value.resize(length);
        return FromWide(value);
      }
      value.resize(length);
    }
  }

  std::unique_ptr<DirectoryLock> TryLockDirectory(const std::u16string& path,
                                                  bool* heldElsewhere) override {
    if (heldElsewhere != nullptr) *heldElsewhere = false;
    std::wstring wide;
    if (!ToWidePath(path, &wide)) return nullptr;
    // The directory a junction or link reaches, so that every path to one
    // store meets the same lock.
    UniqueHandle directory(::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!directory.valid() || !::GetFileInformationByHandle(directory.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return nullptr;
    }
    // Global: an engine in a service and one in a user's session see each other.
    const auto hex = [](DWORD value) {
      std::wstring digits(8, L'0');
      for (int i = 7; i >= 0; --i, value >>= 4) digits[i] = L"0123456789abcdef"[value & 15];
      return digits;
    };
    const std::wstring name = L"Global\\orv-store-" + hex(info.dwVolumeSerialNumber) + L"-" +
                              hex(info.nFileIndexHigh) + hex(info.nFileIndexLow);
    UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, name.c_str()));
    if (!mutex.valid()) {
      if (::GetLastError() == ERROR_ACCESS_DENIED && heldElsewhere != nullptr) {
        *heldElsewhere = true;  // made by another user's engine
      }
      return nullptr;
    }
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
      if (heldElsewhere != nullptr) *heldElsewhere = true;
      return nullptr;
    }
    return std::make_unique<WindowsDirectoryLock>(std::move(mutex));
  }

  std::optional<FileState> GetFileState(const std::u16string& path) override {
    std::wstring wide;
    if (!ToWidePath(path, &wide)) return std::nullopt;
    UniqueHandle file = OpenNoFollow(wide, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING);
    FileState state;
    if (!file.valid() || !StateOfHandle(file.get(), &state)) return std::nullopt;
    return state;
  }

  uint64_t GetSystemTime() override {
    FILETIME now{};
    ::GetSystemTimePreciseAsFileTime(&now);
    return FromFileTime(now);
  }

 private:
  // Calls visit for each entry of the directory at path but "." and "..".
  template <typename Visit>
  static void ForEachEntry(const std::u16string& path, Visit visit) {
    std::wstring pattern;
    if (!ToWidePath(path, &pattern)) return;
    if (pattern.back() != L'\\') pattern.push_back(L'\\');
    pattern.push_back(L'*');
    WIN32_FIND_DATAW entry{};
    const HANDLE find =
        ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr,
                           FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
      const std::wstring_view name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      visit(entry);
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
  }
};

}  // namespace

Env* Env::Default() {
  static WindowsEnv env;
  return &env;
}

}  // namespace orv
