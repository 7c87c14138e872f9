#include "safe_path.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <iterator>

#include "tool_error.h"

namespace orv::tool {
namespace {

// Links followed on one walk before it counts as a loop (the kernel's limit).
constexpr int kMaxLinks = 40;

void PushParts(const std::string& text, std::deque<std::string>& parts) {
  std::deque<std::string> added;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find('/', at);
    if (end == std::string::npos) end = text.size();
    if (end > at) added.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  parts.insert(parts.begin(), added.begin(), added.end());
}

[[noreturn]] void Refuse(const std::filesystem::path& path, const std::string& why) {
  throw ToolError("cannot use " + path.string() + ": " + why);
}

bool OthersMayFollow(uid_t owner) { return owner != 0 && owner != ::geteuid(); }

}  // namespace

Fd OpenDirectory(const std::filesystem::path& path) {
  const std::string text = path.string();
  if (text.empty() || text[0] != '/') Refuse(path, "not an absolute path");
  Fd directory(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!directory.valid()) Refuse(path, std::strerror(errno));
  std::deque<std::string> parts;
  PushParts(text, parts);
  int links = 0;
  while (!parts.empty()) {
    const std::string part = parts.front();
    parts.pop_front();
    if (part == ".") continue;
    Fd next(::openat(directory.get(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!next.valid() || ::fstat(next.get(), &st) != 0) Refuse(path, std::strerror(errno));
    if (S_ISLNK(st.st_mode)) {
      // Only a link its owner could not have aimed at a place of its choosing
      // on someone else's behalf is followed.
      if (OthersMayFollow(st.st_uid)) {
        Refuse(path, "it leads through a symbolic link of another user (uid " +
                         std::to_string(st.st_uid) + ")");
      }
      if (++links > kMaxLinks) Refuse(path, std::strerror(ELOOP));
      char target[PATH_MAX];
      const ssize_t n = ::readlinkat(next.get(), "", target, sizeof(target));
      if (n <= 0 || static_cast<size_t>(n) >= sizeof(target)) Refuse(path, "unreadable link");
      const std::string destination(target, static_cast<size_t>(n));
      PushParts(destination, parts);
      if (destination[0] == '/') {
        directory = Fd(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!directory.valid()) Refuse(path, std::strerror(errno));
      }
      continue;
    }
    if (!S_ISDIR(st.st_mode)) Refuse(path, std::strerror(ENOTDIR));
    directory = std::move(next);
  }
  return directory;
}

Fd OpenRegularFile(const std::filesystem::path& path) {
  const std::string name = path.filename().string();
  if (name.empty() || name == "." || name == "..") Refuse(path, "not a file name");
  const Fd directory = OpenDirectory(path.parent_path());
  Fd file(::openat(directory.get(), name.c_str(),
                   O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st {};
  if (!file.valid() || ::fstat(file.get(), &st) != 0) Refuse(path, std::strerror(errno));
  if (!S_ISREG(st.st_mode)) Refuse(path, "not a regular file");
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
