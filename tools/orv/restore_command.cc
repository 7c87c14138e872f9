// orv restore: a file's content at a moment (or an edition's) copied out, or a
// whole directory as it was; never half-written, never over an existing file
// unless asked.
#include <fcntl.h>
#include <orv/orv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <vector>

#include "catalog_time.h"
#include "command.h"
#include "content_at.h"
#include "edition_argument.h"
#include "edition_listing.h"
#include "file_restorer.h"
#include "platform/display_text.h"
#include "read_transaction.h"
#include "safe_path.h"
#include "store_reader.h"
#include "tool_error.h"
#include "tree_restore.h"

namespace orv::tool {
namespace {

constexpr uint64_t kProgressThreshold = 64ull << 20;

struct RestoreOptions {
  std::string target;  // an edition number, or a path (a file's or a directory's)
  std::optional<std::string> at;
  std::optional<std::string> to;
  bool inPlace = false;
  bool force = false;
  bool dryRun = false;
  bool removeNew = false;
};

// Where a single restore reads: an edition's copy, or a file as it is now.
struct ChosenContent {
  uint32_t edition = 0;  // 0: a file as it is now
  std::string source;
  std::string original;  // the path it is restored for
};

// Where a file's last version begins: just before its newest edition that
// is a version (a change or a deletion; a rename is an event, whose content
// is the renamed file's), else just before its newest rename. Nothing when it
// has no edition.
std::optional<EditionPosition> BeforeLastVersion(uint32_t fileId) {
  FileEditionInfo info;
  void* handle = OrvFindFirstFileEditionOf(fileId, 1, nullptr, nullptr, &info);
  if (handle == nullptr) return std::nullopt;
  const auto before = [](const FileEditionInfo& edition) {
    return EditionPosition{edition.TimeStamp, static_cast<uint32_t>(edition.EditionID) - 1};
  };
  const EditionPosition newest = before(info);
  std::optional<EditionPosition> version;
  do {
    if (static_cast<uint32_t>(info.Operation) != EDITION_RENAME) version = before(info);
  } while (!version && OrvFindNextFileEditionOf(handle, &info) == 1);
  FindFileEditionClose(handle);
  return version.value_or(newest);
}

// What a path held at --at, or, without it, its last version.
ChosenContent ChoosePathContent(const StoreReader& reader, const RestoreOptions& restore,
                                const std::string& path) {
  const std::optional<uint32_t> fileId = FileIdOf(path);
  if (!fileId) throw NoEditions(reader, path);
  std::optional<int32_t> at;
  EditionPosition after;
  {
    const ReadTransaction transaction;
    if (restore.at) {
      at = ParseCatalogTime(*restore.at);
      after = AfterSecond(*at);
    } else {
      const std::optional<EditionPosition> last = BeforeLastVersion(*fileId);
      if (!last) throw NoEditions(reader, path);
      after = *last;
    }
    const EditionHistory history = EditionHistory::Since(after.timeStamp);
    const ContentAt content = history.Resolve(*fileId, after);
    const std::string when = at ? " at " + FormatCatalogTime(*at) : std::string();
    switch (content.source) {
      case ContentAt::Source::kEdition:
        return {content.edition, ExistingContentPath(content.edition), path};
      case ContentAt::Source::kCurrent: {
        const std::string now = FileNameOf(content.fileId).value_or("");
        struct stat st {};
        if (now.empty() || ::lstat(now.c_str(), &st) != 0) {
          throw ToolError(content.path.size() == 1
                              ? path + " did not exist" + when +
                                    " (no edition since, and it is not there now)"
                              : path + " was renamed to " + now +
                                    ", which is gone, and its content was not kept");
        }
        if (content.path.size() == 1 && at && BornAfter(path, *at)) {
          throw ToolError(path + " did not exist" + when + " (it was made later)");
        }
        return {0, now, path};
      }
      case ContentAt::Source::kAbsent:
        throw ToolError(path + " did not exist" + when +
                        " (another file was renamed to its name later)");
      case ContentAt::Source::kLost:
        break;
    }
    throw ToolError("the content of " + path + when + " was not kept: " + content.why);
  }
}

ChosenContent ChooseContent(const StoreReader& reader, const RestoreOptions& restore) {
  if (IsEditionNumber(restore.target)) {
    if (restore.at) throw ToolError("--at goes with a path, not an edition number");
    const uint32_t edition = EditionArgument(restore.target);
    const std::optional<FileEditionInfo> details = EditionDetails(edition);
    if (!details) throw ToolError("no edition " + std::to_string(edition) + " in the store");
    return {edition, ExistingContentPath(edition),
            FileNameOf(static_cast<uint32_t>(details->FileID)).value_or("")};
  }
  return ChoosePathContent(reader, restore,
                           std::filesystem::absolute(restore.target).lexically_normal().string());
}

void RestoreFile(const StoreReader& reader, const RestoreOptions& restore, Output& out) {
  const ChosenContent chosen = ChooseContent(reader, restore);
  const std::string& original = chosen.original;
  const std::string what = chosen.edition != 0 ? "edition " + std::to_string(chosen.edition)
                                               : "the file " + chosen.source;
  std::filesystem::path destination;
  if (restore.inPlace) {
    if (original.empty()) throw ToolError("the original name of " + what + " is unknown");
    // The catalog names the place to write: only a plain absolute path, never
    // one relative to where the command runs or climbing with "..".
    destination = original;
    if (!destination.is_absolute() || destination.lexically_normal() != destination ||
        !destination.has_filename()) {
      throw ToolError("the original name of " + what + " (" + original +
                      ") is not a plain absolute path; use --to");
    }
  } else if (restore.to) {
    destination = std::filesystem::absolute(*restore.to);
    if (std::filesystem::is_directory(destination)) {
      destination /= std::filesystem::path(original).filename();
    }
  } else {
    throw ToolError("say where to: --to DEST, or --in-place over " +
                    (original.empty() ? std::string("the original") : original));
  }
  if (chosen.edition == 0 && destination == std::filesystem::path(chosen.source)) {
    throw ToolError(destination.string() + " is as it was then already; nothing to restore");
  }
  std::error_code error;
  if (std::filesystem::exists(std::filesystem::symlink_status(destination, error)) &&
      !restore.force) {
    throw ToolError(destination.string() + " exists (use --force to replace it)");
  }
  if (!restore.dryRun) {
    const UniqueFd input = OpenRegularFile(chosen.source);
    struct stat st {};
    ::fstat(input.get(), &st);
    const UniqueFd directory = OpenDirectory(destination.parent_path());
    WriteRules rules;
    rules.replace = restore.force;
    const bool progress = static_cast<uint64_t>(st.st_size) > kProgressThreshold && ::isatty(2);
    int lastPercent = -1;
    WriteRestoredFile(input.get(), st, directory.get(), destination.filename().string(),
                      destination.string(), rules, [&](uint64_t copied) {
                        if (!progress) return;
                        const int percent =
                            static_cast<int>(copied * 100 / static_cast<uint64_t>(st.st_size));
                        if (percent != lastPercent) {
                          std::cerr << "\rrestoring " << percent << "%" << std::flush;
                        }
                        lastPercent = percent;
                      });
    if (progress) std::cerr << "\n";
  }
  if (out.json) {
    *out.document = {
        {"edition", chosen.edition == 0 ? nlohmann::json() : nlohmann::json(chosen.edition)},
        {"source", chosen.source},
        {"restoredTo", destination.string()},
        {"dryRun", restore.dryRun}};
  } else {
    std::cout << (restore.dryRun ? "would restore " : "restored ") << DisplayText(what) << " to "
              << DisplayText(destination.string()) << "\n";
  }
}

int RestoreDirectory(const RestoreOptions& restore, const std::filesystem::path& store,
                     const std::filesystem::path& directory, Output& out) {
  if (!restore.at) {
    throw ToolError("a directory is restored as it was at a moment: give --at");
  }
  if (!restore.to && !restore.inPlace) {
    throw ToolError("say where to: --to DEST, or --in-place over " + directory.string());
  }
  if (restore.removeNew && !restore.inPlace) throw ToolError("--remove-new goes with --in-place");
  TreeRestoreOptions options;
  options.directory = directory;
  options.at = ParseCatalogTime(*restore.at);
  if (restore.to) {
    options.to = std::filesystem::absolute(*restore.to).lexically_normal();
    const std::string to = options.to->string(), from = directory.string();
    if (to == from ||
        (to.size() > from.size() && to.compare(0, from.size() + 1, from + "/") == 0)) {
      throw ToolError("--to " + to + " lies in the directory restored; choose a place outside it");
    }
  }
  options.force = restore.force;
  options.removeNew = restore.removeNew;
  options.dryRun = restore.dryRun;
  const TreeRestoreReport report = RestoreTree(options, store);
  if (out.json) {
    std::fputs(
        (ToJson(report, options).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) +
         "\n")
            .c_str(),
        out.jsonStream);
    std::fflush(out.jsonStream);
    out.written = true;
  } else {
    using Action = TreeFileOutcome::Action;
    for (const TreeFileOutcome& file : report.files) {
      const bool listed = restore.dryRun
                              ? !(file.action == Action::kUnchanged && !options.to)
                              : file.action == Action::kNew || file.action == Action::kRemoved;
      if (file.action == Action::kFailed) {
        std::cerr << "orv: cannot restore " << DisplayText(file.relative) << ": "
                  << DisplayText(file.why) << "\n";
      } else if (listed) {
        std::cout << ActionName(file.action, restore.dryRun) << "  " << DisplayText(file.relative)
                  << "\n";
      }
    }
    char seconds[32];
    std::snprintf(seconds, sizeof(seconds), "%.1f", report.seconds);
    std::cout << (restore.dryRun ? "would restore " : "restored ") << report.restored << " files, "
              << report.unchanged << " unchanged" << (options.to ? " (copied)" : "") << ", "
              << report.bytes << " bytes; " << report.fresh << " new since then"
              << (report.fresh > 0 && !options.to ? " (kept; --remove-new removes them)" : "")
              << (report.removed > 0 ? ", " + std::to_string(report.removed) + " removed" : "")
              << "; " << report.failed << " failed; " << seconds << " s\n";
  }
  return report.failed == 0 ? 0 : 1;
}

int RunRestore(const GlobalOptions& options, const RestoreOptions& restore, Output& out) {
  if (restore.to && restore.inPlace) throw ToolError("give either --to or --in-place, not both");
  StoreReader reader(options);
  if (!IsEditionNumber(restore.target)) {
    const std::filesystem::path path = std::filesystem::absolute(restore.target).lexically_normal();
    std::error_code error;
    const bool isDirectory =
        std::filesystem::is_directory(std::filesystem::symlink_status(path, error)) ||
        (!std::filesystem::exists(std::filesystem::symlink_status(path, error)) &&
         !FileIdOf(path.string()));
    if (isDirectory && !restore.at && !std::filesystem::exists(path, error)) {
      // Nothing there and nothing of that name kept: most often a file whose
      // first edition is not written yet, rarely a directory that is gone.
      throw ToolError(std::string(NoEditions(reader, path.string()).what()) +
                      "; to restore a directory that is gone, give --at");
    }
    if (isDirectory) {
      std::string directory = path.string();
      while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
      return RestoreDirectory(restore, reader.store(), directory, out);
    }
  }
  if (restore.removeNew) throw ToolError("--remove-new goes with a directory");
  RestoreFile(reader, restore, out);
  return 0;
}

DefinedCommand Define(CLI::App& app) {
  auto restore = std::make_shared<RestoreOptions>();
  CLI::App* command = app.add_subcommand(
      "restore",
      "give back a file or a directory as it was (an edition number, or a path and --at)");
  command->add_option("EDITION|PATH", restore->target)->required();
  command->add_option("--at", restore->at,
                      "the content at this local time (without it, a file's content before its "
                      "last recorded change)");
  command->add_option("--to", restore->to, "destination file or directory");
  command->add_flag("--in-place", restore->inPlace, "restore over the original path");
  command->add_flag("--force", restore->force, "replace an existing file");
  command->add_flag("--dry-run", restore->dryRun, "say what would be done, change nothing");
  command->add_flag("--remove-new", restore->removeNew,
                    "with a directory in place: remove the files made since that moment");
  return {command, [restore](const GlobalOptions& options, Output& out) {
            return RunRestore(options, *restore, out);
          }};
}

const CommandRegistration kRestore(50, Define);

}  // namespace
}  // namespace orv::tool
