// orv protect: the live-protection host. Watches directory trees with
// fanotify and reports what happens in them to the engine, so that a file is
// copied before a process changes it.
//
// Two fanotify groups: a content group holds each open of a file in the trees
// until the engine has copied it (when the opener means to write); a
// notification group reports modifications, closes after writing, deletions,
// renames and new directories. Only the trees' directories are marked, so
// opens elsewhere cost nothing. With --pre-content a third group copies
// before a truncate(2) by path, which opens nothing.
#ifndef ORV_TOOLS_ORV_PROTECT_PROTECT_DAEMON_H_
#define ORV_TOOLS_ORV_PROTECT_PROTECT_DAEMON_H_

#include <cstdint>
#include <filesystem>
#include <vector>

#include "options.h"
#include "protect/user_budget.h"

namespace orv::tool {

struct ProtectOptions {
  std::vector<std::filesystem::path> directories;
  uint64_t maxCopySize = 1ull << 30;  // larger files are let through without a copy
  unsigned workers = 4;
  BudgetLimits budget;  // per user a minute
  // Also copy before a truncate(2) by path, through pre-content events: every
  // read and write of a file in the trees then waits for the daemon.
  bool preContent = false;
};

// Runs until SIGTERM or SIGINT; the exit status.
int RunProtect(const GlobalOptions& options, const ProtectOptions& protect);

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_PROTECT_PROTECT_DAEMON_H_
