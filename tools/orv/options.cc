#include "options.h"

#include <unistd.h>

#include <cstdlib>

namespace orv::tool {

std::filesystem::path DefaultStore() {
  if (::geteuid() == 0) return kRootStore;
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data == '/') {
    return std::filesystem::path(data) / "orv";
  }
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home != nullptr ? home : "/") / ".local" / "share" / "orv";
}

}  // namespace orv::tool
