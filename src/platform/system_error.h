// What the OS's error numbers mean, where code outside the platform layer is
// handed one (SQLite's sqlite3_system_errno).
#ifndef ORV_PLATFORM_SYSTEM_ERROR_H_
#define ORV_PLATFORM_SYSTEM_ERROR_H_

#ifndef _WIN32
#include <cerrno>
#endif

namespace orv {

// True when systemError (errno on Linux, GetLastError's value on Windows)
// means the caller may not open the file.
inline bool IsAccessDeniedError(int systemError) {
#ifdef _WIN32
  return systemError == 5;  // ERROR_ACCESS_DENIED
#else
  return systemError == EACCES;
#endif
}

}  // namespace orv

#endif  // ORV_PLATFORM_SYSTEM_ERROR_H_
