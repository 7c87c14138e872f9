#include "tree_restore.h"

#include <fcntl.h>
#include <orv/orv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <unordered_map>

#include "catalog_time.h"
#include "content_at.h"
#include "file_restorer.h"
#include "files_under.h"
#include "platform/display_text.h"
#include "platform/text.h"
#include "read_transaction.h"
#include "safe_path.h"
#include "store_reader.h"
#include "tool_error.h"

namespace orv::tool {
namespace {

using Action = TreeFileOutcome::Action;

// The regular files below directory now, relative to it. What the tool and
// the daemon keep of their own there (a restore's temporary files, shadows,
// the store) is none of the user's.
std::set<std::string> FilesNowBelow(const std::filesystem::path& directory,
                                    const std::filesystem::path& store) {
  std::set<std::string> files;
  std::error_code error;
  if (!std::filesystem::is_directory(std::filesystem::symlink_status(directory, error))) {
    return files;  // gone as a whole: every file comes from the store
  }
  const auto options = std::filesystem::directory_options::skip_permission_denied;
  std::filesystem::recursive_directory_iterator it(directory, options, error), end;
  if (error) throw ToolError("cannot list " + directory.string() + ": " + error.message());
  for (; it != end; it.increment(error)) {
    if (error) throw ToolError("cannot list " + directory.string() + ": " + error.message());
    const std::filesystem::path& path = it->path();
    const std::string name = path.filename().string();
    if (it->is_directory(error) && !it->is_symlink(error) &&
        (name == ".orv-shadows" || path == store)) {
      it.disable_recursion_pending();
      continue;
    }
    if (name.rfind(".orv-restore-", 0) == 0) continue;
    if (it->is_regular_file(error) && !it->is_symlink(error)) {
      files.insert(path.lexically_relative(directory).string());
    }
  }
  return files;
}

// Where editions' copies lie: the engine is asked once where its copies'
// directory is, and for those whose copy it keeps elsewhere.
class CopyPaths {
 public:
  std::optional<std::string> Of(const EditionHistory& history, uint32_t edition) {
    const HistoryEvent* event = history.Find(edition);
    // Only a plain name is joined to the directory.
    if (event == nullptr || event->copyName.empty() || directory_.empty() ||
        event->copyName.find('/') != std::string::npos || event->copyName == "." ||
        event->copyName == "..") {
      std::optional<std::string> path = ContentPath(edition);
      if (path && event != nullptr && !event->copyName.empty() && directory_.empty()) {
        const std::filesystem::path found(*path);
        if (found.filename() == event->copyName) directory_ = found.parent_path();
      }
      return path;
    }
    return (directory_ / event->copyName).string();
  }

 private:
  std::filesystem::path directory_;
};

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Decides each file's outcome from the catalog and the tree as it is now.
std::vector<TreeFileOutcome> Plan(const TreeRestoreOptions& options,
                                  const std::filesystem::path& store) {
  const std::string directory = options.directory.string();
  const std::set<std::string> now = FilesNowBelow(options.directory, store);
  std::map<std::string, uint32_t> known;
  EditionHistory history;
  {
    const ReadTransaction transaction;  // one moment of the catalog
    known = FilesUnder(directory);
    known.erase(directory);  // a file of the directory's own name is not in it
    history = EditionHistory::Since(options.at + 1);
  }
  // Names of files outside the tree that renames led to are asked once.
  FileNameCache names;
  for (const auto& [name, id] : known) names.Remember(id, name);
  CopyPaths copies;
  const size_t prefix = directory == "/" ? 1 : directory.size() + 1;
  std::set<std::string> candidates = now;
  for (const auto& [name, id] : known) {
    if (history.Mentions(id)) candidates.insert(name.substr(prefix));
  }
  std::vector<TreeFileOutcome> plan;
  plan.reserve(candidates.size());
  for (const std::string& relative : candidates) {
    const std::string full = (options.directory / relative).string();
    const bool there = now.count(relative) != 0;
    TreeFileOutcome outcome;
    outcome.relative = relative;
    const auto id = known.find(full);
    if (id == known.end() || !history.Mentions(id->second)) {
      // No change recorded since: as it is now, unless it was made since.
      outcome.action = BornAfter(full, options.at) ? Action::kNew : Action::kUnchanged;
      outcome.source = full;
      plan.push_back(std::move(outcome));
      continue;
    }
    const ContentAt content = history.Resolve(id->second, AfterSecond(options.at));
    switch (content.source) {
      case ContentAt::Source::kEdition: {
        outcome.edition = content.edition;
        const std::optional<std::string> copy = copies.Of(history, content.edition);
        if (!copy || !IsRegularFile(*copy)) {
          outcome.action = Action::kFailed;
          outcome.why = "its copy (edition " + std::to_string(content.edition) +
                        ") is no longer in the store";
        } else {
          outcome.action = Action::kRestored;
          outcome.source = *copy;
        }
        break;
      }
      case ContentAt::Source::kCurrent: {
        const std::string renamed = names.Of(content.fileId);
        if (!renamed.empty() && IsRegularFile(renamed)) {
          outcome.action = Action::kRestored;
          outcome.source = renamed;
        } else {
          outcome.action = Action::kFailed;
          outcome.why = "it was renamed to " + DisplayText(renamed) +
                        ", which is gone, and its content was not kept";
        }
        break;
      }
      case ContentAt::Source::kAbsent:
        if (!there) continue;  // not there then, not there now
        outcome.action = Action::kNew;
        outcome.source = full;
        break;
      case ContentAt::Source::kLost:
        outcome.action = Action::kFailed;
        outcome.why = content.why;
        break;
    }
    plan.push_back(std::move(outcome));
  }
  return plan;
}

// Files, bytes and time left on a terminal, at most ten times a second.
class Progress {
 public:
  Progress(size_t files, uint64_t bytes)
      : files_(files), bytes_(bytes), shown_(::isatty(2) == 1 && files > 0) {}
  void Update(size_t files, uint64_t bytes) {
    if (!shown_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(100) && files < files_) return;
    last_ = now;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    const double done = bytes_ > 0 ? static_cast<double>(bytes) / static_cast<double>(bytes_)
                                   : static_cast<double>(files) / static_cast<double>(files_);
    char line[160];
    std::snprintf(
        line, sizeof(line), "\rrestoring %zu/%zu files, %.1f/%.1f MiB, %s   ", files, files_,
        static_cast<double>(bytes) / 1048576.0, static_cast<double>(bytes_) / 1048576.0,
        done > 0.01
            ? (std::to_string(static_cast<long>(elapsed / done - elapsed)) + " s left").c_str()
            : "");
    std::cerr << line << std::flush;
  }
  ~Progress() {
    if (shown_) std::cerr << "\n";
  }

 private:
  size_t files_;
  uint64_t bytes_;
  bool shown_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now(), last_{};
};

// The directories a restore writes into: made where missing, as the tree had
// them where it still has them, each reached by a descriptor of the one above,
// never through a symbolic link.
class DestinationDirectories {
 public:
  DestinationDirectories(std::filesystem::path root, std::filesystem::path original)
      : root_(std::move(root)), original_(std::move(original)) {}

  // A descriptor of root/relative, made when missing (not in a dry run, where
  // nothing is made: -1 then). Throws ToolError.
  int Open(const std::filesystem::path& relative, bool make) {
    const std::string key = relative.string();
    if (const auto found = open_.find(key); found != open_.end()) return found->second.get();
    if (open_.size() >= 256) open_.clear();  // descriptors are few
    int fd = -1;
    if (relative.empty()) {
      if (!std::filesystem::exists(root_) && make) CreateRoot();
      std::error_code error;
      if (!std::filesystem::exists(root_, error) && !make) return -1;
      fd = open_.emplace(key, OpenDirectory(root_)).first->second.get();
      return fd;
    }
    const int parent = Open(relative.parent_path(), make);
    if (parent < 0) return -1;
    const std::string name = relative.filename().string();
    UniqueFd child(::openat(parent, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!child.valid() && errno == ENOENT) {
      if (!make) return -1;
      Make(parent, relative);
      child =
          UniqueFd(::openat(parent, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (!child.valid()) {
      throw ToolError("cannot use the directory " + (root_ / relative).string() + ": " +
                      (errno == ENOTDIR ? std::string("not a directory (or a symbolic link)")
                                        : std::strerror(errno)));
    }
    return open_.emplace(key, std::move(child)).first->second.get();
  }

 private:
  void CreateRoot() {
    std::error_code error;
    std::filesystem::create_directories(root_, error);
    if (error) throw ToolError("cannot make " + root_.string() + ": " + error.message());
  }

  // Makes relative in parent with the mode (and, as root, the owner) the
  // tree's directory has now, or its parent's.
  void Make(int parent, const std::filesystem::path& relative) {
    struct stat like {};
    if (::lstat((original_ / relative).c_str(), &like) != 0 || !S_ISDIR(like.st_mode)) {
      if (::fstat(parent, &like) != 0) like.st_mode = 0700;
    }
    const std::string name = relative.filename().string();
    if (::mkdirat(parent, name.c_str(), like.st_mode & 0777) != 0 && errno != EEXIST) {
      throw ToolError("cannot make " + (root_ / relative).string() + ": " + std::strerror(errno));
    }
    if (::geteuid() == 0 && like.st_uid != 0) {
      ::fchownat(parent, name.c_str(), like.st_uid, like.st_gid, AT_SYMLINK_NOFOLLOW);
    }
  }

  std::filesystem::path root_, original_;
  std::unordered_map<std::string, UniqueFd> open_;
};

// Carries out one planned file; its outcome says how it went.
void Carry(TreeFileOutcome& outcome, const TreeRestoreOptions& options,
           DestinationDirectories& destination, DirectoryCache& sources) {
  const bool inPlace = !options.to;
  const std::filesystem::path relative(outcome.relative);
  const std::filesystem::path target = (inPlace ? options.directory : *options.to) / relative;
  const std::string shown = target.string();
  if (outcome.action == Action::kNew) {
    if (!inPlace || !options.removeNew) return;
    const int directory = destination.Open(relative.parent_path(), false);
    if (!options.dryRun &&
        (directory < 0 || ::unlinkat(directory, relative.filename().c_str(), 0) != 0)) {
      outcome.action = Action::kFailed;
      outcome.why = std::string("cannot remove it: ") + std::strerror(errno);
      return;
    }
    outcome.action = Action::kRemoved;
    return;
  }
  if (outcome.action == Action::kUnchanged && inPlace) return;
  const std::filesystem::path source(outcome.source);
  struct stat st {};
  const UniqueFd input = OpenRegularFileAt(sources.Open(source.parent_path()),
                                           source.filename().string(), outcome.source, &st);
  outcome.bytes = static_cast<uint64_t>(st.st_size);
  const int directory = destination.Open(relative.parent_path(), !options.dryRun);
  if (inPlace && outcome.action == Action::kRestored && directory >= 0) {
    struct stat current {};
    const UniqueFd now(::openat(directory, relative.filename().c_str(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (now.valid() && ::fstat(now.get(), &current) == 0 && S_ISREG(current.st_mode) &&
        SameContent(input.get(), now.get())) {
      outcome.action = Action::kUnchanged;
      outcome.bytes = 0;
      return;
    }
  }
  if (options.dryRun) {
    struct stat existing {};
    if (!options.force && directory >= 0 &&
        ::fstatat(directory, relative.filename().c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
      throw ToolError(shown + " exists (use --force to replace it)");
    }
    return;
  }
  WriteRules rules;
  rules.replace = options.force;
  rules.sync = false;  // the whole is synced once at the end
  WriteRestoredFile(input.get(), st, directory, relative.filename().string(), shown, rules);
}

}  // namespace

const char* ActionName(Action action, bool dryRun) {
  switch (action) {
    case Action::kRestored:
      return dryRun ? "would restore" : "restored";
    case Action::kUnchanged:
      return "unchanged";
    case Action::kNew:
      return "new since then";
    case Action::kRemoved:
      return dryRun ? "would remove" : "removed";
    case Action::kFailed:
      return "failed";
  }
  return "";
}

TreeRestoreReport RestoreTree(const TreeRestoreOptions& options,
                              const std::filesystem::path& store) {
  const auto start = std::chrono::steady_clock::now();
  TreeRestoreReport report;
  report.files = Plan(options, store);
  uint64_t total = 0;
  // The bytes to come are counted only for a progress bar to show them.
  for (const TreeFileOutcome& outcome : report.files) {
    if (::isatty(2) != 1) break;
    if (outcome.action == Action::kRestored ||
        (outcome.action == Action::kUnchanged && options.to)) {
      struct stat st {};
      if (::stat(outcome.source.c_str(), &st) == 0) total += static_cast<uint64_t>(st.st_size);
    }
  }
  DestinationDirectories destination(options.to ? *options.to : options.directory,
                                     options.directory);
  DirectoryCache sources;
  Progress progress(report.files.size(), total);
  size_t done = 0;
  for (TreeFileOutcome& outcome : report.files) {
    if (outcome.action != Action::kFailed) {
      try {
        Carry(outcome, options, destination, sources);
      } catch (const ToolError& error) {
        outcome.action = Action::kFailed;
        outcome.why = error.what();
      }
    }
    switch (outcome.action) {
      case Action::kRestored:
        ++report.restored;
        report.bytes += outcome.bytes;
        break;
      case Action::kUnchanged:
        ++report.unchanged;
        report.bytes += options.to ? outcome.bytes : 0;
        break;
      case Action::kNew:
        ++report.fresh;
        break;
      case Action::kRemoved:
        ++report.removed;
        break;
      case Action::kFailed:
        ++report.failed;
        break;
    }
    progress.Update(++done, report.bytes);
  }
  if (!options.dryRun && report.restored + report.unchanged > 0) {
    // Published without a sync each: the whole reaches the disk here.
    const int root = destination.Open({}, false);
    if (root >= 0) {
      const UniqueFd sync(::openat(root, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (sync.valid() && ::syncfs(sync.get()) != 0) {
        throw ToolError("cannot write the restored files to disk: " +
                        std::string(std::strerror(errno)));
      }
    }
  }
  report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return report;
}

nlohmann::json ToJson(const TreeRestoreReport& report, const TreeRestoreOptions& options) {
  nlohmann::json files = nlohmann::json::array();
  for (const TreeFileOutcome& outcome : report.files) {
    nlohmann::json file = {{"path", outcome.relative},
                           {"action", ActionName(outcome.action, options.dryRun)}};
    if (outcome.edition != 0) file["edition"] = outcome.edition;
    if (!outcome.source.empty()) file["source"] = outcome.source;
    if (outcome.action == Action::kRestored || outcome.action == Action::kUnchanged) {
      file["bytes"] = outcome.bytes;
    }
    if (!outcome.why.empty()) file["reason"] = outcome.why;
    files.push_back(std::move(file));
  }
  nlohmann::json document = {{"directory", options.directory.string()},
                             {"at", FormatCatalogTime(options.at)},
                             {"dryRun", options.dryRun},
                             {"files", std::move(files)},
                             {"summary",
                              {{"restored", report.restored},
                               {"unchanged", report.unchanged},
                               {"new", report.fresh},
                               {"removed", report.removed},
                               {"failed", report.failed},
                               {"bytes", report.bytes},
                               {"seconds", report.seconds}}}};
  if (options.to) {
    document["to"] = options.to->string();
  } else {
    document["inPlace"] = true;
  }
  return document;
}

}  // namespace orv::tool
