// Shadow links: a hard link, in a private directory on the same file system,
// to every protected file the daemon knows. Linux tells of an unlink or a
// rename over a file only once it has happened; the shadow still holds the
// content the file had, so that it can become an edition then. A shadow
// shares the live file's inode: in-place writes need nothing (they are copied
// before the write), and a shadow costs a directory entry, no data.
//
// A shadow is named by the file handle of its inode (which carries the
// inode's generation), so that a restart finds the shadows made before and
// one inode known by two names has one shadow.
#ifndef ORV_TOOLS_ORV_PROTECT_SHADOW_KEEPER_H_
#define ORV_TOOLS_ORV_PROTECT_SHADOW_KEEPER_H_

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "protect/event_inode.h"
#include "protect/shadow_names.h"

namespace orv::tool {

// The name the private shadow directory has beside a tree on a file system
// other than the store's (at that file system's top).
inline constexpr const char* kShadowDirectoryName = ".orv-shadows";

// What a file that is gone (deleted, replaced, moved out of the trees) left:
// its shadow, to be handed to the engine and then let go.
struct LeftShadow {
  std::string path;    // the name the file had
  std::string shadow;  // the shadow's path
  // The shadow's link count before the engine took it: the shadow alone (and
  // the file's new name, for one moved away) means nothing else needs it.
  nlink_t links = 0;
  // A file the owner of the directory it lay in may not read (a hard link to
  // another user's file, where such links are allowed): its content is never
  // kept under that name, which a restore would hand to that owner.
  bool foreign = false;
};

// Thread-safe.
class ShadowKeeper {
 public:
  // A shadow directory for each tree: store/"shadows" when the tree is on the
  // store's file system, else kShadowDirectoryName at the top of the tree's
  // file system; each made private (root only) when missing. A tree whose file
  // system allows neither is left without one (see Uncovered).
  // What a daemon before knew (store/"shadow-names") is known again, as not
  // seen yet: a file the start's walk finds under another inode was replaced
  // meanwhile (Saw returns its old shadow), one it does not find was deleted
  // (TakeUnseen).
  ShadowKeeper(const std::filesystem::path& store, const std::vector<std::filesystem::path>& trees);
  ShadowKeeper(const ShadowKeeper&) = delete;
  ShadowKeeper& operator=(const ShadowKeeper&) = delete;

  // The shadow directories: never protected, never marked.
  std::vector<std::filesystem::path> Directories() const;
  // The trees without a shadow directory, each with why.
  std::vector<std::pair<std::filesystem::path, std::string>> Uncovered() const;

  // The entry name in the directory open at directory, whose path is path, is
  // known from now on when it is a regular file: shadowed, unless its shadow
  // is there already. fresh: the file was made while watched (its renames are
  // no history of their own until it has an edition). When path was known as
  // another file, that one's shadow is returned: it was replaced.
  std::optional<LeftShadow> Saw(int directory, const char* name, const std::string& path,
                                bool fresh);
  // As Saw, by the path alone.
  std::optional<LeftShadow> Saw(const std::string& path, bool fresh);
  // As Saw, for the file an event identified: the inode it named when it
  // happened is shadowed, whatever its names are by now (a save's temporary
  // file is renamed over its target at once). By path where the event
  // carried no usable handle.
  std::optional<LeftShadow> Saw(const EventInode& inode, const std::string& path, bool fresh);

  // As Saw(path, false), for the file open at fd whose path is path (checked
  // by the caller): a path known under fd's own inode needs no walk to its
  // name, the commonest case of a file opened in a tree.
  std::optional<LeftShadow> SawOpened(int fd, const std::string& path);

  // The regular file open at fd (of status st), being made by the open that
  // holds it, gets its shadow now, before its maker goes on; which names it
  // has is left to the events that tell of them (Saw finds the shadow made).
  // A save's temporary file renamed over its target, and replaced by the
  // next save, before a busy daemon reads either event, is then still there
  // to be kept.
  void Hold(int fd, const struct stat& st);

  // path has an edition now: its renames are history.
  void Recorded(const std::string& path);

  // path was deleted: its shadow, when it had one; it is known no more.
  // *known tells whether it was known at all (a file made and gone before it
  // could be seen was, without a shadow).
  std::optional<LeftShadow> Deleted(const std::string& path, bool* known = nullptr);

  // What a rename within the trees did.
  struct Move {
    std::optional<LeftShadow> replaced;  // the file that had the new name
    bool fresh = false;                  // the moved file was made while watched
    bool known = false;                  // the moved file was known
  };
  // The file at from was renamed to to (both in the trees); a file not known
  // is shadowed under its new name (through inode, the file the rename
  // moved, when given).
  Move Moved(const std::string& from, const std::string& to, const EventInode* inode = nullptr);

  // The file or directory at path left the trees (moved out, or a directory
  // removed): every file known at or below it. links counts the name a moved
  // file keeps.
  std::vector<LeftShadow> Left(const std::string& path);

  // A directory was renamed within the trees: what was known below from is
  // known below to.
  void MovedDirectory(const std::string& from, const std::string& to);

  // Removes the shadow of left unless another name still needs it: once the
  // engine has taken its content, or when nothing could keep it.
  void Release(const LeftShadow& left, nlink_t namesElsewhere);

  // The files known from before that the start's walk did not see: gone
  // (deleted, or moved out of the trees) while no daemon watched; and those
  // whose deletion or replacement was read before a kill, their edition not
  // made. Each is known no more; its shadow holds the content it had.
  std::vector<LeftShadow> TakeUnseen();

  // Removes every shadow that no known file has (half-made ones, those of
  // files gone that nothing kept) and writes the names log anew. Called once
  // the trees were walked at start; the number removed.
  size_t RemoveUnknownShadows();

  size_t KnownCount();
  // Files that could not be shadowed (no shadow directory, a link refused).
  uint64_t FailedCount() const;

 private:
  struct Known {
    std::string handle;  // the file handle, raw: the shadow's name in hex
    dev_t device = 0;
    bool fresh = false;
    bool foreign = false;  // see LeftShadow
    bool seen = true;      // false: known from the log, not found by a walk yet
  };
  struct Place {
    dev_t device = 0;
    uint64_t fsid = 0;  // as statfs reports it
    std::filesystem::path directory;
    UniqueFd fd;
  };

  // The shadow directory for files of device; null when there is none.
  const Place* PlaceFor(dev_t device) const;
  // The file Saw looks at: name in the directory open at at (never through
  // a final symbolic link), or the file open at at itself (name "").
  struct Entry {
    int at = -1;
    const char* name = "";
    // The flags for fstatat, and for name_to_handle_at and linkat.
    int StatFlags() const { return *name == '\0' ? AT_EMPTY_PATH : AT_SYMLINK_NOFOLLOW; }
    int LinkFlags() const { return *name == '\0' ? AT_EMPTY_PATH : 0; }
  };
  // Shadows the regular file entry: its handle, or nothing. *shadowed
  // receives the status of the inode shadowed, seen through the shadow (st is
  // the entry's a moment before: it may have been swapped).
  std::optional<std::string> Shadow(const Entry& entry, const struct stat& st, const Place& place,
                                    struct stat* shadowed);
  // Saw for entry, whose directory's owner is holder (none: unknown).
  std::optional<LeftShadow> SawEntry(const Entry& entry, std::optional<EventInode::Holder> holder,
                                     const std::string& path, bool fresh);
  // What path's record left, with the shadow's link count; drops the record.
  // A shadow that awaits its edition is logged as taken until Release.
  // Called with lock_ held.
  std::optional<LeftShadow> TakeLocked(std::map<std::string, Known>::iterator it,
                                       bool awaitsEdition = true);
  std::string ShadowPath(const Known& known) const;
  // Knows again what the names log says, where its shadows are still there.
  void LoadNames(const std::vector<std::filesystem::path>& trees);
  // Writes the names log anew from what is known once it has grown well past
  // that. Called with lock_ held.
  void CompactNamesLocked();
  // Writes the names log anew from what is known. Called with lock_ held.
  void RewriteNamesLocked();

  std::vector<Place> places_;
  std::vector<std::pair<std::filesystem::path, std::string>> uncovered_;
  std::mutex lock_;
  // Ordered: a directory's files are one range.
  std::map<std::string, Known> known_;
  // Shadows taken and not released yet, by shadow path: the path each
  // stood for, and whether it is foreign.
  std::map<std::string, std::pair<std::string, bool>> taken_;
  // Taken before a kill and never released: given out by TakeUnseen.
  std::vector<LeftShadow> leftover_;
  std::atomic<uint64_t> failed_{0};
  ShadowNames names_;    // written with lock_ held
  uint64_t serial_ = 0;  // for the names links are made under before their own
};

// The hexadecimal text of raw bytes (a file handle).
std::string HexText(const std::string& bytes);

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_PROTECT_SHADOW_KEEPER_H_
