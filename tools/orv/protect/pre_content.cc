#include "protect/pre_content.h"

#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "protect/open_intent.h"
#include "protect/permission_group.h"
#include "tool_error.h"

namespace orv::tool {
namespace {

// Not in every header yet (Linux 6.14 and 6.13).
#ifndef FAN_PRE_ACCESS
constexpr uint64_t FAN_PRE_ACCESS = 0x00100000;
#endif
#ifndef FAN_EVENT_INFO_TYPE_RANGE
constexpr uint8_t FAN_EVENT_INFO_TYPE_RANGE = 6;
struct fanotify_event_info_range {
  fanotify_event_info_header hdr;
  uint32_t pad;
  uint64_t offset;
  uint64_t count;
};
#endif

constexpr uint64_t kMask = FAN_PRE_ACCESS | FAN_EVENT_ON_CHILD;

// The count of the event's range record; nullopt when it has none.
std::optional<uint64_t> RangeCount(const char* event, const fanotify_event_metadata& metadata) {
  const char* cursor = event + metadata.metadata_len;
  const char* end = event + metadata.event_len;
  while (cursor + sizeof(fanotify_event_info_header) <= end) {
    fanotify_event_info_header header;
    std::memcpy(&header, cursor, sizeof(header));
    if (header.len < sizeof(header) || cursor + header.len > end) break;
    if (header.info_type == FAN_EVENT_INFO_TYPE_RANGE &&
        header.len >= sizeof(fanotify_event_info_range)) {
      fanotify_event_info_range range;
      std::memcpy(&range, cursor, sizeof(range));
      return range.count;
    }
    cursor += header.len;
  }
  return std::nullopt;
}

}  // namespace

std::optional<uint64_t> TruncateLength(std::string_view text) {
  // A 32-bit process reports its own numbers; none of theirs that can raise
  // a pre-content event reads as this one, so such a truncate is let through
  // uncopied rather than a read taken for one.
  const std::optional<uint64_t> number = TakeSyscallNumber(text);
  if (!number || *number != SYS_truncate) return std::nullopt;
  if (!TakeSyscallNumber(text)) return std::nullopt;  // the path, in the caller's memory
  return TakeSyscallNumber(text);
}

bool PreContentGuard::Supported(std::string* why) {
  const auto fail = [why](const std::string& reason) {
    if (why != nullptr) *why = reason;
    return false;
  };
  const UniqueFd group(::fanotify_init(FAN_CLASS_PRE_CONTENT | FAN_CLOEXEC, O_RDONLY));
  if (!group.valid()) {
    return fail(errno == EPERM ? "pre-content events need root"
                               : std::string("no fanotify here: ") + std::strerror(errno));
  }
  // The kernel checks the event bits before the file system: an unknown bit
  // is EINVAL wherever the mark goes, a file system without them EOPNOTSUPP.
  if (::fanotify_mark(group.get(), FAN_MARK_ADD | FAN_MARK_ONLYDIR, kMask, AT_FDCWD, "/") != 0 &&
      errno == EINVAL) {
    return fail("the kernel has no pre-content events (Linux 6.14 or later has them)");
  }
  return true;
}

PreContentGuard::PreContentGuard()
    : group_(OpenPermissionGroup(FAN_CLASS_PRE_CONTENT)),
      pageSize_(static_cast<uint64_t>(::sysconf(_SC_PAGESIZE))) {
  if (!group_.valid()) {
    throw ToolError(std::string("pre-content events are not available: ") + std::strerror(errno));
  }
}

int PreContentGuard::Mark(const std::string& directory) {
  return MarkAt(AT_FDCWD, directory.c_str());
}

int PreContentGuard::Mark(int directory) { return MarkAt(directory, nullptr); }

int PreContentGuard::MarkAt(int directory, const char* path) {
  const int result = ::fanotify_mark(
      group_.get(), FAN_MARK_ADD | FAN_MARK_ONLYDIR | FAN_MARK_DONT_FOLLOW, kMask, directory, path);
  return result == 0 ? 0 : errno;
}

void PreContentGuard::RequestStop() { stop_.Request(); }

void PreContentGuard::Answer(int fd, pid_t tid, uint64_t count, const TruncateHandler& onTruncate) {
  // A truncate's range is at most one page (its new length, rounded); most
  // reads and writes are larger, and are let through without reading /proc.
  if (count <= pageSize_) {
    if (const std::optional<uint64_t> length = TruncateLength(SyscallText(tid))) {
      truncates_.fetch_add(1, std::memory_order_relaxed);
      onTruncate(fd, tid, *length);
    }
  }
  fanotify_response response{fd, FAN_ALLOW};
  [[maybe_unused]] ssize_t ignored = ::write(group_.get(), &response, sizeof(response));
  ::close(fd);
  events_.fetch_add(1, std::memory_order_relaxed);
}

void PreContentGuard::Read(const TruncateHandler& onTruncate) {
  alignas(fanotify_event_metadata) char buffer[8192];
  while (stop_.WaitReadable(group_.get())) {
    const ssize_t length = ::read(group_.get(), buffer, sizeof(buffer));
    if (length < 0 && errno != EINTR && errno != EAGAIN) {
      // Out of descriptors, most likely: waited out rather than spun on.
      stop_.Pause(10);
      continue;
    }
    for (size_t offset = 0;
         length > 0 && offset + sizeof(fanotify_event_metadata) <= static_cast<size_t>(length);) {
      fanotify_event_metadata event;
      std::memcpy(&event, buffer + offset, sizeof(event));
      if (event.event_len < sizeof(event) ||
          offset + event.event_len > static_cast<size_t>(length)) {
        break;
      }
      // Every event with a descriptor holds a thread until answered. One
      // without a range (none should come) is looked at like a one-page one.
      // Without a descriptor the kernel has answered already, or the queue
      // overflowed (which holds nobody).
      if (event.fd >= 0) {
        Answer(event.fd, event.pid, RangeCount(buffer + offset, event).value_or(0), onTruncate);
      }
      offset += event.event_len;
    }
  }
}

}  // namespace orv::tool
