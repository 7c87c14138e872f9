#include "protect/shadow_keeper.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_set>
#include <utility>

namespace orv::tool {
namespace {

// The top directory of the file system that holds path: the last ancestor
// on the same device.
std::filesystem::path FileSystemTop(const std::filesystem::path& path, dev_t device) {
  std::filesystem::path top = path;
  while (top.has_parent_path() && top.parent_path() != top) {
    struct stat st {};
    if (::stat(top.parent_path().c_str(), &st) != 0 || st.st_dev != device) break;
    top = top.parent_path();
  }
  return top;
}

// Opens directory, made private when missing; a directory that is not root's
// own and private (a link, another user's, open to others) is refused: a user
// who could reach the shadows could read every protected file. Empty with
// *why on failure.
UniqueFd OpenPrivateDirectory(const std::filesystem::path& directory, std::string* why) {
  if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
    *why = "cannot make " + directory.string() + ": " + std::strerror(errno);
    return UniqueFd();
  }
  UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
    *why = "cannot open " + directory.string() + ": " + std::strerror(errno);
    return UniqueFd();
  }
  if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
    *why = directory.string() + " is not a private directory of root's";
    return UniqueFd();
  }
  return fd;
}

// The directory that holds path, opened through no symbolic link (the trees
// are canonical: a link on the way was swapped in by someone), and the
// entry's name in it.
std::pair<UniqueFd, std::string> OpenParent(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash + 1 == path.size()) {
    return std::pair<UniqueFd, std::string>(UniqueFd(), std::string());
  }
  const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  return {UniqueFd(static_cast<int>(
              ::syscall(SYS_openat2, AT_FDCWD, parent.c_str(), &how, sizeof(how)))),
          path.substr(slash + 1)};
}

// Whether user uid, of group gid, may read a file of status st by its mode.
bool MayRead(uid_t uid, gid_t gid, const struct stat& st) {
  if (st.st_uid == uid) return (st.st_mode & S_IRUSR) != 0;
  if (st.st_gid == gid) return (st.st_mode & S_IRGRP) != 0;
  return (st.st_mode & S_IROTH) != 0;
}

bool Below(const std::string& path, const std::string& directory) {
  return path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
         path[directory.size()] == '/';
}

}  // namespace

std::string HexText(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const unsigned char byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

ShadowKeeper::ShadowKeeper(const std::filesystem::path& store,
                           const std::vector<std::filesystem::path>& trees)
    : names_(store / "shadow-names") {
  struct stat storeStat {};
  const bool haveStore = ::stat(store.c_str(), &storeStat) == 0;
  for (const auto& tree : trees) {
    struct stat st {};
    if (::stat(tree.c_str(), &st) != 0) {
      uncovered_.emplace_back(tree, std::strerror(errno));
      continue;
    }
    if (PlaceFor(st.st_dev) != nullptr) continue;
    const std::filesystem::path directory =
        haveStore && storeStat.st_dev == st.st_dev
            ? store / "shadows"
            : FileSystemTop(tree, st.st_dev) / kShadowDirectoryName;
    std::string why;
    UniqueFd fd = OpenPrivateDirectory(directory, &why);
    struct stat made {};
    if (fd.valid() && (::fstat(fd.get(), &made) != 0 || made.st_dev != st.st_dev)) {
      why = directory.string() + " lies on another file system";
      fd = UniqueFd();
    }
    if (!fd.valid()) {
      uncovered_.emplace_back(tree, why);
      continue;
    }
    const uint64_t fsid = FileSystemIdOf(fd.get());
    places_.push_back({st.st_dev, fsid, directory, std::move(fd)});
  }
  LoadNames(trees);
  names_.Pause();  // until RemoveUnknownShadows writes the log whole
}

void ShadowKeeper::LoadNames(const std::vector<std::filesystem::path>& trees) {
  const auto inTrees = [&trees](const std::string& path) {
    for (const auto& tree : trees) {
      if (Below(path, tree.string())) return true;
    }
    return false;
  };
  // The log lies in root's store; still, a name is used only where it is
  // one of ours: a shadow named by a handle in a shadow directory, for a
  // path in the trees. Its status, and its handle, when it is.
  const auto ours = [&](const std::string& shadowPath, const std::string& path, struct stat* st,
                        std::string* handle) {
    const std::filesystem::path shadow(shadowPath);
    const std::string file = shadow.filename().string();
    const Place* place = nullptr;
    if (::lstat(shadow.c_str(), st) == 0 && S_ISREG(st->st_mode)) place = PlaceFor(st->st_dev);
    if (place == nullptr || place->directory != shadow.parent_path() || file.empty() ||
        file.size() % 2 != 0 || file.find_first_not_of("0123456789abcdef") != std::string::npos ||
        !inTrees(path)) {
      return false;
    }
    for (size_t i = 0; i < file.size(); i += 2) {
      *handle += static_cast<char>(std::stoi(file.substr(i, 2), nullptr, 16));
    }
    return true;
  };
  ShadowNames::Loaded loaded = names_.Load();
  for (auto& [shadow, taken] : loaded.taken) {
    struct stat st {};
    std::string handle;
    if (!ours(shadow, taken.first, &st, &handle)) continue;
    leftover_.push_back(LeftShadow{taken.first, shadow, st.st_nlink, taken.second});
    taken_.insert_or_assign(shadow, std::move(taken));
  }
  // Taken apart as it is read: the log's names and the known files are not
  // held twice over.
  while (!loaded.names.empty()) {
    auto node = loaded.names.extract(loaded.names.begin());
    struct stat st {};
    std::string handle;
    if (!ours(node.mapped().shadow, node.key(), &st, &handle)) continue;
    known_.insert_or_assign(
        node.key(), Known{std::move(handle), st.st_dev, false, node.mapped().foreign, false});
  }
}

void ShadowKeeper::CompactNamesLocked() {
  if (names_.Appended() >= 2 * known_.size() + 100000) RewriteNamesLocked();
}

void ShadowKeeper::RewriteNamesLocked() {
  names_.BeginRewrite();
  for (const auto& [path, known] : known_) {
    if (!known.handle.empty()) names_.Rewritten(path, ShadowPath(known), known.foreign);
  }
  for (const auto& [shadow, taken] : taken_)
    names_.RewrittenTaken(shadow, taken.first, taken.second);
  names_.EndRewrite();
}

std::vector<std::filesystem::path> ShadowKeeper::Directories() const {
  std::vector<std::filesystem::path> directories;
  for (const Place& place : places_) directories.push_back(place.directory);
  return directories;
}

std::vector<std::pair<std::filesystem::path, std::string>> ShadowKeeper::Uncovered() const {
  return uncovered_;
}

const ShadowKeeper::Place* ShadowKeeper::PlaceFor(dev_t device) const {
  for (const Place& place : places_) {
    if (place.device == device) return &place;
  }
  return nullptr;
}

std::string ShadowKeeper::ShadowPath(const Known& known) const {
  const Place* place = PlaceFor(known.device);
  if (place == nullptr || known.handle.empty()) return {};
  return (place->directory / HexText(known.handle)).string();
}

std::optional<std::string> ShadowKeeper::Shadow(const Entry& entry, const struct stat& st,
                                                const Place& place, struct stat* shadowed) {
  // The file itself (opened by its handle): named by its own handle at once,
  // as no name stands between (a shadow there already is this inode).
  if (*entry.name == '\0') {
    const std::optional<std::string> handle = RawHandleOf(entry.at, "", AT_EMPTY_PATH);
    if (!handle) return std::nullopt;
    const std::string shadowName = HexText(*handle);
    if (::linkat(entry.at, "", place.fd.get(), shadowName.c_str(), AT_EMPTY_PATH) != 0 &&
        errno != EEXIST) {
      return std::nullopt;
    }
    if (::fstatat(place.fd.get(), shadowName.c_str(), shadowed, AT_SYMLINK_NOFOLLOW) != 0 ||
        shadowed->st_ino != st.st_ino || !S_ISREG(shadowed->st_mode)) {
      return std::nullopt;
    }
    return handle;
  }
  // Shadowed already (by an earlier run, or under another name): the shadow
  // named by this file's handle is this very inode.
  if (const std::optional<std::string> handle =
          RawHandleOf(entry.at, entry.name, entry.LinkFlags())) {
    if (::fstatat(place.fd.get(), HexText(*handle).c_str(), shadowed, AT_SYMLINK_NOFOLLOW) == 0 &&
        shadowed->st_ino == st.st_ino) {
      return handle;
    }
  }
  // Linked under a name of our own first, and named by the link's own
  // handle: the entry may be swapped for another file at any moment, the
  // link in our private directory cannot.
  uint64_t serial = 0;
  {
    std::lock_guard guard(lock_);
    serial = ++serial_;
  }
  const std::string staged = ".new-" + std::to_string(::getpid()) + "-" + std::to_string(serial);
  if (::linkat(entry.at, entry.name, place.fd.get(), staged.c_str(), entry.LinkFlags()) != 0) {
    return std::nullopt;
  }
  std::optional<std::string> handle = RawHandleOf(place.fd.get(), staged.c_str(), 0);
  if (!handle || ::fstatat(place.fd.get(), staged.c_str(), shadowed, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(shadowed->st_mode)) {
    ::unlinkat(place.fd.get(), staged.c_str(), 0);
    return std::nullopt;
  }
  const std::string shadowName = HexText(*handle);
  if (::renameat2(place.fd.get(), staged.c_str(), place.fd.get(), shadowName.c_str(),
                  RENAME_NOREPLACE) != 0) {
    const int error = errno;
    ::unlinkat(place.fd.get(), staged.c_str(), 0);
    if (error != EEXIST) return std::nullopt;
  }
  // What was shadowed, seen through the shadow: the inode whose content it
  // holds, its links counting the shadow once.
  if (::fstatat(place.fd.get(), shadowName.c_str(), shadowed, AT_SYMLINK_NOFOLLOW) != 0) {
    return std::nullopt;
  }
  return handle;
}

std::optional<LeftShadow> ShadowKeeper::Saw(int directory, const char* name,
                                            const std::string& path, bool fresh) {
  struct stat holder {};
  std::optional<EventInode::Holder> owner;
  if (::fstat(directory, &holder) == 0) owner = EventInode::Holder{holder.st_uid, holder.st_gid};
  return SawEntry({directory, name}, owner, path, fresh);
}

std::optional<LeftShadow> ShadowKeeper::SawEntry(const Entry& entry,
                                                 std::optional<EventInode::Holder> holder,
                                                 const std::string& path, bool fresh) {
  // A record without a handle stands for a file with nothing to keep: not a
  // regular file, or made and gone before it could be seen (a temporary file
  // of a save, most often). Its deletion is no loss, and its rename over the
  // file it saves is no history.
  const auto nothingToKeep = [](bool fresh) { return Known{{}, 0, fresh, false}; };
  struct stat st {};
  if (::fstatat(entry.at, entry.name, &st, entry.StatFlags()) != 0) {
    if (fresh) {
      std::lock_guard guard(lock_);
      known_.try_emplace(path, nothingToKeep(true));
    }
    return std::nullopt;
  }
  const bool regular = S_ISREG(st.st_mode);
  const Place* place = regular ? PlaceFor(st.st_dev) : nullptr;
  std::optional<std::string> handle;
  struct stat shadowed {};
  if (place != nullptr) handle = Shadow(entry, st, *place, &shadowed);
  // A file the owner of its directory may not read: a restore hands that
  // name to the directory's owner, so its content is never kept under it
  // (where hard links to others' files are allowed, anyone can put one
  // there). Judged on the inode shadowed, which may not be the one stat saw
  // a moment before. Root's directories hand nothing to anyone; a directory
  // whose owner is unknown is nobody's to be handed anything.
  const bool foreign =
      handle && (!holder || (holder->uid != 0 && !MayRead(holder->uid, holder->gid, shadowed)));
  std::lock_guard guard(lock_);
  std::optional<LeftShadow> replaced;
  bool hadShadow = false;
  if (const auto it = known_.find(path); it != known_.end()) {
    if (handle ? it->second.handle == *handle : it->second.handle.empty()) {
      it->second.seen = true;
      return std::nullopt;
    }
    fresh = fresh || it->second.fresh;
    hadShadow = !it->second.handle.empty();
    replaced = TakeLocked(it);
  }
  if (handle) {
    const auto it =
        known_.emplace(path, Known{std::move(*handle), shadowed.st_dev, fresh, foreign}).first;
    names_.Known(ShadowPath(it->second), path, foreign);
    CompactNamesLocked();
    return replaced;
  }
  if (hadShadow) names_.Forgot(path);
  if (!regular || (fresh && place != nullptr)) {
    known_.emplace(path, nothingToKeep(fresh || !regular));
  } else {
    ++failed_;  // its deletion will be said: its content could not be kept
  }
  return replaced;
}

std::optional<LeftShadow> ShadowKeeper::Saw(const std::string& path, bool fresh) {
  const auto [directory, name] = OpenParent(path);
  if (!directory.valid()) return std::nullopt;
  return Saw(directory.get(), name.c_str(), path, fresh);
}

std::optional<LeftShadow> ShadowKeeper::Saw(const EventInode& inode, const std::string& path,
                                            bool fresh) {
  const Place* place = nullptr;
  for (const Place& candidate : places_) {
    if (inode.fsid != 0 && candidate.fsid == inode.fsid) place = &candidate;
  }
  if (place == nullptr || inode.handle.size() <= sizeof(int)) return Saw(path, fresh);
  std::vector<uint64_t> storage((sizeof(file_handle) + inode.handle.size()) / sizeof(uint64_t) + 1);
  auto* handle = reinterpret_cast<file_handle*>(storage.data());
  handle->handle_bytes = static_cast<unsigned>(inode.handle.size() - sizeof(int));
  std::memcpy(&handle->handle_type, inode.handle.data(), sizeof(int));
  std::memcpy(handle->f_handle, inode.handle.data() + sizeof(int), handle->handle_bytes);
  const UniqueFd file(::open_by_handle_at(place->fd.get(), handle, O_PATH | O_CLOEXEC));
  if (!file.valid()) {
    // Gone already: nothing is left to keep (a save's temporary file removed
    // at once, say). A file system that cannot open handles is looked at by
    // path.
    if (errno != ESTALE && errno != ENOENT) return Saw(path, fresh);
    if (fresh) {
      std::lock_guard guard(lock_);
      known_.try_emplace(path, Known{{}, 0, true, false});
    }
    return std::nullopt;
  }
  return SawEntry({file.get(), ""}, inode.holder, path, fresh);
}

std::optional<LeftShadow> ShadowKeeper::SawOpened(int fd, const std::string& path) {
  if (const std::optional<std::string> handle = RawHandleOf(fd, "", AT_EMPTY_PATH)) {
    std::lock_guard guard(lock_);
    if (const auto it = known_.find(path); it != known_.end() && it->second.handle == *handle) {
      it->second.seen = true;
      return std::nullopt;
    }
  }
  return Saw(path, false);
}

void ShadowKeeper::Hold(int fd, const struct stat& st) {
  const Place* place = PlaceFor(st.st_dev);
  struct stat shadowed {};
  if (place != nullptr) Shadow({fd, ""}, st, *place, &shadowed);
}

void ShadowKeeper::Recorded(const std::string& path) {
  std::lock_guard guard(lock_);
  if (const auto it = known_.find(path); it != known_.end()) it->second.fresh = false;
}

std::optional<LeftShadow> ShadowKeeper::TakeLocked(std::map<std::string, Known>::iterator it,
                                                   bool awaitsEdition) {
  std::optional<LeftShadow> left;
  if (std::string shadow = ShadowPath(it->second); !shadow.empty()) {
    struct stat st {};
    if (::lstat(shadow.c_str(), &st) == 0) {
      left = LeftShadow{it->first, std::move(shadow), st.st_nlink, it->second.foreign};
      // Logged before the record that takes the name away: a kill before
      // the edition is made leaves the next start the shadow to make it from.
      if (awaitsEdition) {
        names_.Taken(left->shadow, left->path, left->foreign);
        taken_.insert_or_assign(left->shadow, std::pair(left->path, left->foreign));
      }
    }
  }
  known_.erase(it);
  return left;
}

std::optional<LeftShadow> ShadowKeeper::Deleted(const std::string& path, bool* known) {
  std::lock_guard guard(lock_);
  const auto it = known_.find(path);
  if (known != nullptr) *known = it != known_.end();
  if (it == known_.end()) return std::nullopt;
  const bool shadowed = !it->second.handle.empty();
  std::optional<LeftShadow> left = TakeLocked(it);
  if (shadowed) names_.Forgot(path);
  return left;
}

ShadowKeeper::Move ShadowKeeper::Moved(const std::string& from, const std::string& to,
                                       const EventInode* inode) {
  Move move;
  {
    std::lock_guard guard(lock_);
    const auto it = known_.find(from);
    if (it != known_.end() && !it->second.handle.empty()) {
      Known entry = std::move(it->second);
      known_.erase(it);
      move.known = true;
      move.fresh = entry.fresh;
      if (const auto old = known_.find(to); old != known_.end()) {
        if (old->second.handle == entry.handle) {
          known_.erase(old);  // two names of one file: one name left
        } else {
          move.replaced = TakeLocked(old);
        }
      }
      names_.Moved(from, to);
      known_.emplace(to, std::move(entry));
      return move;
    }
    if (it != known_.end()) {  // made and moved before it could be seen
      move.fresh = true;
      known_.erase(it);
    }
  }
  // Not known: seen now, under its new name.
  move.replaced = inode != nullptr ? Saw(*inode, to, move.fresh) : Saw(to, move.fresh);
  return move;
}

std::vector<LeftShadow> ShadowKeeper::Left(const std::string& path) {
  std::vector<LeftShadow> left;
  std::lock_guard guard(lock_);
  names_.Left(path);
  // Nothing of theirs is lost: no edition awaits.
  if (const auto it = known_.find(path); it != known_.end()) {
    if (auto shadow = TakeLocked(it, false)) left.push_back(std::move(*shadow));
  }
  for (auto it = known_.lower_bound(path + "/"); it != known_.end() && Below(it->first, path);) {
    const auto next = std::next(it);
    if (auto shadow = TakeLocked(it, false)) left.push_back(std::move(*shadow));
    it = next;
  }
  return left;
}

void ShadowKeeper::MovedDirectory(const std::string& from, const std::string& to) {
  std::lock_guard guard(lock_);
  names_.MovedDirectory(from, to);
  std::vector<std::pair<std::string, Known>> moved;
  for (auto it = known_.lower_bound(from + "/"); it != known_.end() && Below(it->first, from);) {
    moved.emplace_back(to + it->first.substr(from.size()), std::move(it->second));
    it = known_.erase(it);
  }
  for (auto& [path, known] : moved) known_.insert_or_assign(std::move(path), std::move(known));
}

void ShadowKeeper::Release(const LeftShadow& left, nlink_t namesElsewhere) {
  if (left.links <= 1 + namesElsewhere) ::unlink(left.shadow.c_str());
  std::lock_guard guard(lock_);
  if (taken_.erase(left.shadow) != 0) names_.Done(left.shadow);
}

std::vector<LeftShadow> ShadowKeeper::TakeUnseen() {
  std::lock_guard guard(lock_);
  std::vector<LeftShadow> unseen = std::move(leftover_);
  leftover_.clear();
  for (auto it = known_.begin(); it != known_.end();) {
    const auto next = std::next(it);
    if (!it->second.seen) {
      if (auto left = TakeLocked(it)) unseen.push_back(std::move(*left));
    }
    it = next;
  }
  return unseen;
}

size_t ShadowKeeper::RemoveUnknownShadows() {
  std::unordered_set<std::string> wanted;
  {
    std::lock_guard guard(lock_);
    for (const auto& [path, known] : known_) {
      if (!known.handle.empty()) wanted.insert(ShadowPath(known));
    }
    for (const auto& [shadow, taken] : taken_) wanted.insert(shadow);
    RewriteNamesLocked();
  }
  size_t removed = 0;
  for (const Place& place : places_) {
    const int copy = ::fcntl(place.fd.get(), F_DUPFD_CLOEXEC, 0);
    DIR* listing = copy < 0 ? nullptr : ::fdopendir(copy);
    if (listing == nullptr) {
      if (copy >= 0) ::close(copy);
      continue;
    }
    std::vector<std::string> unknown;
    while (const dirent* entry = ::readdir(listing)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      if (wanted.count((place.directory / name).string()) == 0) unknown.push_back(name);
    }
    ::closedir(listing);
    for (const std::string& name : unknown) {
      if (::unlinkat(place.fd.get(), name.c_str(), 0) == 0) ++removed;
    }
  }
  return removed;
}

size_t ShadowKeeper::KnownCount() {
  std::lock_guard guard(lock_);
  return known_.size();
}

uint64_t ShadowKeeper::FailedCount() const { return failed_.load(); }

}  // namespace orv::tool
