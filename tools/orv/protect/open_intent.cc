#include "open_intent.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>

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
    case SYS_openat2: {
      open_how how{};
      iovec local{&how, sizeof(how)};
      iovec remote{reinterpret_cast<void*>(args[2]), sizeof(how)};
      if (::process_vm_readv(tid, &local, 1, &remote, 1, 0) != static_cast<ssize_t>(sizeof(how))) {
        return true;
      }
      return WriteFlags(how.flags);
    }
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
