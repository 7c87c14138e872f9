// Opening the places a command reads or writes when another user may have a
// say in them: an edition's content (a copy in the store, or a renamed file
// where its owner left it), the directory a restore writes into, the store
// itself. A symbolic link planted by another user never leads the tool
// elsewhere, and nothing but a regular file is ever read.
#ifndef ORV_TOOLS_ORV_SAFE_PATH_H_
#define ORV_TOOLS_ORV_SAFE_PATH_H_

#include <filesystem>

#include "platform/unique_fd.h"

namespace orv::tool {

// An O_PATH descriptor of the directory at path (absolute), reached one
// component at a time (OpenDirectoryWithoutForeignLinks). A symbolic link on
// the way is followed only when it belongs to root or to the caller. Throws
// ToolError.
UniqueFd OpenDirectory(const std::filesystem::path& path);

// The regular file at path (absolute) opened for reading, its directory
// reached as OpenDirectory reaches it and the file itself never through a
// symbolic link; a FIFO or a device is refused without being opened. Reads
// block as usual. Throws ToolError.
UniqueFd OpenRegularFile(const std::filesystem::path& path);

// As root, throws ToolError unless no other user can change the store: every
// directory from "/" down to it, and every symbolic link on the way, belongs
// to root, and none may be written by others (a sticky directory such as
// /tmp excepted, the store itself not). A catalog, a copy or a link there is
// otherwise another user's input to a command that runs as root. Does nothing
// for other users, who can only reach what they could change anyway.
void CheckOnlyRootCanChange(const std::filesystem::path& store);

// Makes directory (a store) and its missing parents readable by the owner
// only, as the engine makes its store; an existing directory is left as it
// is. As root, what is there of the way is checked first as
// CheckOnlyRootCanChange checks the directories above a store, so nothing is
// ever made through another user's directory or link; the new directories
// are then made one at a time, each relative to a descriptor of the one
// before, never through a symbolic link. Throws ToolError.
void CreatePrivateDirectories(const std::filesystem::path& directory);

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_SAFE_PATH_H_
