#include "safe_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <string>

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

void CheckOnlyRootCanChange(const std::filesystem::path& store) {
  if (::geteuid() != 0) return;
  std::error_code error;
  const std::filesystem::path canonical = std::filesystem::canonical(store, error);
  if (error) Refuse(store, error.message());
  // The path as given (its links included) and the directories it leads to.
  for (const std::filesystem::path& walked : {std::filesystem::absolute(store), canonical}) {
    std::filesystem::path prefix;
    for (auto part = walked.begin(); part != walked.end(); ++part) {
      prefix /= *part;
      struct stat st {};
      if (::lstat(prefix.c_str(), &st) != 0) Refuse(prefix, std::strerror(errno));
      const bool isStore = std::next(part) == walked.end();
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

}  // namespace orv::tool
