// A directory given back as it was at a moment: every file that was below it
// then, into another directory or in place.
#ifndef ORV_TOOLS_ORV_TREE_RESTORE_H_
#define ORV_TOOLS_ORV_TREE_RESTORE_H_

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace orv::tool {

struct TreeRestoreOptions {
  std::filesystem::path directory;          // absolute, normal
  int32_t at = 0;                           // a catalog time stamp
  std::optional<std::filesystem::path> to;  // else in place
  bool force = false;                       // replace files that exist
  bool removeNew = false;                   // in place: remove files made since
  bool dryRun = false;
};

// What became, or would become, of one file.
struct TreeFileOutcome {
  enum class Action {
    kRestored,   // written from its content at the moment
    kUnchanged,  // its content now is its content then (copied when --to)
    kNew,        // there now, not then (in place: removed only when asked)
    kRemoved,    // there now, not then, and removed
    kFailed,
  };
  std::string relative;  // below the directory
  Action action = Action::kFailed;
  uint32_t edition = 0;  // the edition whose copy is the content; 0: a file as it is now
  std::string source;    // where the content was read
  uint64_t bytes = 0;
  std::string why;  // kFailed
};

struct TreeRestoreReport {
  std::vector<TreeFileOutcome> files;  // by relative path
  uint64_t restored = 0, unchanged = 0, fresh = 0, removed = 0, failed = 0, bytes = 0;
  double seconds = 0;
};

// Plans and, unless a dry run, carries out the restore of options.directory
// as it was at options.at, from store, placed read-only (a StoreReader).
// Failures of single files are in the report; a failure of the whole (the
// catalog unreadable, the destination not usable) throws ToolError.
TreeRestoreReport RestoreTree(const TreeRestoreOptions& options,
                              const std::filesystem::path& store);

nlohmann::json ToJson(const TreeRestoreReport& report, const TreeRestoreOptions& options);

const char* ActionName(TreeFileOutcome::Action action, bool dryRun);

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_TREE_RESTORE_H_
