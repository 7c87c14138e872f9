// Whether a process blocked in an open means to write. fanotify does not carry
// the open's flags; the opener's current system call shows them.
#ifndef ORV_TOOLS_ORV_PROTECT_OPEN_INTENT_H_
#define ORV_TOOLS_ORV_PROTECT_OPEN_INTENT_H_

#include <sys/types.h>

namespace orv::tool {

// True when thread tid, blocked in open, openat or creat, asks for writing or
// truncation (the flags are read from its saved registers, which nothing can
// change while it waits). An openat2, whose flags lie in memory the opener
// can rewrite, and an open that cannot be decoded (io_uring, a thread that
// went away) count as writes: a copy too many costs a little space, a copy
// too few loses an edition.
bool OpensForWriting(pid_t tid);

// True when tid is a thread of the calling process.
bool IsOwnThread(pid_t tid);

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_PROTECT_OPEN_INTENT_H_
