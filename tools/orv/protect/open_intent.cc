#include "open_intent.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/unique_fd.h"

namespace orv::tool {
namespace {

// How long a thread fanotify told of may still show as running before it
// sleeps in its system call.
constexpr std::chrono::milliseconds kSyscallSettleTime{50};

bool WriteFlags(uint64_t flags) {
  return (flags & O_ACCMODE) != O_RDONLY || (flags & O_TRUNC) != 0;
}

}  // namespace

std::string SyscallText(pid_t tid) {
  char path[64];
  std::snprintf(path, sizeof(path), "/proc/%d/syscall", static_cast<int>(tid));
  // fanotify tells of a held thread as it queues its event, a moment before
  // the thread goes to sleep waiting for the answer; until then the kernel
  // shows it "running". It sleeps within microseconds unless it lost its
  // processor, so it is looked at again until then, within a deadline.
  const auto deadline = std::chrono::steady_clock::now() + kSyscallSettleTime;
  for (int attempt = 0;; ++attempt) {
    const UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return {};
    char text[256];
    const ssize_t n = ::read(fd.get(), text, sizeof(text) - 1);
    if (n <= 0) return {};
    std::string result(text, static_cast<size_t>(n));
    if (result.rfind("running", 0) != 0 || std::chrono::steady_clock::now() >= deadline) {
      return result;
    }
    if (attempt < 16) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  }
}

std::optional<uint64_t> TakeSyscallNumber(std::string_view& text) {
  int base = 10;
  if (text.substr(0, 2) == "0x") {
    text.remove_prefix(2);
    base = 16;
  }
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  text.remove_prefix(static_cast<size_t>(end - text.data()));
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  return value;
}

bool OpensForWriting(pid_t tid) { return OpensForWriting(SyscallText(tid)); }

bool OpensForWriting(std::string_view text) {
  const std::optional<uint64_t> number = TakeSyscallNumber(text);
  if (!number) return true;
  uint64_t args[3] = {};
  for (uint64_t& arg : args) {
    const std::optional<uint64_t> value = TakeSyscallNumber(text);
    if (!value) return true;
    arg = *value;
  }
  switch (*number) {
    case SYS_open:
      return WriteFlags(args[1]);
    case SYS_openat:
      return WriteFlags(args[2]);
    case SYS_creat:
      return true;
    case SYS_openat2:
      // Its flags lie in the opener's memory, which another of its threads
      // may rewrite once the kernel has read them: what the daemon would read
      // is not what the kernel opens with, so it counts as a write.
      return true;
    default:
      return true;
  }
}

bool IsOwnThread(pid_t tid) {
  // A thread of this process is listed under /proc/self/task: one stat, no read.
  struct stat st {};
  return ::stat(("/proc/self/task/" + std::to_string(tid)).c_str(), &st) == 0;
}

}  // namespace orv::tool
