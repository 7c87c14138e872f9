// What a running `orv protect` leaves in its store for the other commands:
// who protects the store, since when, with which quota, over which trees.
// `orv status` shows it and the first-run messages use it, without asking
// the daemon anything.
#ifndef ORV_TOOLS_ORV_DAEMON_RECORD_H_
#define ORV_TOOLS_ORV_DAEMON_RECORD_H_

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "platform/unique_fd.h"

namespace orv::tool {

// The record's file in the store, a small JSON document.
inline constexpr const char* kDaemonRecordName = "protect-daemon.json";

struct DaemonRecord {
  pid_t pid = 0;
  int64_t started = 0;  // seconds since the epoch
  uint64_t quota = 0;   // bytes
  std::vector<std::filesystem::path> trees;
};

// The record of the daemon that runs now, while the object lives: written
// whole (a temporary file renamed over the old record, so a reader sees one
// record or the other) and held under flock(2), which the kernel drops when
// the process ends however it ends, so a reader tells a running daemon from
// the leftover of a killed one. Removed by the destructor (a clean stop).
class DaemonRecordFile {
 public:
  // Throws ToolError, naming the file, when the record cannot be written.
  DaemonRecordFile(const std::filesystem::path& store, const DaemonRecord& record);
  ~DaemonRecordFile();
  DaemonRecordFile(const DaemonRecordFile&) = delete;
  DaemonRecordFile& operator=(const DaemonRecordFile&) = delete;

 private:
  std::filesystem::path path_;
  UniqueFd fd_;
};

struct DaemonState {
  DaemonRecord record;
  bool running = false;  // false: the daemon that wrote it was killed
};

// The record in store, read without changing anything; nothing when there is
// none, or it cannot be read (a store this user may not read) or parsed.
std::optional<DaemonState> ReadDaemonRecord(const std::filesystem::path& store);

// Whether path lies in one of the record's trees (or is one).
bool InTrees(const DaemonRecord& record, const std::filesystem::path& path);

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_DAEMON_RECORD_H_
