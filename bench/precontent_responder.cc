// Answers the pre-content events of every directory of a tree, for
// bench/precontent_bench.sh. Modes:
//   guard   the daemon's guard: truncates by path told apart from the rest
//   allow   every event let through at once, nothing looked at
//   ignore  as allow, and each file's later events silenced by an ignore mark
//           after its first (which silences its truncates too)
// Prints "ready" once the tree is marked, and the events answered when
// SIGTERM or SIGINT ends it. Usage: orv_precontent_responder MODE ROOT
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "protect/pre_content.h"

namespace {

#ifndef FAN_PRE_ACCESS
constexpr uint64_t FAN_PRE_ACCESS = 0x00100000;
#endif
#ifndef FAN_MARK_IGNORE
constexpr unsigned FAN_MARK_IGNORE = 0x00000400;
#endif

std::vector<std::string> directories;

int Collect(const char* path, const struct stat*, int type, FTW*) {
  if (type == FTW_D) directories.emplace_back(path);
  return 0;
}

// The allow and ignore modes: a plain group, nothing classified.
class PlainResponder {
 public:
  explicit PlainResponder(bool ignoreAfterFirst)
      : group_(::fanotify_init(FAN_CLASS_PRE_CONTENT | FAN_CLOEXEC,
                               O_RDONLY | O_LARGEFILE | O_CLOEXEC | O_NONBLOCK)),
        ignore_(ignoreAfterFirst) {}
  ~PlainResponder() { ::close(group_); }
  bool valid() const { return group_ >= 0; }
  int Mark(const std::string& directory) {
    return ::fanotify_mark(group_, FAN_MARK_ADD | FAN_MARK_ONLYDIR,
                           FAN_PRE_ACCESS | FAN_EVENT_ON_CHILD, AT_FDCWD, directory.c_str()) == 0
               ? 0
               : errno;
  }
  void Read(const std::atomic<bool>& stop) {
    alignas(fanotify_event_metadata) char buffer[8192];
    while (!stop.load()) {
      pollfd ready{group_, POLLIN, 0};
      if (::poll(&ready, 1, 100) <= 0) continue;
      const ssize_t length = ::read(group_, buffer, sizeof(buffer));
      for (ssize_t offset = 0; length > 0 && offset < length;) {
        const auto* event = reinterpret_cast<const fanotify_event_metadata*>(buffer + offset);
        if (event->fd >= 0) {
          if (ignore_) {
            ::fanotify_mark(group_, FAN_MARK_ADD | FAN_MARK_IGNORE | FAN_MARK_IGNORED_SURV_MODIFY,
                            FAN_PRE_ACCESS, event->fd, nullptr);
          }
          fanotify_response response{event->fd, FAN_ALLOW};
          [[maybe_unused]] ssize_t ignored = ::write(group_, &response, sizeof(response));
          ::close(event->fd);
          ++events;
        }
        offset += event->event_len;
      }
    }
  }
  uint64_t events = 0;

 private:
  int group_;
  bool ignore_;
};

template <typename Responder>
int MarkAll(Responder& responder) {
  for (const std::string& directory : directories) {
    if (const int error = responder.Mark(directory); error != 0) {
      std::fprintf(stderr, "cannot mark %s: %s\n", directory.c_str(), std::strerror(error));
      return 1;
    }
  }
  std::printf("ready %zu directories\n", directories.size());
  std::fflush(stdout);
  return 0;
}

int WaitForSignal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  int signal = 0;
  sigwait(&set, &signal);
  return signal;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 3 ? argv[1] : "";
  if (mode != "guard" && mode != "allow" && mode != "ignore") {
    std::fprintf(stderr, "usage: %s guard|allow|ignore ROOT\n", argv[0]);
    return 2;
  }
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);  // the reader thread inherits it
  ::nftw(argv[2], Collect, 64, FTW_PHYS);

  if (mode == "guard") {
    std::string why;
    if (!orv::tool::PreContentGuard::Supported(&why)) {
      std::fprintf(stderr, "%s\n", why.c_str());
      return 1;
    }
    orv::tool::PreContentGuard guard;
    if (MarkAll(guard) != 0) return 1;
    std::thread reader([&] { guard.Read([](int, pid_t, uint64_t) {}); });
    WaitForSignal();
    guard.RequestStop();
    reader.join();
    std::fprintf(stderr, "events %llu truncates %llu\n",
                 static_cast<unsigned long long>(guard.EventCount()),
                 static_cast<unsigned long long>(guard.TruncateCount()));
    return 0;
  }
  PlainResponder responder(mode == "ignore");
  if (!responder.valid()) {
    std::perror("fanotify_init");
    return 1;
  }
  if (MarkAll(responder) != 0) return 1;
  std::atomic<bool> stop{false};
  std::thread reader([&] { responder.Read(stop); });
  WaitForSignal();
  stop.store(true);
  reader.join();
  std::fprintf(stderr, "events %llu\n", static_cast<unsigned long long>(responder.events));
  return 0;
}
