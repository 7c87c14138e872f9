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

// The id of the file system holding the file open at fd, as statfs reports
// it (both words as one number, the form events carry); 0 when unknown.
uint64_t FileSystemIdOf(int fd);

// The raw file handle (its type, then its bytes, the form EventInode keeps)
// of name in the directory open at at (flags as for name_to_handle_at:
// AT_EMPTY_PATH with name "" for the file open at at); nothing when the file
// system gives none. A final symbolic link is not followed.
std::optional<std::string> RawHandleOf(int at, const char* name, int flags);

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_PROTECT_EVENT_INODE_H_
