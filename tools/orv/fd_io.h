// Whole reads and writes on a descriptor: the loops around read(2) and
// write(2) that short counts and signals make necessary.
#ifndef ORV_TOOLS_ORV_FD_IO_H_
#define ORV_TOOLS_ORV_FD_IO_H_

#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

namespace orv::tool {

// Writes all of bytes; false (errno set, unless the file took nothing) when
// it cannot.
inline bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Reads at most size bytes, fewer where the file ends first, into *text;
// false (errno set) on a read error.
inline bool ReadUpTo(int fd, size_t size, std::string* text) {
  text->assign(size, '\0');
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, text->data() + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  text->resize(done);
  return true;
}

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_FD_IO_H_
