// What the Windows backend's files share: owned handles, engine paths in the
// form Win32 calls take, and a file's identity and times. Platform-internal,
// Windows only.
#ifndef ORV_PLATFORM_WINDOWS_FILE_H_
#define ORV_PLATFORM_WINDOWS_FILE_H_

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// Env has a method of this name; windows.h makes it a macro.
#undef GetEnvironmentVariable

#include <string>
#include <string_view>

#include "platform/env.h"

namespace orv {

// A file handle closed when the object goes.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }
  HANDLE release() {
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }
  void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
    if (valid()) ::CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// The path as Win32 calls take it: false for a path no file can have (empty,
// holding a 0, invalid UTF-16). A plain absolute path longer than MAX_PATH gets the "\\?\"
// prefix, so whole paths reach the file system however long they are.
bool ToWidePath(std::u16string_view path, std::wstring* wide);

// The engine's text of a name the system gave (wchar_t is UTF-16 here).
inline std::u16string FromWide(std::wstring_view wide) {
  return std::u16string(reinterpret_cast<const char16_t*>(wide.data()), wide.size());
}

// The 64-bit value of two 32-bit halves (sizes, file indexes, FILETIMEs).
inline uint64_t Join64(DWORD high, DWORD low) { return (static_cast<uint64_t>(high) << 32) | low; }
inline uint64_t FromFileTime(const FILETIME& time) {
  return Join64(time.dwHighDateTime, time.dwLowDateTime);
}

// Reads up to length bytes at offset: the count read, 0 at the end, -1 on
// failure. A synchronous handle's file pointer moves with it.
int64_t ReadFileAt(HANDLE file, uint64_t offset, char* buffer, size_t length);

// Writes every byte at the file's pointer (appending, for an append handle).
bool WriteFileAll(HANDLE file, const char* data, size_t length);

// The system's text for an error code, without its line end.
std::string ErrorText(DWORD error);

// Sharing that lets the file's owner go on reading, writing, renaming and
// deleting it while the engine holds it.
inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens path as CreateFileW does, never through a symbolic link or junction
// (the link itself is opened and found not to be a regular file). Other
// reparse points (files kept in the cloud, deduplicated files) are files and are
// opened through.
UniqueHandle OpenNoFollow(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
                          DWORD flags = FILE_ATTRIBUTE_NORMAL);

// True when the handle is a regular file on a disk: not a directory, a link,
// a pipe or a device.
bool IsRegularFile(HANDLE file, BY_HANDLE_FILE_INFORMATION* info);

// The state of an open file: volume serial, file index, size, last write and
// last change (FILE_BASIC_INFO's ChangeTime, where the file system keeps it;
// else the last write).
bool StateOfHandle(HANDLE file, FileState* state);

}  // namespace orv

#endif  // ORV_PLATFORM_WINDOWS_FILE_H_
