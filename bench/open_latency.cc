// Latency of opens as a process feels them, for the live-protection benchmark.
//   orv_open_latency read|write|append4k PATH COUNT
// A PATH holding "%d" names a different file for each open (the open's number).
// read: open read-only and close; write: open for writing and close without
// writing; append4k: 4 KiB writes to a file opened once (the cost of the
// notifications a write makes). Prints the median and the 99th percentile in
// microseconds.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

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
  std::vector<double> micros;
  micros.reserve(static_cast<size_t>(count));
  if (write4k) {
    const int fd = ::open(path, flags);
    if (fd < 0) {
      std::perror(path);
      return 1;
    }
    for (int i = 0; i < count; ++i) {
      const auto start = std::chrono::steady_clock::now();
      if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) return 1;
      micros.push_back(
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
              .count());
    }
    ::close(fd);
  }
  for (int i = 0; i < count && !write4k; ++i) {
    char name[4096];
    std::snprintf(name, sizeof(name), path, i);
    const auto start = std::chrono::steady_clock::now();
    const int fd = ::open(name, flags);
    if (fd < 0) {
      std::perror(name);
      return 1;
    }
    ::close(fd);
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
  }
  std::sort(micros.begin(), micros.end());
  std::printf("%-9s median %8.1f us   p99 %8.1f us   (%d opens of %s)\n", mode,
              micros[micros.size() / 2], micros[micros.size() * 99 / 100], count, path);
  return 0;
}
