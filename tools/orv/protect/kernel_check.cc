#include "protect/kernel_check.h"

#include <sys/utsname.h>

#include <cstdio>
#include <string>

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

}  // namespace orv::tool
