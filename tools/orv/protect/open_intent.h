// Whether a process blocked in an open means to write. fanotify does not carry
// the open's flags; the opener's current system call shows them.
#ifndef ORV_TOOLS_ORV_PROTECT_OPEN_INTENT_H_
#define ORV_TOOLS_ORV_PROTECT_OPEN_INTENT_H_

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orv::tool {

// The text of /proc/<tid>/syscall: the number of the system call thread tid
// is blocked in and its arguments; empty when it cannot be read. A thread
// that still shows as running is looked at again until it sleeps, for at most
// 50 ms ("running" after that).
std::string SyscallText(pid_t tid);

// Parses one number of such a text (decimal, or hexadecimal after "0x") at
// the start of text, and skips it and the spaces after it. nullopt when text
// does not start with one ("-1" of a thread in no system call, "running").
std::optional<uint64_t> TakeSyscallNumber(std::string_view& text);

// True when thread tid, blocked in open, openat or creat, asks for writing or
// truncation (the flags are read from its saved registers, which nothing can
// change while it waits). An openat2, whose flags lie in memory the opener
// can rewrite, and an open that cannot be decoded (io_uring, a thread that
// went away) count as writes: a copy too many costs a little space, a copy
// too few loses an edition.
bool OpensForWriting(pid_t tid);
// The same, from the text of its /proc/<tid>/syscall.
bool OpensForWriting(std::string_view syscallText);

// True when tid is a thread of the calling process.
bool IsOwnThread(pid_t tid);

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_PROTECT_OPEN_INTENT_H_
