// The file an event of the notification group was about, as the kernel
// identified it when the event happened: its handle, which stays valid
// whatever names the file has by the time the event is read.
#ifndef ORV_TOOLS_ORV_PROTECT_EVENT_INODE_H_
#define ORV_TOOLS_ORV_PROTECT_EVENT_INODE_H_

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace orv::tool {

struct EventInode {
  // The file system's id, as statfs reports it (f_fsid, both words).
  uint64_t fsid = 0;
  // The raw file handle: its type, then its bytes. Empty when the event
  // carried none.
  std::string handle;
  // The owner of the directory the entry lay in (for a rename, the one it
  // went to), when that directory could be opened.
  struct Holder {
    uid_t uid = 0;
    gid_t gid = 0;
  };
  std::optional<Holder> holder;
};

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_PROTECT_EVENT_INODE_H_
