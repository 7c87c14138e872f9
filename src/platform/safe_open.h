// Opening what another user may have a say in: a source the engine copies, an
// edition's content or a restore destination the tool reads or writes. Paths
// are walked one component at a time so that a symbolic link planted by another
// user never leads elsewhere (say to /etc/shadow), and nothing but a regular
// file is ever opened. Shared by the engine and the orv tool.
#ifndef ORV_PLATFORM_SAFE_OPEN_H_
#define ORV_PLATFORM_SAFE_OPEN_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "platform/unique_fd.h"

namespace orv {

// Why a safe open failed; each caller words it for its own readers.
struct SafeOpenFailure {
  enum class Reason {
    kSystemError,     // error holds the errno value (ELOOP past 40 links, ENOTDIR, ...)
    kNotAbsolute,     // the path does not start at "/"
    kForeignLink,     // a symbolic link of linkOwner's, neither root nor this process's user
    kUnreadableLink,  // a link whose target cannot be read or is too long
    kNotAFileName,    // the last component is empty, "." or ".."
    kNotRegularFile,  // anything but a regular file (a link, FIFO, device, directory, ...)
    kReplaced,        // another file took the name between the look and the open
  };
  Reason reason = Reason::kSystemError;
  int error = 0;
  uid_t linkOwner = 0;
};

// An O_PATH descriptor of the directory at path, which must be absolute. Every
// component must be a directory or a symbolic link leading to one; a link is
// followed only when it belongs to root or to the effective user, since only
// then could nobody else have aimed it. A path without any link is opened in
// one openat2 call. On failure, an invalid descriptor and *failure filled.
UniqueFd OpenDirectoryWithoutForeignLinks(const std::string& path, SafeOpenFailure* failure);

// The regular file at path (absolute) opened read-only, non-blocking and
// close-on-exec: its directory reached as OpenDirectoryWithoutForeignLinks
// reaches it, the file itself never through a symbolic link. The name is looked
// at before it is opened, so a FIFO or a device is never opened (that alone can
// have effects), and what is opened must be the file that was looked at. *st
// receives the opened file's status. On failure, an invalid descriptor and
// *failure filled.
UniqueFd OpenRegularFileWithoutForeignLinks(const std::string& path, struct stat* st,
                                            SafeOpenFailure* failure);

}  // namespace orv

#endif  // ORV_PLATFORM_SAFE_OPEN_H_
