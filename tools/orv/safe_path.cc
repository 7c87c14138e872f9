#include "safe_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "platform/safe_open.h"
#include "tool_error.h"

namespace orv::tool {
namespace {

[[noreturn]] void Refuse(const std::filesystem::path& path, const std::string& why) {
  throw ToolError("cannot use " + path.string() + ": " + why);
}

// Why path cannot be used, in the tool's words.
std::string Reason(const SafeOpenFailure& failure) {
  using Why = SafeOpenFailure::Reason;
  switch (failure.reason) {
    case Why::kSystemError:
      return std::strerror(failure.error);
    case Why::kNotAbsolute:
      return "not an absolute path";
    case Why::kForeignLink:
      return "it leads through a symbolic link of another user (uid " +
             std::to_string(failure.linkOwner) + ")";
    case Why::kUnreadableLink:
      return "unreadable link";
    case Why::kNotAFileName:
      return "not a file name";
    case Why::kNotRegularFile:
      return "not a regular file";
    case Why::kReplaced:
      return "it was replaced while it was opened";
  }
  return "unknown failure";
}

}  // namespace

UniqueFd OpenDirectory(const std::filesystem::path& path) {
  SafeOpenFailure failure;
  UniqueFd directory = OpenDirectoryWithoutForeignLinks(path.string(), &failure);
  if (!directory.valid()) Refuse(path, Reason(failure));
  return directory;
}

UniqueFd OpenRegularFile(const std::filesystem::path& path) {
  SafeOpenFailure failure;
  struct stat st {};
  UniqueFd file = OpenRegularFileWithoutForeignLinks(path.string(), &st, &failure);
  if (!file.valid()) Refuse(path, Reason(failure));
  // A regular file never blocks; reads go on as usual.
  ::fcntl(file.get(), F_SETFL, ::fcntl(file.get(), F_GETFL) & ~O_NONBLOCK);
  return file;
}

namespace {

// Throws unless no other user can change existing (the store, or the deepest
// directory of the way to it that is there yet) or anything on the way to it.
void CheckOnlyRootCanChangeUpTo(const std::filesystem::path& store,
                                const std::filesystem::path& existing, bool existingIsStore) {
  std::error_code error;
  const std::filesystem::path canonical = std::filesystem::canonical(existing, error);
  if (error) Refuse(existing, error.message());
  // The path as given (its links included) and the directories it leads to.
  for (const std::filesystem::path& walked : {std::filesystem::absolute(existing), canonical}) {
    std::filesystem::path prefix;
    for (auto part = walked.begin(); part != walked.end(); ++part) {
      prefix /= *part;
      struct stat st {};
      if (::lstat(prefix.c_str(), &st) != 0) Refuse(prefix, std::strerror(errno));
      const bool isStore = existingIsStore && std::next(part) == walked.end();
      std::string why;
      if (st.st_uid != 0) {
        why = "it belongs to uid " + std::to_string(st.st_uid);
      } else if (S_ISDIR(st.st_mode) && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 &&
                 (isStore || (st.st_mode & S_ISVTX) == 0)) {
        why = "others may write in it";
      }
      if (!why.empty()) {
        throw ToolError("the store " + store.string() + " may be changed by another user (" +
                        prefix.string() + ": " + why +
                        "); as root, use a store only root can change, or run orv as its owner");
      }
    }
  }
}

}  // namespace

void CheckOnlyRootCanChange(const std::filesystem::path& store) {
  if (::geteuid() != 0) return;
  CheckOnlyRootCanChangeUpTo(store, store, true);
}

void CreatePrivateDirectories(const std::filesystem::path& directory) {
  std::filesystem::path target = std::filesystem::absolute(directory).lexically_normal();
  if (!target.has_filename()) target = target.parent_path();  // a trailing "/"
  // The deepest directory that is there, and the names to make below it.
  std::filesystem::path existing = target;
  std::vector<std::string> missing;
  std::error_code error;
  while (!std::filesystem::is_directory(existing, error) && existing.has_relative_path()) {
    missing.push_back(existing.filename().string());
    existing = existing.parent_path();
  }
  // Checked before anything is made: as root, a directory another user can
  // change (or a link of theirs) could lead the new ones anywhere.
  if (::geteuid() == 0) CheckOnlyRootCanChangeUpTo(target, existing, missing.empty());
  UniqueFd parent = OpenDirectory(existing);
  std::filesystem::path made = existing;
  for (auto name = missing.rbegin(); name != missing.rend(); ++name) {
    made /= *name;
    // One component at a time, relative to the one before and never through
    // a link: a name taken meanwhile by anything but a directory is refused.
    if (::mkdirat(parent.get(), name->c_str(), S_IRWXU) != 0 && errno != EEXIST) {
      throw ToolError("cannot create " + made.string() + ": " + std::strerror(errno));
    }
    UniqueFd next(
        ::openat(parent.get(), name->c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) {
      throw ToolError("cannot create " + made.string() + ": " + std::strerror(errno));
    }
    parent = std::move(next);
  }
}

}  // namespace orv::tool
