// Whether the running kernel has what live protection needs: fanotify events
// that carry a directory handle, a name and the rename's both ends.
#ifndef ORV_TOOLS_ORV_PROTECT_KERNEL_CHECK_H_
#define ORV_TOOLS_ORV_PROTECT_KERNEL_CHECK_H_

#include <string_view>

namespace orv::tool {

// True when release (as uname reports it, "6.1.0-13-amd64") names Linux 5.17
// or later. A release that does not start with two numbers is too old.
bool KernelSupportsProtection(std::string_view release);

// Throws ToolError, naming the running release, unless the kernel supports
// live protection.
void CheckKernel();

// Throws ToolError unless this process may open a fanotify permission group
// (root, or CAP_SYS_ADMIN): asked before anything is made, so that a user who
// forgot sudo is not left with a store of their own that hides root's.
void CheckMayWatch();

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_PROTECT_KERNEL_CHECK_H_
