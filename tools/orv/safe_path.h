// Opening the places a command reads or writes when another user may have a
// say in them: an edition's content (a copy in the store, or a renamed file
// where its owner left it), the directory a restore writes into, the store
// itself. A symbolic link planted by another user never leads the tool
// elsewhere, and nothing but a regular file is ever read.
#ifndef ORV_TOOLS_ORV_SAFE_PATH_H_
#define ORV_TOOLS_ORV_SAFE_PATH_H_

#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>

namespace orv::tool {

// Owns a file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// An O_PATH descriptor of the directory at path (absolute), reached one
// component at a time. A symbolic link on the way is followed only when it
// belongs to root or to the caller. Throws ToolError.
Fd OpenDirectory(const std::filesystem::path& path);

// The regular file at path (absolute) opened for reading, its directory
// reached as OpenDirectory reaches it and the file itself never through a
// symbolic link; the open never blocks (a FIFO or a device is refused, never
// opened for long). Throws ToolError.
Fd OpenRegularFile(const std::filesystem::path& path);

// As root, throws ToolError unless no other user can change the store: every
// directory from "/" down to it, and every symbolic link on the way, belongs
// to root, and none may be written by others (a sticky directory such as
// /tmp excepted, the store itself not). A catalog, a copy or a link there is
// otherwise another user's input to a command that runs as root. Does nothing
// for other users, who can only reach what they could change anyway.
void CheckOnlyRootCanChange(const std::filesystem::path& store);

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_SAFE_PATH_H_
