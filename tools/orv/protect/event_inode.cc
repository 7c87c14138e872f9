#include "protect/event_inode.h"

#include <fcntl.h>
#include <sys/statfs.h>

#include <cstring>
#include <vector>

namespace orv::tool {

uint64_t FileSystemIdOf(int fd) {
  struct statfs fs {};
  if (::fstatfs(fd, &fs) != 0) return 0;
  uint64_t fsid = 0;
  static_assert(sizeof(fs.f_fsid) == sizeof(fsid));
  std::memcpy(&fsid, &fs.f_fsid, sizeof(fsid));
  return fsid;
}

std::optional<std::string> RawHandleOf(int at, const char* name, int flags) {
  std::vector<uint64_t> storage((sizeof(file_handle) + MAX_HANDLE_SZ) / sizeof(uint64_t) + 1);
  auto* handle = reinterpret_cast<file_handle*>(storage.data());
  handle->handle_bytes = MAX_HANDLE_SZ;
  int mount = 0;
  if (::name_to_handle_at(at, name, handle, &mount, flags) != 0) return std::nullopt;
  std::string raw(reinterpret_cast<const char*>(&handle->handle_type), sizeof(handle->handle_type));
  raw.append(reinterpret_cast<const char*>(handle->f_handle), handle->handle_bytes);
  return raw;
}

}  // namespace orv::tool
