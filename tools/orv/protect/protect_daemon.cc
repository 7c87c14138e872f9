#include "protect/protect_daemon.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <orv/orv.h>
#include <poll.h>
#include <signal.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string_view>
#include <thread>
#include <vector>

#include "engine_host.h"
#include "platform/text.h"
#include "protect/open_intent.h"
#include "tool_error.h"

namespace orv::tool {
namespace {

constexpr size_t kQueueLimit = 4096;

std::string FdPath(int fd) {
  char link[64];
  std::snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  char target[PATH_MAX + 1];
  const ssize_t n = ::readlink(link, target, PATH_MAX);
  return n <= 0 ? std::string() : std::string(target, static_cast<size_t>(n));
}

FileEventTime Now() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  std::tm t{};
  ::localtime_r(&now.tv_sec, &t);
  return {static_cast<uint16_t>(t.tm_year + 1900), static_cast<uint16_t>(t.tm_mon + 1),
          static_cast<uint16_t>(t.tm_wday),        static_cast<uint16_t>(t.tm_mday),
          static_cast<uint16_t>(t.tm_hour),        static_cast<uint16_t>(t.tm_min),
          static_cast<uint16_t>(t.tm_sec),         static_cast<uint16_t>(now.tv_nsec / 1000000)};
}

void Notify(uint32_t operation, const std::string& path, uint32_t access = 0, bool changed = false,
            const std::string& target = {}) {
  const std::u16string path16 = Utf8ToUtf16Lossy(path), target16 = Utf8ToUtf16Lossy(target);
  FileEventRecord record{};
  record.RecordType = RECORD_TYPE_FILE;
  record.EventTime = Now();
  record.FilePath = path16.c_str();
  record.TargetPath = target16.c_str();
  record.DesiredAccess = access;
  record.FileOperation = operation;
  record.CloseFlags = changed ? ORV_CLOSE_FLAG_CHANGED : 0;
  NotifyEvent(&record);
}

void CheckKernel() {
  utsname name{};
  ::uname(&name);
  int major = 0, minor = 0;
  std::sscanf(name.release, "%d.%d", &major, &minor);
  if (major < 5 || (major == 5 && minor < 17)) {
    throw ToolError(std::string("live protection needs Linux 5.17 or later (this is ") +
                    name.release + ")");
  }
}

// What an open for writing saw, to tell at the close whether the file changed.
struct OpenState {
  struct stat atOpen {};
  bool modified = false;
  int opens = 0;  // opens for writing not closed yet
};

class Daemon {
 public:
  Daemon(const ProtectOptions& options, const std::filesystem::path& store)
      : options_(options), store_(store) {}
  ~Daemon() {
    for (int fd : rootFds_) ::close(fd);
    if (permission_ >= 0) ::close(permission_);
    if (notification_ >= 0) ::close(notification_);
    if (wake_[0] >= 0) ::close(wake_[0]);
    if (wake_[1] >= 0) ::close(wake_[1]);
  }

  void Open() {
    permission_ = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_REPORT_TID,
                                  O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    notification_ = ::fanotify_init(FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_REPORT_DFID_NAME_TARGET,
                                    O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (permission_ < 0 || notification_ < 0) {
      throw ToolError(std::string("fanotify is not available: ") + std::strerror(errno) +
                      " (live protection runs as root)");
    }
    if (::pipe2(wake_, O_CLOEXEC) != 0) throw ToolError("cannot make a pipe");
    for (const auto& directory : options_.directories) {
      const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (fd < 0)
        throw ToolError("cannot open " + directory.string() + ": " + std::strerror(errno));
      rootFds_.push_back(fd);
      MarkTree(directory);
    }
  }

  void Start() {
    for (unsigned i = 0; i < options_.workers; ++i) workers_.emplace_back([this] { Work(); });
    permissionReader_ = std::thread([this] { ReadPermissionEvents(); });
    notificationReader_ = std::thread([this] { ReadNotifications(); });
  }

  // Stops taking events, answers every held open, drains the workers.
  void Shutdown() {
    stopping_.store(true);
    const char byte = 0;
    [[maybe_unused]] ssize_t ignored = ::write(wake_[1], &byte, 1);
    permissionReader_.join();
    {
      std::lock_guard guard(queueLock_);
      draining_ = true;
    }
    queueChanged_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    notificationReader_.join();
    SettleMergedCloses();
  }

  std::string Summary() const {
    std::ostringstream text;
    text << directories_.size() << " directories, " << opens_.load() << " opens for writing, "
         << passedUncopied_.load() << " let through uncopied, " << overflows_.load()
         << " queue overflows";
    return text.str();
  }
  size_t DirectoryCount() const { return directories_.size(); }

 private:
  struct HeldOpen {
    int fd;
    pid_t tid;
  };

  // Marks the directory open at fd (path is its name, for the count).
  void MarkDirectory(int fd, const std::string& path) {
    {
      std::lock_guard guard(marksLock_);
      if (!directories_.insert(path).second) return;
    }
    // Through the descriptor, never a path: the kernel marks what was opened.
    constexpr unsigned kMark = FAN_MARK_ADD | FAN_MARK_ONLYDIR;
    if (::fanotify_mark(permission_, kMark, FAN_OPEN_PERM | FAN_EVENT_ON_CHILD, fd, nullptr) != 0) {
      std::lock_guard guard(marksLock_);
      directories_.erase(path);
      return;
    }
    ::fanotify_mark(notification_, kMark,
                    FAN_MODIFY | FAN_CLOSE_WRITE | FAN_DELETE | FAN_RENAME | FAN_CREATE |
                        FAN_ONDIR | FAN_EVENT_ON_CHILD,
                    fd, nullptr);
  }

  // Marks the directory at path and every directory below it. Each is opened
  // beneath its tree's root and never through a symbolic link: a user may
  // swap a new directory for a link to any directory of the system at any
  // moment, and a mark there would hold every open in it.
  void MarkTree(const std::filesystem::path& path) {
    for (size_t i = 0; i < rootFds_.size(); ++i) {
      const std::filesystem::path& root = options_.directories[i];
      const std::filesystem::path relative = path.lexically_relative(root);
      if (relative.empty() || *relative.begin() == "..") continue;
      std::vector<std::filesystem::path> pending{relative};
      while (!pending.empty()) {
        const std::filesystem::path next = std::move(pending.back());
        pending.pop_back();
        open_how how{};
        how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        const int fd =
            static_cast<int>(::syscall(SYS_openat2, rootFds_[i], next.c_str(), &how, sizeof(how)));
        if (fd < 0) continue;
        MarkDirectory(fd, (root / next).lexically_normal().string());
        DIR* directory = ::fdopendir(fd);
        if (directory == nullptr) {
          ::close(fd);
          continue;
        }
        while (const dirent* entry = ::readdir(directory)) {
          const std::string_view name = entry->d_name;
          if (name == "." || name == "..") continue;
          if (entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN) {
            pending.push_back(next / entry->d_name);
          }
        }
        ::closedir(directory);
      }
      return;
    }
  }

  void Respond(int fd) {
    fanotify_response response{fd, FAN_ALLOW};
    [[maybe_unused]] ssize_t ignored = ::write(permission_, &response, sizeof(response));
    ::close(fd);
  }

  bool WaitReadable(int fd) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    while (!stopping_.load()) {
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (fds[1].revents != 0) return false;
      if (fds[0].revents != 0) return true;
    }
    return false;
  }

  // Never blocks on a worker: the engine's own opens of the files it copies
  // come back here, and must be answered while a worker waits for the copy.
  void ReadPermissionEvents() {
    alignas(fanotify_event_metadata) char buffer[8192];
    while (WaitReadable(permission_)) {
      ssize_t length = ::read(permission_, buffer, sizeof(buffer));
      if (length <= 0) continue;
      for (size_t offset = 0;
           offset + sizeof(fanotify_event_metadata) <= static_cast<size_t>(length);) {
        fanotify_event_metadata copy;
        std::memcpy(&copy, buffer + offset, sizeof(copy));
        if (copy.event_len < sizeof(copy)) break;
        offset += copy.event_len;
        const fanotify_event_metadata* event = &copy;
        if (event->mask & FAN_Q_OVERFLOW) ++overflows_;
        if (event->fd < 0) continue;
        if (IsOwnThread(event->pid)) {
          Respond(event->fd);
          continue;
        }
        std::unique_lock guard(queueLock_);
        if (queue_.size() >= kQueueLimit) {
          guard.unlock();
          ++passedUncopied_;
          Respond(event->fd);
          continue;
        }
        queue_.push_back({event->fd, event->pid});
        guard.unlock();
        queueChanged_.notify_one();
      }
    }
  }

  void Work() {
    while (true) {
      HeldOpen held;
      {
        std::unique_lock guard(queueLock_);
        while (!queueChanged_.wait_for(guard, std::chrono::seconds(1),
                                       [this] { return !queue_.empty() || draining_; })) {
        }
        if (queue_.empty()) return;  // draining and nothing left
        held = queue_.front();
        queue_.pop_front();
      }
      HandleOpen(held);
      Respond(held.fd);
    }
  }

  void HandleOpen(const HeldOpen& held) {
    if (!OpensForWriting(held.tid)) return;
    struct stat st {};
    if (::fstat(held.fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
    const std::string path = FdPath(held.fd);
    if (path.empty()) return;
    ++opens_;
    // Checked before the copy starts: a copy once started is never cut short.
    if (static_cast<uint64_t>(st.st_size) > options_.maxCopySize) {
      ++passedUncopied_;
      std::cerr << "orv protect: " << path << " is larger than --max-copy-size; not copied\n";
      return;
    }
    {
      std::lock_guard guard(stateLock_);
      OpenState& state = open_[path];
      state.atOpen = st;
      ++state.opens;
    }
    Notify(FILE_OP_OPEN, path, ORV_GENERIC_WRITE);
  }

  // The kernel merges a close into an unread close of the same file, so two
  // quick saves can leave one open without its close. Before the engine
  // stops, such files are settled by what their content shows.
  void SettleMergedCloses() {
    std::lock_guard guard(stateLock_);
    for (auto& [path, state] : open_) {
      struct stat now {};
      const bool changed = state.modified || ::stat(path.c_str(), &now) != 0 ||
                           now.st_size != state.atOpen.st_size ||
                           now.st_mtim.tv_sec != state.atOpen.st_mtim.tv_sec ||
                           now.st_mtim.tv_nsec != state.atOpen.st_mtim.tv_nsec;
      for (int i = 0; i < state.opens; ++i) Notify(FILE_OP_CLOSE, path, 0, changed);
    }
    open_.clear();
  }

  // The directory and name a record (a directory handle and a name) carries,
  // as a path. The record is copied into aligned memory before it is read.
  std::string ResolveName(const char* record, size_t length) {
    const size_t handleOffset = offsetof(fanotify_event_info_fid, handle);
    if (length < handleOffset + sizeof(file_handle)) return {};
    std::vector<uint64_t> aligned((length - handleOffset + sizeof(uint64_t)) / sizeof(uint64_t) +
                                  1);
    std::memcpy(aligned.data(), record + handleOffset, length - handleOffset);
    auto* handle = reinterpret_cast<file_handle*>(aligned.data());
    if (sizeof(file_handle) + handle->handle_bytes >= length - handleOffset) return {};
    const char* name = reinterpret_cast<const char*>(handle->f_handle + handle->handle_bytes);
    for (int root : rootFds_) {
      const int fd = ::open_by_handle_at(root, handle, O_PATH | O_CLOEXEC);
      if (fd < 0) continue;
      std::string directory = FdPath(fd);
      ::close(fd);
      if (directory.empty()) return {};
      if (std::strcmp(name, ".") == 0 || *name == '\0') return directory;
      return directory == "/" ? "/" + std::string(name) : directory + "/" + name;
    }
    return {};
  }

  void HandleNotification(const fanotify_event_metadata& metadata, const char* bytes) {
    const fanotify_event_metadata* event = &metadata;
    std::string path, oldPath, newPath;
    const char* cursor = bytes + metadata.metadata_len;
    const char* end = bytes + metadata.event_len;
    while (cursor + sizeof(fanotify_event_info_header) <= end) {
      fanotify_event_info_header header;
      std::memcpy(&header, cursor, sizeof(header));
      if (header.len < sizeof(header) || cursor + header.len > end) break;
      std::string* target = header.info_type == FAN_EVENT_INFO_TYPE_DFID_NAME       ? &path
                            : header.info_type == FAN_EVENT_INFO_TYPE_OLD_DFID_NAME ? &oldPath
                            : header.info_type == FAN_EVENT_INFO_TYPE_NEW_DFID_NAME ? &newPath
                                                                                    : nullptr;
      if (target != nullptr) *target = ResolveName(cursor, header.len);
      cursor += header.len;
    }
    const bool directory = (event->mask & FAN_ONDIR) != 0;
    if (directory) {
      if ((event->mask & FAN_CREATE) && !path.empty()) MarkTree(path);
      if ((event->mask & FAN_RENAME) && !newPath.empty()) MarkTree(newPath);
      return;
    }
    if ((event->mask & FAN_MODIFY) && !path.empty()) {
      std::lock_guard guard(stateLock_);
      if (auto it = open_.find(path); it != open_.end()) it->second.modified = true;
    }
    // The kernel merges events of one name: a deletion reported with a close
    // came before it (the file was unlinked while open).
    if ((event->mask & FAN_DELETE) && !path.empty()) {
      Notify(FILE_OP_DELETE, path);
      std::lock_guard guard(stateLock_);
      open_.erase(path);
    }
    if ((event->mask & FAN_CLOSE_WRITE) && !path.empty()) {
      // A close settles the oldest open's entry in the engine; it may be
      // reported after a later open of the same file was seen.
      bool changed = true;
      {
        std::lock_guard guard(stateLock_);
        if (auto it = open_.find(path); it != open_.end()) {
          struct stat now {};
          const struct stat& before = it->second.atOpen;
          // mmap writes give no MODIFY: a size, mtime or ctime that moved counts too.
          changed = it->second.modified || ::stat(path.c_str(), &now) != 0 ||
                    now.st_size != before.st_size || now.st_mtim.tv_sec != before.st_mtim.tv_sec ||
                    now.st_mtim.tv_nsec != before.st_mtim.tv_nsec ||
                    now.st_ctim.tv_sec != before.st_ctim.tv_sec ||
                    now.st_ctim.tv_nsec != before.st_ctim.tv_nsec;
          if (--it->second.opens <= 0) {
            open_.erase(it);
          } else {
            it->second.modified = false;
          }
        }
      }
      Notify(FILE_OP_CLOSE, path, 0, changed);
    }
    if ((event->mask & FAN_RENAME) && !oldPath.empty() && !newPath.empty()) {
      Notify(FILE_OP_RENAME, oldPath, 0, false, newPath);
    }
  }

  void ReadNotifications() {
    alignas(fanotify_event_metadata) char buffer[65536];
    // After the stop request, what is already queued is still read, so that
    // closes of files opened before it settle their entries.
    while (true) {
      const bool readable = WaitReadable(notification_);
      if (!readable) {
        pollfd pending{notification_, POLLIN, 0};
        if (::poll(&pending, 1, 0) <= 0) return;
      }
      ssize_t length = ::read(notification_, buffer, sizeof(buffer));
      if (length <= 0) {
        if (!readable) return;
        continue;
      }
      // Events with names have any length: they are copied out, never read
      // in place at an address that may not be aligned.
      for (size_t offset = 0;
           offset + sizeof(fanotify_event_metadata) <= static_cast<size_t>(length);) {
        fanotify_event_metadata event;
        std::memcpy(&event, buffer + offset, sizeof(event));
        if (event.event_len < sizeof(event) ||
            offset + event.event_len > static_cast<size_t>(length)) {
          break;
        }
        if (event.mask & FAN_Q_OVERFLOW) {
          ++overflows_;
          std::cerr << "orv protect: the kernel's event queue overflowed; events were lost\n";
        } else {
          HandleNotification(event, buffer + offset);
        }
        if (event.fd >= 0) ::close(event.fd);
        offset += event.event_len;
      }
    }
  }

  const ProtectOptions& options_;
  std::filesystem::path store_;
  int permission_ = -1, notification_ = -1;
  int wake_[2] = {-1, -1};
  std::vector<int> rootFds_;
  std::atomic<bool> stopping_{false};
  std::mutex marksLock_;
  std::set<std::string> directories_;
  std::mutex queueLock_;
  std::condition_variable queueChanged_;
  std::deque<HeldOpen> queue_;
  bool draining_ = false;
  std::mutex stateLock_;
  std::map<std::string, OpenState> open_;
  std::vector<std::thread> workers_;
  std::thread permissionReader_, notificationReader_;
  std::atomic<uint64_t> opens_{0}, passedUncopied_{0}, overflows_{0};
};

// Text as an XML attribute value: a directory named "R&D" must not make the
// policy a document that fails to load (and protects nothing).
std::string XmlAttribute(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&apos;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

// The shipped policy, protecting the given trees instead of the home directory.
void WriteTreePolicy(const std::filesystem::path& policy,
                     const std::vector<std::filesystem::path>& trees) {
  std::ifstream in(std::string(ORV_EXAMPLE_POLICY_DIR) + "/lpolicy.xml");
  std::stringstream text;
  text << in.rdbuf();
  std::string document = text.str();
  const std::string home = "<value v=\"%HOME%/\"/>";
  const size_t at = document.find(home);
  if (at == std::string::npos) throw ToolError("the shipped policy is missing");
  std::string values;
  for (const auto& tree : trees) {
    values += "<value v=\"" + XmlAttribute(tree.string() + "/") + "\"/>\n      ";
  }
  document.replace(at, home.size(), values);
  std::filesystem::create_directories(policy);
  std::ofstream out(policy / "lpolicy.xml");
  out << document;
  out.close();
  // Without its policy the daemon would run and protect nothing.
  if (!out) throw ToolError("cannot write the policy in " + policy.string());
}

}  // namespace

int RunProtect(const GlobalOptions& options, const ProtectOptions& protect) {
  CheckKernel();
  if (protect.directories.empty()) throw ToolError("name the directories to protect");
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
  if (options.policy.empty()) {
    hostOptions.policy = store / "protect-policy";
    WriteTreePolicy(hostOptions.policy, resolved.directories);
  }

  // Signals are taken by this thread alone, so that no worker is interrupted.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  EngineHost host(hostOptions, EngineHost::Mode::kCapture);
  Daemon daemon(resolved, store);
  daemon.Open();
  daemon.Start();
  std::cerr << "orv protect: watching " << daemon.DirectoryCount() << " directories, store "
            << store.string() << std::endl;
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
