// Writing one restored file: whole or not at all, never through another
// user's link, never over a file unless asked, with the modes and owners a
// user expects of a file given back.
#ifndef ORV_TOOLS_ORV_FILE_RESTORER_H_
#define ORV_TOOLS_ORV_FILE_RESTORER_H_

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/unique_fd.h"

namespace orv::tool {

// Directories opened as OpenDirectory opens them (no other user's link on the
// way), the last one kept open: a tree's files come directory by directory.
class DirectoryCache {
 public:
  // A descriptor of directory, valid until the next call. Throws ToolError.
  int Open(const std::filesystem::path& directory);

 private:
  std::filesystem::path last_;
  UniqueFd fd_;
};

// The regular file name in the directory open at directory, opened for
// reading: never through a final symbolic link, and a FIFO or a device is
// never waited on. *st receives its status. Throws ToolError naming shown.
UniqueFd OpenRegularFileAt(int directory, const std::string& name, const std::string& shown,
                           struct stat* st);

struct WriteRules {
  bool replace = false;  // an existing file is replaced (else: an error)
  bool sync = true;      // the data is on disk before the file gets its name
};

// Writes the content of the file open at source (of status st) as name in the
// directory open at directory (shown as shown in errors): through a temporary
// file given its name only when whole, so a reader never sees half a file and
// a failure leaves nothing. The permission bits of st (never set-id or
// sticky), its modification time, and, as root, an owner: that of the file
// replaced; else, in a sticky directory of root's (/tmp), the owner st records
// when it is not root; else the directory's owner. progress, when given, is
// told the bytes written so far. Returns the bytes written. Throws ToolError.
uint64_t WriteRestoredFile(int source, const struct stat& st, int directory,
                           const std::string& name, const std::string& shown,
                           const WriteRules& rules,
                           const std::function<void(uint64_t)>& progress = {});

// Whether the file at path was born after the catalog time stamp at; false
// where its file system keeps no birth time.
bool BornAfter(const std::string& path, int32_t at);

// Whether the files open at a and b hold the same bytes.
bool SameContent(int a, int b);

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_FILE_RESTORER_H_
