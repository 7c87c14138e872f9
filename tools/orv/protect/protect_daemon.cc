#include "protect/protect_daemon.h"

#include <orv/orv.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <iostream>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "daemon_record.h"
#include "engine_host.h"
#include "platform/display_text.h"
#include "protect/engine_events.h"
#include "protect/fanotify_groups.h"
#include "protect/kernel_check.h"
#include "protect/open_intent.h"
#include "protect/open_tracker.h"
#include "protect/opener_access.h"
#include "protect/pre_content.h"
#include "protect/shadow_keeper.h"
#include "protect/tree_marker.h"
#include "protect/tree_policy.h"
#include "protect/worker_pool.h"
#include "tool_error.h"

namespace orv::tool {
namespace {

constexpr size_t kQueueLimit = 4096;
// Notifications queued (bytes, some 40 events) past which a file being made
// is shadowed as its open is answered: below it the events are read within
// a millisecond or so, and the link would only add to every create's cost.
constexpr size_t kBacklogToHold = 4096;
// Deletions and replacements whose old content could not be kept are said
// one by one up to this many, and counted always.
constexpr uint64_t kUnkeptLines = 20;

// True when the file open at fd was made a moment ago and is still empty:
// the open made it, so there is no content to lose. Its birth time is used
// where the file system records one, its status change otherwise.
bool JustMadeAndEmpty(int fd, const struct stat& st) {
  if (st.st_size != 0) return false;
  struct statx sx {};
  timespec made{st.st_ctim};
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME)) {
    made = {static_cast<time_t>(sx.stx_btime.tv_sec), static_cast<long>(sx.stx_btime.tv_nsec)};
  }
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec - made.tv_sec <= 2;
}

// True when path, in the daemon's namespace, names the file opened (whose
// status is opened): same device, same inode. The last component is not
// followed.
bool NamesOpenedFile(const std::string& path, const struct stat& opened) {
  struct stat named {};
  return ::lstat(path.c_str(), &named) == 0 && named.st_dev == opened.st_dev &&
         named.st_ino == opened.st_ino;
}

// The daemon's parts wired together: the groups' readers feed the worker
// pool (held opens) and the tracker (everything else); new directories are
// marked as they appear.
class Daemon {
 public:
  Daemon(const ProtectOptions& options, ShadowKeeper& shadows)
      : options_(options),
        marker_(options.directories, groups_),
        shadows_(shadows),
        tracker_(events_),
        budget_(options.budget) {
    marker_.Exclude(shadows_.Directories());
    if (options.preContent) {
      preContent_.emplace();
      marker_.OnNewDirectory([this](int fd, const std::string& path) { MarkPreContent(fd, path); });
    }
  }
  ~Daemon() { Shutdown(); }
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // Marks every tree. Throws ToolError naming the first directory that cannot
  // be marked: a daemon that watches part of what it was asked to protect
  // would let changes there pass without a copy.
  // Every file found gets its shadow; shadows of files that are no longer
  // there (deleted while no daemon watched) are removed afterwards.
  void Open() {
    // Its reader runs before the first mark: a marked file's every read
    // waits for an answer.
    if (preContent_) {
      preContentReader_ = std::thread([this] {
        preContent_->Read(
            [this](int fd, pid_t tid, uint64_t length) { CopyBeforeTruncate(fd, tid, length); });
      });
    }
    for (const auto& directory : options_.directories) {
      const std::vector<MarkFailure> failures = marker_.MarkTree(directory, Seer(false));
      TellWholeFileSystems();
      if (!failures.empty()) {
        throw ToolError("cannot watch " + failures.front().directory + ": " +
                        std::strerror(failures.front().error));
      }
    }
    // Files known before and gone while no daemon watched, or whose edition a
    // kill cut off: their shadows hold what they had. One whose name is there
    // again was replaced.
    for (const LeftShadow& left : shadows_.TakeUnseen()) {
      struct stat st {};
      Keep(::lstat(left.path.c_str(), &st) == 0 ? FILE_OP_RENAME : FILE_OP_DELETE, left, 0);
    }
    shadows_.RemoveUnknownShadows();
  }

  // Starts the workers and both readers.
  void Start() {
    QueueDeadline deadline;
    deadline.late = [this](const HeldOpen& held) { AnswerLate(held); };
    pool_.emplace(
        std::max(1u, options_.workers), kQueueLimit,
        [this](const HeldOpen& held) { HandleOpen(held); }, std::move(deadline));
    permissionReader_ = std::thread([this] {
      groups_.ReadHeldOpens([this](int fd, pid_t tid) { TakeOpen(fd, tid); },
                            [this](pid_t tid, int error) { Refused(tid, error); },
                            [this] { ++overflows_; });
    });
    notificationReader_ = std::thread([this] {
      groups_.ReadNotifications(
          marker_.RootDescriptors(),
          [this](uint64_t fsid, std::string_view rawHandle) {
            return marker_.PathOf(fsid, rawHandle);
          },
          [this](const Notification& event) { Dispatch(event); },
          [this] {
            ++overflows_;
            std::cerr << "orv protect: the kernel's event queue overflowed; events were lost\n";
          });
    });
  }

  // Stops taking events, answers every held open, drains the workers and
  // settles merged closes. Does nothing unless started, or a second time
  // (but for the pre-content guard, which goes even when the start failed).
  void Shutdown() {
    // First, and gone at once: while its marks live, every read of a marked
    // file waits for a reader.
    if (preContent_) {
      preContent_->RequestStop();
      if (preContentReader_.joinable()) preContentReader_.join();
      preContent_.reset();
    }
    if (!pool_ || !permissionReader_.joinable()) return;
    groups_.RequestStop();
    permissionReader_.join();
    pool_->Drain();
    notificationReader_.join();
    tracker_.SettleMergedCloses();
  }

  std::string Summary() {
    std::ostringstream text;
    text << marker_.DirectoryCount() << " directories, " << opens_.load() << " opens for writing, "
         << passedUncopied_.load() << " let through uncopied, " << overflows_.load()
         << " queue overflows";
    // The rarer counts appear only once they are not zero.
    const auto add = [&text](uint64_t count, const char* what) {
      if (count != 0) text << ", " << count << what;
    };
    add(foreignPaths_.load(), " opens of a file its path does not name");
    add(refused_.load(), " opens refused without waiting");
    if (const uint64_t fds = refusedForDescriptors_.load(); fds != 0) {
      text << " (" << fds << " for want of descriptors)";
    }
    add(answeredLate_.load(), " let through late without a copy");
    add(overCopyCap_.load(), " opens uncopied over a user's cap");
    add(overRowCap_.load(), " renames unrecorded over a user's cap");
    add(kept_.load(), " deletions and replacements kept");
    add(unkept_.load(), " deletions and replacements whose old content was lost");
    add(uncopiedNew_.load(), " new files opened without a copy");
    add(truncates_.load(), " truncates by path copied");
    add(unwatched_.load(), " directories not watched");
    add(marker_.WholeFileSystemCount(), " file systems watched whole");
    return text.str();
  }
  size_t DirectoryCount() { return marker_.DirectoryCount(); }
  size_t KnownFileCount() { return shadows_.KnownCount(); }

 private:
  // The kernel could not give the daemon a descriptor for an open: a leased
  // file (refused at once rather than waited for), or the daemon out of
  // descriptors. Each cause is said once and counted always.
  void Refused(pid_t tid, int error) {
    ++refused_;
    const bool outOfDescriptors = error == EMFILE || error == ENFILE;
    if (outOfDescriptors) ++refusedForDescriptors_;
    std::atomic<bool>& said = outOfDescriptors ? saidOutOfDescriptors_ : saidRefused_;
    if (said.exchange(true)) return;
    std::cerr << "orv protect: an open by thread " << tid
              << " was refused: " << std::strerror(error)
              << (outOfDescriptors ? " (the daemon is out of file descriptors)"
                  : error == EWOULDBLOCK || error == EAGAIN ? " (a leased file)"
                                                            : "")
              << "; such opens are counted, not logged again\n";
  }

  void TakeOpen(int fd, pid_t tid) {
    // A file system watched whole holds every open on it: those outside the
    // trees are let through at once. So are the daemon's own, once a file
    // being made (the commonest open to answer at once) has been ruled out.
    if (marker_.WatchesWholeFileSystems() && !LiesInTrees(FdPath(fd), marker_.Roots())) {
      groups_.Allow(fd);
    } else if (struct stat st{}; JustMade(fd, &st)) {
      // Answered here, not by a worker: a file being made has nothing to
      // copy. With the notifications far behind, its shadow is made now:
      // its maker may rename it over a file, and save again over it, before
      // its events are read.
      ++uncopiedNew_;
      if (groups_.NotificationBacklog() > kBacklogToHold) shadows_.Hold(fd, st);
      groups_.Allow(fd);
    } else if (IsOwnThread(tid) || !OpensForWriting(tid)) {
      // A reader is answered here too: the opener's registers tell it at
      // once, and the trip through a worker would cost every read open a
      // wake-up.
      groups_.Allow(fd);
    } else if (!pool_->TryPush({fd, tid})) {
      ++passedUncopied_;
      groups_.Allow(fd);
    }
  }

  // A regular file the open made (empty, born a moment ago): no content to
  // lose, whoever opens it.
  static bool JustMade(int fd, struct stat* st) {
    return ::fstat(fd, st) == 0 && S_ISREG(st->st_mode) && JustMadeAndEmpty(fd, *st);
  }

  // An open that waited in the queue past its deadline (copies ahead of it
  // were slow): let through at once, said once, counted.
  void AnswerLate(const HeldOpen& held) {
    groups_.Allow(held.fd);
    if (answeredLate_.fetch_add(1) == 0) {
      std::cerr << "orv protect: an open waited too long behind other copies and was let through "
                   "uncopied; such opens are counted, not logged again\n";
    }
  }

  // On a worker: reports an open for writing (the engine copies the file),
  // then answers it.
  void HandleOpen(const HeldOpen& held) {
    ReportOpen(held);
    groups_.Allow(held.fd);
  }

  // truncating: held is a truncate by path about to change the file, not an
  // open (the kernel checked that the caller may write it).
  void ReportOpen(const HeldOpen& held, bool truncating = false) {
    struct stat st {};
    if (::fstat(held.fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
    // A reader who may not write the file is no writer, whatever flags it
    // shows: without this any reader could make root copy what it may read.
    // (Opens whose flags ask for no writing never reach here: TakeOpen
    // answers them.)
    const std::optional<Credentials> opener = OpenerCredentials(held.tid);
    if (!OpenerMayWrite(opener, held.fd, st)) return;
    const std::string path = FdPath(held.fd);
    if (path.empty()) return;
    if (!NamesOpenedFile(path, st)) {
      // Another mount namespace's view, or a name swapped since the open: the
      // edition would stand under a name that is not the file's here.
      if (foreignPaths_.fetch_add(1) == 0) {
        std::cerr << "orv protect: " << DisplayText(path)
                  << " does not name the file that was opened (another mount namespace, or a "
                     "name swapped); not copied, and such opens are counted, not logged again\n";
      }
      return;
    }
    // Opened in a tree and not known yet (its creation not read yet, say):
    // shadowed now, so that its deletion keeps it.
    if (std::optional<LeftShadow> replaced = shadows_.SawOpened(held.fd, path)) {
      Keep(FILE_OP_RENAME, *replaced, held.tid);
    }
    ++(truncating ? truncates_ : opens_);
    // Checked before the copy starts: a copy once started is never cut short.
    if (static_cast<uint64_t>(st.st_size) > options_.maxCopySize) {
      ++passedUncopied_;
      std::cerr << "orv protect: " << DisplayText(path)
                << " is larger than --max-copy-size; not copied\n";
      return;
    }
    if (!WithinCopyBudget(opener ? std::optional<uid_t>(opener->fsuid) : std::nullopt, st)) return;
    if (truncating) {
      tracker_.Truncated(path, held.fd);
    } else {
      tracker_.Opened(path, StampOf(st), held.fd);
    }
    shadows_.Recorded(path);
  }

  // On the pre-content reader, with the truncating thread (and every read of
  // a marked file) waiting: copies the file a truncate by path to length is
  // about to change. One that leaves the length as it is changes nothing.
  void CopyBeforeTruncate(int fd, pid_t tid, uint64_t length) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) == length) return;
    ReportOpen({fd, tid}, true);
  }

  // A directory newly watched gets its pre-content mark too. A file system
  // without pre-content events (tmpfs) is said once and left uncovered.
  void MarkPreContent(int fd, const std::string& path) {
    const int error = preContent_->Mark(fd);
    struct stat st {};
    if (error == 0 || ::fstat(fd, &st) != 0) return;
    {
      std::lock_guard guard(preContentLock_);
      if (!preContentUnmarked_.insert(st.st_dev).second) return;
    }
    std::cerr << "orv protect: cannot mark " << DisplayText(path)
              << " for pre-content events: " << std::strerror(error)
              << (error == EOPNOTSUPP ? "; its file system has none, and truncate(2) by path on it "
                                        "is not covered\n"
                                      : "; truncate(2) by path there is not covered (said once "
                                        "per file system)\n");
  }

  // The shadow a file left holds the content it had before it was deleted
  // (FILE_OP_DELETE) or replaced by a rename over it (FILE_OP_RENAME): the
  // engine records it; the shadow goes once nothing else needs it.
  void Keep(uint32_t operation, const LeftShadow& left, pid_t pid) {
    if (left.foreign) {
      Unkept(left.path, "a hard link to a file of another user's, who alone may read it");
    } else if (!WithinRowBudget(pid, left.shadow)) {
      ++unkept_;
    } else {
      const uint32_t result = events_.ReportKept(operation, left.path, left.shadow);
      if (result == ENG_OK) {
        ++kept_;
        if (operation == FILE_OP_RENAME) shadows_.Recorded(left.path);
      } else if (result != ORV_E_NOT_PROTECTED) {
        Unkept(left.path, "the engine could not take it; see its log");
      }
    }
    shadows_.Release(left, 0);
  }

  // A protected file deleted or replaced whose old content is lost: said (up
  // to kUnkeptLines times) and counted.
  void Unkept(const std::string& path, const char* why) {
    if (unkept_.fetch_add(1) < kUnkeptLines) {
      std::cerr << "orv protect: " << DisplayText(path)
                << " was deleted or replaced and its old content could not be kept (" << why << ")"
                << (unkept_.load() == kUnkeptLines ? "; further ones are counted only" : "")
                << "\n";
    }
  }

  // Sees each file a walk finds.
  TreeMarker::FileVisitor Seer(bool fresh) {
    return [this, fresh](int directory, const char* name, const std::string& path) {
      if (std::optional<LeftShadow> replaced = shadows_.Saw(directory, name, path, fresh)) {
        Keep(FILE_OP_RENAME, *replaced, 0);
      }
    };
  }

  // Charges the opener one copy of st's bytes; false when that passes its
  // cap: the open goes through uncopied.
  bool WithinCopyBudget(std::optional<uid_t> uid, const struct stat& st) {
    if (uid == 0u) return true;  // root is not charged
    return Admitted(budget_.ChargeCopy(uid, static_cast<uint64_t>(st.st_size)), uid, overCopyCap_,
                    std::to_string(options_.budget.copies) + " copies or " +
                        std::to_string(options_.budget.copyBytes) +
                        " bytes a minute; its opens are let through uncopied");
  }

  // Charges the renaming process one row; false when that passes its cap:
  // the rename is not reported. A process gone before its event is read is
  // known by the owner of what it renamed: a shared bucket for the gone would
  // let one user's short-lived renamers use up everyone else's.
  bool WithinRowBudget(pid_t pid, const std::string& renamed) {
    std::optional<uid_t> uid = OpenerUid(pid);
    struct stat st {};
    if (!uid && ::lstat(renamed.c_str(), &st) == 0) uid = st.st_uid;
    if (uid == 0u) return true;  // root is not charged
    return Admitted(
        budget_.ChargeRow(uid), uid, overRowCap_,
        std::to_string(options_.budget.rows) + " renames a minute; its renames are not recorded");
  }

  // A refusal is counted always and said once per user and window.
  bool Admitted(const BudgetVerdict& verdict, std::optional<uid_t> uid, std::atomic<uint64_t>& over,
                const std::string& cap) {
    if (verdict.allowed) return true;
    ++over;
    if (verdict.firstRefusal) {
      std::cerr << "orv protect: user " << UserName(uid) << " passed the cap of " << cap << " for "
                << SecondsUntil(verdict.until) << " s\n";
    }
    return false;
  }

  static std::string UserName(std::optional<uid_t> uid) {
    return uid ? std::to_string(*uid) : std::string("(unknown)");
  }
  static long SecondsUntil(std::chrono::steady_clock::time_point until) {
    const auto left = until - std::chrono::steady_clock::now();
    return std::max<long>(0, std::chrono::ceil<std::chrono::seconds>(left).count());
  }

  // A directory that appears later is marked as it appears; one that cannot
  // be marked is said and counted, and left wholly unmarked.
  // Marks running out is said once, loudly: every directory after it fails
  // alike, while what is marked stays protected.
  // What the new directory already holds is seen as it is marked: files
  // made in it before its mark are known at once. fresh: it was made while
  // watched (not moved in).
  void MarkNew(const std::string& path, bool fresh) {
    const std::vector<MarkFailure> failures = marker_.MarkTree(path, Seer(fresh));
    TellWholeFileSystems();
    for (const MarkFailure& failure : failures) {
      ++unwatched_;
      if (failure.error != ENOSPC) {
        std::cerr << "orv protect: cannot watch " << DisplayText(failure.directory) << ": "
                  << std::strerror(failure.error) << "; its files are not protected\n";
      } else if (!marksExhausted_.exchange(true)) {
        std::cerr << "orv protect: out of fanotify marks (fs.fanotify.max_user_marks) at "
                  << DisplayText(failure.directory)
                  << "; new directories are not protected, the directories already watched "
                     "still are\n";
      }
    }
  }

  // Said loudly, once per file system: its every open now costs a trip
  // through the daemon.
  void TellWholeFileSystems() {
    for (const WholeFileSystem& whole : marker_.TakeNewWholeFileSystems()) {
      std::cerr << "orv protect: out of fanotify marks at " << DisplayText(whole.directory)
                << "; watching the whole file system of " << DisplayText(whole.root)
                << " instead (every open on it now passes through the daemon)\n";
    }
  }

  // True when the event names something in a tree: a file system watched
  // whole reports all of it.
  bool InTrees(const Notification& event) const {
    return Watched(event.path) || Watched(event.oldPath) || Watched(event.newPath);
  }
  // In a tree, and not in the daemon's own shadow directory.
  bool Watched(const std::string& path) const {
    return LiesInTrees(path, marker_.Roots()) && !marker_.Excluded(path);
  }

  void Dispatch(const Notification& event) {
    if (!InTrees(event)) return;
    if (event.directory) {
      // Merged events do not tell their order: a name deleted and made again
      // is forgotten first, then marked if it is there. A directory moved
      // loses its records under the old name, and is known under the new
      // one as its walk finds it.
      if (event.deleted && !event.path.empty()) {
        marker_.Forget(event.path);
        for (const LeftShadow& left : shadows_.Left(event.path)) shadows_.Release(left, 0);
      }
      if (event.created && !event.path.empty()) MarkNew(event.path, true);
      if (event.renamed) MovedDirectory(event.oldPath, event.newPath);
      return;
    }
    // By the event's own handle: by the time a busy daemon reads the event,
    // a save's temporary file may have its target's name already.
    if (event.created && Watched(event.path)) {
      if (std::optional<LeftShadow> replaced = shadows_.Saw(event.inode, event.path, true)) {
        Keep(FILE_OP_RENAME, *replaced, event.pid);
      }
    }
    if (event.modified && !event.path.empty()) tracker_.Modified(event.path);
    // A deletion reported with a close came before it (the file was
    // unlinked while open).
    if (event.deleted && !event.path.empty()) {
      // An open of it not closed and not written has its copy already: that
      // is the deleted content, and one edition says it.
      const bool copied = tracker_.Deleted(event.path);
      bool known = false;
      if (std::optional<LeftShadow> left = shadows_.Deleted(event.path, &known)) {
        if (copied) {
          shadows_.Release(*left, 0);
        } else {
          Keep(FILE_OP_DELETE, *left, event.pid);
        }
      } else if (!known && Watched(event.path)) {
        Unkept(event.path, "never seen by the daemon, or not shadowed");
      }
    }
    if (event.closedAfterWrite && !event.path.empty()) tracker_.Closed(event.path);
    if (event.renamed) MovedFile(event);
  }

  // A rename within the trees keeps the file known under its new name; the
  // file it replaced is kept. A rename of a file made while watched (the
  // temporary file of a save) is no history of its own: no row.
  void MovedFile(const Notification& event) {
    const bool from = Watched(event.oldPath), to = Watched(event.newPath);
    bool history = true;
    if (from && to) {
      const ShadowKeeper::Move move = shadows_.Moved(event.oldPath, event.newPath, &event.inode);
      if (move.replaced) Keep(FILE_OP_RENAME, *move.replaced, event.pid);
      history = !move.fresh;
    } else if (from) {
      for (const LeftShadow& left : shadows_.Left(event.oldPath)) shadows_.Release(left, 1);
    } else if (to) {
      if (std::optional<LeftShadow> replaced = shadows_.Saw(event.inode, event.newPath, false)) {
        Keep(FILE_OP_RENAME, *replaced, event.pid);
      }
    }
    if (history && !event.oldPath.empty() && !event.newPath.empty() &&
        WithinRowBudget(event.pid, event.newPath)) {
      tracker_.Renamed(event.oldPath, event.newPath);
    }
  }

  // A directory moved: within the trees its files stay known; out of them
  // they are let go; into them they are seen. A merged event may name one
  // side only.
  void MovedDirectory(const std::string& from, const std::string& to) {
    const bool inFrom = !from.empty() && Watched(from), inTo = !to.empty() && Watched(to);
    if (!from.empty()) marker_.Forget(from);
    if (inFrom && inTo) {
      shadows_.MovedDirectory(from, to);
    } else if (inFrom) {
      for (const LeftShadow& left : shadows_.Left(from)) shadows_.Release(left, 1);
    }
    if (!to.empty()) MarkNew(to, false);
  }

  const ProtectOptions& options_;
  FanotifyGroups groups_;
  TreeMarker marker_;
  ShadowKeeper& shadows_;
  EngineEvents events_;
  OpenTracker tracker_;
  UserBudget budget_;
  std::optional<WorkerPool> pool_;
  std::optional<PreContentGuard> preContent_;  // with --pre-content only
  std::mutex preContentLock_;
  std::set<dev_t> preContentUnmarked_;  // file systems said to be uncovered
  std::thread permissionReader_, notificationReader_, preContentReader_;
  std::atomic<bool> marksExhausted_{false};
  std::atomic<uint64_t> opens_{0}, passedUncopied_{0}, overflows_{0}, unwatched_{0}, refused_{0},
      foreignPaths_{0}, answeredLate_{0}, refusedForDescriptors_{0}, overCopyCap_{0},
      overRowCap_{0}, kept_{0}, unkept_{0}, uncopiedNew_{0}, truncates_{0};
  std::atomic<bool> saidRefused_{false}, saidOutOfDescriptors_{false};
};

// Refuses --pre-content where the kernel has no pre-content events: asked
// for, their absence would leave truncates uncovered unawares. True when
// the kernel has them.
bool CheckPreContent(bool wanted) {
  std::string why;
  const bool supported = PreContentGuard::Supported(&why);
  if (wanted && !supported) throw ToolError("--pre-content: " + why);
  return supported;
}

// Without --pre-content the gap is said once, as the daemon starts.
void TellTruncateGap(bool supported) {
  std::cerr << "orv protect: truncate(2) by path is not covered ("
            << (supported ? "start with --pre-content to cover it"
                          : "this kernel has no pre-content events; --pre-content covers it on "
                            "Linux 6.14 or later")
            << ", at a cost to every read)\n";
}

}  // namespace

int RunProtect(const GlobalOptions& options, const ProtectOptions& protect) {
  CheckKernel();
  CheckMayWatch();
  if (protect.directories.empty()) {
    throw ToolError(
        "name the directories to protect (orv protect DIR..., or tree lines in --config)");
  }
  const bool preContentSupported = CheckPreContent(protect.preContent);
  ProtectOptions resolved = protect;
  const std::filesystem::path store =
      std::filesystem::weakly_canonical(options.store.empty() ? DefaultStore() : options.store);
  for (auto& directory : resolved.directories) {
    std::error_code error;
    directory = std::filesystem::canonical(directory, error);
    if (error || !std::filesystem::is_directory(directory)) {
      throw ToolError("not a directory: " + directory.string());
    }
    const auto relative = store.lexically_relative(directory);
    if (!relative.empty() && *relative.begin() != "..") {
      throw ToolError("the store " + store.string() + " lies inside the protected tree " +
                      directory.string() + "; put it elsewhere (--store)");
    }
  }
  GlobalOptions hostOptions = options;
  hostOptions.store = store;
  // The store is made before its policy directory, readable by root only.
  CreatePrivateDirectories(store);
  // Shadows beside every tree, before anything is watched: a tree without
  // is said, never silently left without delete and rename protection.
  ShadowKeeper shadows(store, resolved.directories);
  for (const auto& [tree, why] : shadows.Uncovered()) {
    std::cerr << "orv protect: no shadow directory for " << DisplayText(tree.string()) << " ("
              << DisplayText(why)
              << "); deletions and renames over files there keep no old content\n";
  }
  if (options.policy.empty()) {
    hostOptions.policy = store / "protect-policy";
    WriteTreePolicy(hostOptions.policy, resolved.directories, shadows.Directories());
  }

  // Signals are taken by this thread alone, so that no worker is interrupted.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  EngineHost host(hostOptions, EngineHost::Mode::kCapture);
  Daemon daemon(resolved, shadows);
  daemon.Open();
  daemon.Start();
  if (!protect.preContent) TellTruncateGap(preContentSupported);
  // For orv status and the first-run messages: held until the clean stop.
  const DaemonRecordFile record(store, {::getpid(), static_cast<int64_t>(std::time(nullptr)),
                                        hostOptions.quota, resolved.directories});
  std::cerr << "orv protect: watching " << daemon.DirectoryCount() << " directories and "
            << daemon.KnownFileCount() << " files, store " << DisplayText(store.string())
            << std::endl;
  // A status line on a terminal, refreshed every two seconds until a signal.
  const bool terminal = ::isatty(2) != 0;
  while (true) {
    const timespec period{2, 0};
    const int signal = sigtimedwait(&signals, nullptr, &period);
    if (signal == SIGTERM || signal == SIGINT) break;
    if (terminal) std::cerr << "\rorv protect: " << daemon.Summary() << "   " << std::flush;
  }
  if (terminal) std::cerr << "\n";
  std::cerr << "orv protect: stopping" << std::endl;
  daemon.Shutdown();
  std::cerr << "orv protect: " << daemon.Summary() << std::endl;
  return 0;  // the engine stops with the host: its final batch is written
}

}  // namespace orv::tool
