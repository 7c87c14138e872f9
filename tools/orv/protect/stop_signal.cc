#include "protect/stop_signal.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "tool_error.h"

namespace orv::tool {

StopSignal::StopSignal() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw ToolError("cannot make a pipe");
  read_ = UniqueFd(ends[0]);
  write_ = UniqueFd(ends[1]);
}

void StopSignal::Request() {
  requested_.store(true);
  const char byte = 0;
  [[maybe_unused]] ssize_t ignored = ::write(write_.get(), &byte, 1);
}

bool StopSignal::WaitReadable(int fd) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {read_.get(), POLLIN, 0}};
  while (!requested_.load()) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (fds[1].revents != 0) return false;
    if (fds[0].revents != 0) return true;
  }
  return false;
}

void StopSignal::Pause(int milliseconds) {
  pollfd wake{read_.get(), POLLIN, 0};
  ::poll(&wake, 1, milliseconds);
}

}  // namespace orv::tool
