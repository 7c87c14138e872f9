// Latency of the name operations live protection may have to follow, as a
// process feels them, for bench/shadow_bench.sh and bench/protect_bench.sh.
//   orv_name_latency create PATH COUNT          open(O_CREAT|O_EXCL) and close
//   orv_name_latency unlink PATH COUNT          unlink
//   orv_name_latency rename PATH COUNT TARGET   rename PATH to TARGET
//   orv_name_latency replace PATH COUNT         a save by rename: "new\n" written to
//                                               PATH.tmp, which is renamed over PATH
// PATH and TARGET hold "%d": each operation names a different file (its number),
// so that no operation measures what the one before it left behind. Prints the
// median and the 99th percentile in microseconds; exits 1 at the first failure.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "latency_sample.h"

namespace {

std::string Name(const char* pattern, int i) {
  char name[4096];
  std::snprintf(name, sizeof(name), pattern, i);
  return name;
}

bool Create(const std::string& name) {
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

// What an editor that saves by rename does: the new content in a temporary
// file beside the original, then the temporary renamed over it.
bool Replace(const std::string& name) {
  const std::string temporary = name + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = ::write(fd, "new\n", 4) == 4;
  ::close(fd);
  return written && ::rename(temporary.c_str(), name.c_str()) == 0;
}

}  // namespace

enum class Mode { kCreate, kUnlink, kRename, kReplace };

int main(int argc, char** argv) {
  const char* mode = argc >= 2 ? argv[1] : "";
  const Mode kind = std::strcmp(mode, "create") == 0   ? Mode::kCreate
                    : std::strcmp(mode, "unlink") == 0 ? Mode::kUnlink
                    : std::strcmp(mode, "rename") == 0 ? Mode::kRename
                                                       : Mode::kReplace;
  const bool known = kind != Mode::kReplace || std::strcmp(mode, "replace") == 0;
  if (!known || argc != (kind == Mode::kRename ? 5 : 4)) {
    std::fprintf(stderr,
                 "usage: orv_name_latency create|unlink|replace PATH COUNT\n"
                 "       orv_name_latency rename PATH COUNT TARGET\n");
    return 2;
  }
  const char* path = argv[2];
  const int count = std::atoi(argv[3]);
  if (count <= 0) {
    std::fprintf(stderr, "orv_name_latency: COUNT must be positive\n");
    return 2;
  }
  orv::bench::LatencySample sample(count);
  for (int i = 0; i < count; ++i) {
    const std::string name = Name(path, i);
    const std::string target = kind == Mode::kRename ? Name(argv[4], i) : std::string();
    const bool ok = sample.Time([&] {
      switch (kind) {
        case Mode::kCreate:
          return Create(name);
        case Mode::kUnlink:
          return ::unlink(name.c_str()) == 0;
        case Mode::kRename:
          return ::rename(name.c_str(), target.c_str()) == 0;
        case Mode::kReplace:
          return Replace(name);
      }
      return false;
    });
    if (!ok) {
      std::perror(name.c_str());
      return 1;
    }
  }
  sample.Print(mode, "operations", path);
  return 0;
}
