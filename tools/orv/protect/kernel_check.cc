#include "protect/kernel_check.h"

#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/utsname.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/unique_fd.h"
#include "tool_error.h"

namespace orv::tool {

bool KernelSupportsProtection(std::string_view release) {
  const std::string text(release);
  int major = 0, minor = 0;
  if (std::sscanf(text.c_str(), "%d.%d", &major, &minor) != 2) return false;
  return major > 5 || (major == 5 && minor >= 17);
}

void CheckKernel() {
  utsname name{};
  ::uname(&name);
  if (!KernelSupportsProtection(name.release)) {
    throw ToolError(std::string("live protection needs Linux 5.17 or later (this is ") +
                    name.release + ")");
  }
}

void CheckMayWatch() {
  const UniqueFd probe(::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_CLOEXEC));
  if (probe.valid()) return;
  if (errno == EPERM) {
    throw ToolError("live protection runs as root (sudo orv protect ...)");
  }
  throw ToolError(std::string("fanotify is not available: ") + std::strerror(errno));
}

}  // namespace orv::tool
