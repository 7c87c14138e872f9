#include "protect/fanotify_groups.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "protect/permission_group.h"
#include "tool_error.h"

namespace orv::tool {
namespace {

constexpr unsigned kMarkFlags = FAN_MARK_ADD | FAN_MARK_ONLYDIR;
constexpr uint64_t kNotificationMask = FAN_MODIFY | FAN_CLOSE_WRITE | FAN_DELETE | FAN_RENAME |
                                       FAN_CREATE | FAN_ONDIR | FAN_EVENT_ON_CHILD;
constexpr uint64_t kContentMask = FAN_OPEN_PERM | FAN_EVENT_ON_CHILD;

int MarkResult(int result) { return result == 0 ? 0 : errno; }

// Adds group's mark on the file system of directory. Out of marks, the
// directory mark of replaced (which the file-system mark covers) is given up
// to make room, and taken again if that did not help.
int AddFileSystemMark(int group, uint64_t mask, int directory, int replaced) {
  const auto add = [&] {
    return MarkResult(
        ::fanotify_mark(group, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, mask, directory, nullptr));
  };
  int error = add();
  if (error != ENOSPC || replaced < 0) return error;
  if (::fanotify_mark(group, FAN_MARK_REMOVE | FAN_MARK_ONLYDIR, mask, replaced, nullptr) != 0) {
    return error;
  }
  error = add();
  if (error != 0) ::fanotify_mark(group, kMarkFlags, mask, replaced, nullptr);
  return error;
}

}  // namespace

std::string FdPath(int fd) {
  char link[64];
  std::snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  char target[PATH_MAX + 1];
  const ssize_t n = ::readlink(link, target, PATH_MAX);
  return n <= 0 ? std::string() : std::string(target, static_cast<size_t>(n));
}

namespace {

// The file system id a record carries, both words as one number.
uint64_t FsidOf(const char* record) {
  fanotify_event_info_fid info;
  std::memcpy(&info, record, sizeof(info));
  uint64_t fsid = 0;
  static_assert(sizeof(info.fsid) == sizeof(fsid));
  std::memcpy(&fsid, &info.fsid, sizeof(fsid));
  return fsid;
}

// The handle a record carries, aligned; null when the record is too short
// for it. The bytes after the handle (a name) stay in record.
const file_handle* HandleIn(const char* record, size_t length, std::vector<uint64_t>* aligned) {
  const size_t handleOffset = offsetof(fanotify_event_info_fid, handle);
  if (length < handleOffset + sizeof(file_handle)) return nullptr;
  aligned->assign((length - handleOffset + sizeof(uint64_t)) / sizeof(uint64_t) + 1, 0);
  std::memcpy(aligned->data(), record + handleOffset, length - handleOffset);
  auto* handle = reinterpret_cast<const file_handle*>(aligned->data());
  if (sizeof(file_handle) + handle->handle_bytes > length - handleOffset) return nullptr;
  return handle;
}

// A handle as EventInode keeps it: its type, then its bytes.
std::string RawHandle(const file_handle& handle) {
  std::string raw(reinterpret_cast<const char*>(&handle.handle_type), sizeof(handle.handle_type));
  raw.append(reinterpret_cast<const char*>(handle.f_handle), handle.handle_bytes);
  return raw;
}

// How the directories of an event's records are made paths.
struct Resolver {
  const std::vector<int>& mounts;
  const FanotifyGroups::DirectoryLookup& known;
};

// The directory and name a record (a directory handle and a name) carries,
// as a path; *holder receives the directory's owner when wanted and the
// directory is still there.
std::string ResolveName(const Resolver& resolver, const char* record, size_t length,
                        bool wantHolder, std::optional<EventInode::Holder>* holder) {
  std::vector<uint64_t> aligned;
  const file_handle* handle = HandleIn(record, length, &aligned);
  const size_t handleOffset = offsetof(fanotify_event_info_fid, handle);
  // The name follows the handle, and ends within the record.
  if (handle == nullptr || sizeof(file_handle) + handle->handle_bytes >= length - handleOffset) {
    return {};
  }
  const char* name = reinterpret_cast<const char*>(handle->f_handle + handle->handle_bytes);
  const auto join = [name](const std::string& directory) {
    if (std::strcmp(name, ".") == 0 || *name == '\0') return directory;
    return directory == "/" ? "/" + std::string(name) : directory + "/" + name;
  };
  std::optional<std::string> directory =
      resolver.known ? resolver.known(FsidOf(record), RawHandle(*handle)) : std::nullopt;
  if (directory && !wantHolder) return join(*directory);
  for (int mount : resolver.mounts) {
    const UniqueFd fd(
        ::open_by_handle_at(mount, const_cast<file_handle*>(handle), O_PATH | O_CLOEXEC));
    if (!fd.valid()) continue;
    struct stat st {};
    if (::fstat(fd.get(), &st) == 0) *holder = EventInode::Holder{st.st_uid, st.st_gid};
    if (!directory) directory = FdPath(fd.get());
    break;
  }
  return directory && !directory->empty() ? join(*directory) : std::string();
}

// The file a record names by its own handle (no name follows).
void ReadInode(const char* record, size_t length, EventInode* inode) {
  std::vector<uint64_t> aligned;
  const file_handle* handle = HandleIn(record, length, &aligned);
  if (handle == nullptr) return;
  inode->fsid = FsidOf(record);
  inode->handle = RawHandle(*handle);
}

// The event at bytes (metadata, then its information records), its names
// resolved.
Notification Parse(const Resolver& resolver, const fanotify_event_metadata& metadata,
                   const char* bytes) {
  Notification event;
  event.directory = (metadata.mask & FAN_ONDIR) != 0;
  event.created = (metadata.mask & FAN_CREATE) != 0;
  event.modified = (metadata.mask & FAN_MODIFY) != 0;
  event.closedAfterWrite = (metadata.mask & FAN_CLOSE_WRITE) != 0;
  event.deleted = (metadata.mask & FAN_DELETE) != 0;
  event.renamed = (metadata.mask & FAN_RENAME) != 0;
  event.pid = metadata.pid;
  const char* cursor = bytes + metadata.metadata_len;
  const char* end = bytes + metadata.event_len;
  // The owner of the directory matters only where a file is seen.
  const bool wantHolder = event.created || event.renamed;
  std::optional<EventInode::Holder> from, to;
  while (cursor + sizeof(fanotify_event_info_header) <= end) {
    fanotify_event_info_header header;
    std::memcpy(&header, cursor, sizeof(header));
    if (header.len < sizeof(header) || cursor + header.len > end) break;
    switch (header.info_type) {
      case FAN_EVENT_INFO_TYPE_DFID_NAME:
      case FAN_EVENT_INFO_TYPE_OLD_DFID_NAME:
        (header.info_type == FAN_EVENT_INFO_TYPE_DFID_NAME ? event.path : event.oldPath) =
            ResolveName(resolver, cursor, header.len, wantHolder, &from);
        break;
      case FAN_EVENT_INFO_TYPE_NEW_DFID_NAME:
        event.newPath = ResolveName(resolver, cursor, header.len, wantHolder, &to);
        break;
      case FAN_EVENT_INFO_TYPE_FID:
        ReadInode(cursor, header.len, &event.inode);
        break;
      default:
        break;
    }
    cursor += header.len;
  }
  // A file renamed lies in the directory it went to.
  event.inode.holder = event.renamed && !event.newPath.empty() ? to : from;
  return event;
}

}  // namespace

FanotifyGroups::FanotifyGroups()
    : permission_(OpenPermissionGroup(FAN_CLASS_CONTENT)),
      // Unlimited: an event dropped from a full queue would lose what a deletion or
      // a save by rename leaves behind. Events wait in kernel memory meanwhile.
      notification_(::fanotify_init(
          FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_REPORT_DFID_NAME_TARGET | FAN_UNLIMITED_QUEUE,
          O_RDONLY | O_LARGEFILE | O_CLOEXEC)) {
  if (!permission_.valid() || !notification_.valid()) {
    throw ToolError(std::string("fanotify is not available: ") + std::strerror(errno) +
                    " (live protection runs as root)");
  }
}

int FanotifyGroups::AddNotificationMark(int directory) {
  return MarkResult(
      ::fanotify_mark(notification_.get(), kMarkFlags, kNotificationMask, directory, nullptr));
}

int FanotifyGroups::AddContentMark(int directory) {
  return MarkResult(
      ::fanotify_mark(permission_.get(), kMarkFlags, kContentMask, directory, nullptr));
}

void FanotifyGroups::RemoveNotificationMark(int directory) {
  ::fanotify_mark(notification_.get(), FAN_MARK_REMOVE | FAN_MARK_ONLYDIR, kNotificationMask,
                  directory, nullptr);
}

int FanotifyGroups::AddFileSystemMarks(int directory, int replaced) {
  // The notification mark first, as for a directory.
  const int notification = notification_.get(), content = permission_.get();
  if (const int error = AddFileSystemMark(notification, kNotificationMask, directory, replaced);
      error != 0) {
    return error;
  }
  if (const int error = AddFileSystemMark(content, kContentMask, directory, replaced); error != 0) {
    ::fanotify_mark(notification, FAN_MARK_REMOVE | FAN_MARK_FILESYSTEM, kNotificationMask,
                    directory, nullptr);
    // Both marks or neither on replaced, should it have given up the first.
    if (replaced >= 0)
      ::fanotify_mark(notification, kMarkFlags, kNotificationMask, replaced, nullptr);
    return error;
  }
  return 0;
}

size_t FanotifyGroups::NotificationBacklog() const {
  int bytes = 0;
  return ::ioctl(notification_.get(), FIONREAD, &bytes) == 0 && bytes > 0
             ? static_cast<size_t>(bytes)
             : 0;
}

void FanotifyGroups::Allow(int fd) {
  fanotify_response response{fd, FAN_ALLOW};
  [[maybe_unused]] ssize_t ignored = ::write(permission_.get(), &response, sizeof(response));
  ::close(fd);
}

void FanotifyGroups::RequestStop() { stop_.Request(); }

void FanotifyGroups::ReadHeldOpens(const HeldOpenHandler& onOpen, const RefusedHandler& onRefused,
                                   const OverflowHandler& onOverflow) {
  alignas(fanotify_event_metadata) char buffer[8192];
  while (stop_.WaitReadable(permission_.get())) {
    const ssize_t length = ::read(permission_.get(), buffer, sizeof(buffer));
    if (length < 0 && errno != EINTR && errno != EAGAIN) {
      // Out of descriptors, most likely (kernels that cannot report it per
      // event fail the read): counted, and waited out rather than spun on.
      onRefused(0, errno);
      stop_.Pause(10);
      continue;
    }
    if (length <= 0) continue;
    for (size_t offset = 0;
         offset + sizeof(fanotify_event_metadata) <= static_cast<size_t>(length);) {
      fanotify_event_metadata event;
      std::memcpy(&event, buffer + offset, sizeof(event));
      if (event.event_len < sizeof(event)) break;
      offset += event.event_len;
      if (event.mask & FAN_Q_OVERFLOW) {
        onOverflow();
      } else if (event.fd >= 0) {
        onOpen(event.fd, event.pid);
      } else {
        onRefused(event.pid, -event.fd);  // the kernel has refused the open already
      }
    }
  }
}

void FanotifyGroups::ReadNotifications(const std::vector<int>& mounts, const DirectoryLookup& known,
                                       const NotificationHandler& onEvent,
                                       const OverflowHandler& onOverflow) {
  alignas(fanotify_event_metadata) char buffer[65536];
  while (true) {
    const bool readable = stop_.WaitReadable(notification_.get());
    if (!readable) {
      pollfd pending{notification_.get(), POLLIN, 0};
      if (::poll(&pending, 1, 0) <= 0) return;
    }
    const ssize_t length = ::read(notification_.get(), buffer, sizeof(buffer));
    if (length <= 0) {
      if (!readable) return;
      if (length < 0 && errno != EINTR && errno != EAGAIN) stop_.Pause(10);
      continue;
    }
    // Events with names have any length: they are copied out, never read in
    // place at an address that may not be aligned.
    for (size_t offset = 0;
         offset + sizeof(fanotify_event_metadata) <= static_cast<size_t>(length);) {
      fanotify_event_metadata event;
      std::memcpy(&event, buffer + offset, sizeof(event));
      if (event.event_len < sizeof(event) ||
          offset + event.event_len > static_cast<size_t>(length)) {
        break;
      }
      if (event.mask & FAN_Q_OVERFLOW) {
        onOverflow();
      } else {
        onEvent(Parse(Resolver{mounts, known}, event, buffer + offset));
      }
      if (event.fd >= 0) ::close(event.fd);
      offset += event.event_len;
    }
  }
}

}  // namespace orv::tool
