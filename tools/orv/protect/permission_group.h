// The fanotify groups whose events hold a thread until answered.
#ifndef ORV_TOOLS_ORV_PROTECT_PERMISSION_GROUP_H_
#define ORV_TOOLS_ORV_PROTECT_PERMISSION_GROUP_H_

#include "platform/unique_fd.h"

namespace orv::tool {

// A group of groupClass (FAN_CLASS_CONTENT or FAN_CLASS_PRE_CONTENT) that
// reports the acting thread, and, where the kernel can, an event whose
// descriptor it could not open (fd holds the error) rather than dropping it.
// Its descriptors are opened read-only without waiting: a file with a write
// lease, or a FIFO, would otherwise hold the one reader (and with it every
// event of the trees) until the lease breaks or a writer comes; the kernel
// refuses such an access at once instead. Invalid, errno set, on failure.
UniqueFd OpenPermissionGroup(unsigned groupClass);

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_PROTECT_PERMISSION_GROUP_H_
