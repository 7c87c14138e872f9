#include "open_intent.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace orv::tool {
namespace {

bool WriteFlags(uint64_t flags) {
  return (flags & O_ACCMODE) != O_RDONLY || (flags & O_TRUNC) != 0;
}

}  // namespace

bool OpensForWriting(pid_t tid) {
  std::ifstream in("/proc/" + std::to_string(tid) + "/syscall");
  std::string line;
  if (!std::getline(in, line)) return true;
  std::istringstream fields(line);
  long number = -1;
  fields >> number;
  uint64_t args[6] = {};
  for (uint64_t& arg : args) {
    std::string hex;
    if (!(fields >> hex)) return true;
    arg = std::stoull(hex, nullptr, 16);
  }
  switch (number) {
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
