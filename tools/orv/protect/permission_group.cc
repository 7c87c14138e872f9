#include "protect/permission_group.h"

#include <fcntl.h>
#include <sys/fanotify.h>

#include <cerrno>

namespace orv::tool {
namespace {

// Kernels before 6.13 drop such an event without a word. Not in every header
// yet.
#ifndef FAN_REPORT_FD_ERROR
constexpr unsigned FAN_REPORT_FD_ERROR = 0x00002000;
#endif

}  // namespace

UniqueFd OpenPermissionGroup(unsigned groupClass) {
  const unsigned flags = groupClass | FAN_CLOEXEC | FAN_REPORT_TID;
  constexpr unsigned kEventFlags = O_RDONLY | O_LARGEFILE | O_CLOEXEC | O_NONBLOCK;
  UniqueFd group(::fanotify_init(flags | FAN_REPORT_FD_ERROR, kEventFlags));
  if (!group.valid() && errno == EINVAL) group = UniqueFd(::fanotify_init(flags, kEventFlags));
  return group;
}

}  // namespace orv::tool
