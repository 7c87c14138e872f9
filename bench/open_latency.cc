// Latency of opens as a process feels them, for the live-protection benchmark.
//   orv_open_latency read|write|append4k PATH COUNT
// A PATH holding "%d" names a different file for each open (the open's number).
// read: open read-only and close; write: open for writing and close without
// writing; append4k: 4 KiB writes to a file opened once (the cost of the
// notifications a write makes). Prints the median and the 99th percentile in
// microseconds.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "latency_sample.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: orv_open_latency read|write|append4k PATH COUNT\n");
    return 2;
  }
  const char* mode = argv[1];
  const char* path = argv[2];
  const int count = std::atoi(argv[3]);
  const int flags = std::strcmp(mode, "read") == 0    ? O_RDONLY
                    : std::strcmp(mode, "write") == 0 ? O_WRONLY
                                                      : O_WRONLY | O_APPEND;
  const bool write4k = std::strcmp(mode, "append4k") == 0;
  std::vector<char> block(4096, 'x');
  orv::bench::LatencySample sample(count);
  if (write4k) {
    const int fd = ::open(path, flags);
    if (fd < 0) {
      std::perror(path);
      return 1;
    }
    for (int i = 0; i < count; ++i) {
      const bool ok = sample.Time([&] {
        return ::write(fd, block.data(), block.size()) == static_cast<ssize_t>(block.size());
      });
      if (!ok) return 1;
    }
    ::close(fd);
  }
  for (int i = 0; i < count && !write4k; ++i) {
    char name[4096];
    std::snprintf(name, sizeof(name), path, i);
    const bool ok = sample.Time([&] {
      const int fd = ::open(name, flags);
      if (fd < 0) return false;
      ::close(fd);
      return true;
    });
    if (!ok) {
      std::perror(name);
      return 1;
    }
  }
  sample.Print(mode, "opens", path);
  return 0;
}
