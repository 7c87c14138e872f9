// Whether the opener of a held open may write the file at all. The kernel
// checks an open's permissions before fanotify holds it, so an opener who may
// not write the file cannot be opening it for writing, whatever its flags
// seem to say: such an open is never copied.
#ifndef ORV_TOOLS_ORV_PROTECT_OPENER_ACCESS_H_
#define ORV_TOOLS_ORV_PROTECT_OPENER_ACCESS_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv::tool {

// A range of ids of a user namespace, as the daemon's namespace sees them.
struct IdRange {
  uint32_t first;
  uint32_t count;
};

// The credentials the kernel checks a thread's file accesses with.
struct Credentials {
  uid_t fsuid = 0;
  gid_t fsgid = 0;
  std::vector<gid_t> groups;  // supplementary
  bool dacOverride = false;   // CAP_DAC_OVERRIDE in the thread's user namespace
  // The ids the thread's user namespace maps, when it is not the daemon's:
  // its capabilities reach only files whose owner and group it maps.
  std::optional<std::vector<IdRange>> uidMap, gidMap;
};

// The credentials in status (the text of /proc/<tid>/status); nothing when a
// line is missing or unreadable.
std::optional<Credentials> ParseStatus(std::string_view status);

// The ranges in map (the text of /proc/<tid>/uid_map or gid_map).
std::vector<IdRange> ParseIdMap(std::string_view map);

// An access ACL (the bytes of system.posix_acl_access).
struct AclEntry {
  uint16_t tag;
  uint16_t perm;
  uint32_t id;
};
// Its entries; nothing when acl is not an ACL this code can read.
std::optional<std::vector<AclEntry>> ParseAcl(std::string_view acl);

// True unless who may not write a file with st's owner, group and mode and
// the access ACL acl (nothing: the file has none). An ACL that cannot be
// read (unparsed, given as an empty vector) counts as allowing.
bool MayWrite(const Credentials& who, const struct stat& st,
              const std::optional<std::vector<AclEntry>>& acl);

// The credentials of thread tid, with its user namespace's maps when that is
// not the daemon's; nothing when they cannot be read (the thread is gone).
std::optional<Credentials> OpenerCredentials(pid_t tid);

// MayWrite for the opener who (nothing: unknown) and the file open at fd. An
// opener or an ACL that cannot be read counts as one that may write: a copy
// too many costs a little space, a copy too few loses an edition.
bool OpenerMayWrite(const std::optional<Credentials>& who, int fd, const struct stat& st);

// The uid thread tid accesses files as (its fsuid); nothing when it cannot be
// read (the thread is gone).
std::optional<uid_t> OpenerUid(pid_t tid);

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_PROTECT_OPENER_ACCESS_H_
