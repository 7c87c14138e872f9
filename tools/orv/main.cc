// orv: browse, restore, replay and maintain an Orv backup store.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "protect/protect_daemon.h"
#include "tool_error.h"

namespace {

using orv::tool::GlobalOptions;

constexpr const char* kDescription =
    "Orv keeps earlier editions of protected files. Browse them, read or restore one, replay\n"
    "a trace of file events, or maintain the store.\n\n"
    "Examples:\n"
    "  orv versions ~/Documents/report.docx\n"
    "  orv versions '/home/ann/Documents/%' --since 2026-12-01\n"
    "  orv restore ~/Documents/report.docx --at 2026-12-07T09:00 --to /tmp/\n"
    "  orv restore 42 --in-place --force\n"
    "  orv cat 42 > report-before.docx\n"
    "  orv replay trace.jsonl && orv status";

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(kDescription, "orv");
  app.require_subcommand(1);
  app.fallthrough();
  GlobalOptions options;
  std::string store, policy;
  app.add_option("--store", store,
                 "backup store (default: ~/.local/share/orv; /var/lib/orv as root)");
  app.add_option("--policy", policy, "policy directory for replay (default: <store>/policy)");
  uint32_t logLevel = 0;
  CLI::Option* logOption =
      app.add_option("--log-level", logLevel, "write orv.log in the store at this level");
  app.add_flag("--json", options.json, "one JSON document on standard output");
  app.add_option("--quota", options.quota, "retention quota in bytes (default: 1 GiB)")
      ->check(CLI::PositiveNumber);

  std::string pattern;
  CLI::App* files = app.add_subcommand("files", "protected files with their edition counts");
  files->add_option("PATTERN", pattern, "SQL LIKE pattern on the full path, e.g. '/home/ann/%'");

  orv::tool::VersionsOptions versions;
  CLI::App* versionsCommand = app.add_subcommand(
      "versions", "editions of a file (a path) or of files (a pattern holding %)");
  versionsCommand->add_option("PATH|PATTERN", versions.target)->required();
  versionsCommand->add_option("--since", versions.since, "from this local time (ISO 8601)");
  versionsCommand->add_option("--until", versions.until, "up to this local time (ISO 8601)");
  versionsCommand->add_flag("--oldest-first", versions.oldestFirst);

  uint32_t edition = 0;
  CLI::App* cat = app.add_subcommand("cat", "an edition's content on standard output");
  cat->add_option("EDITION", edition)->required();
  CLI::App* path = app.add_subcommand("path", "where an edition's content lies");
  path->add_option("EDITION", edition)->required();

  orv::tool::RestoreOptions restore;
  CLI::App* restoreCommand = app.add_subcommand(
      "restore", "copy an edition's content out (an edition number, or a path and --at)");
  restoreCommand->add_option("EDITION|PATH", restore.target)->required();
  restoreCommand->add_option("--at", restore.at,
                             "the newest edition not later than this local time");
  restoreCommand->add_option("--to", restore.to, "destination file or directory");
  restoreCommand->add_flag("--in-place", restore.inPlace, "restore over the original path");
  restoreCommand->add_flag("--force", restore.force, "replace an existing file");

  std::string trace;
  CLI::App* replay =
      app.add_subcommand("replay", "feed a trace of file events (JSON lines) to the engine");
  replay->add_option("TRACE", trace)->required()->check(CLI::ExistingFile);

  orv::tool::MaintainOptions maintain;
  CLI::App* maintainCommand =
      app.add_subcommand("maintain", "run the maintenance tasks now (all by default)");
  maintainCommand->add_flag("--digest", maintain.digest, "digests; drop duplicate editions");
  maintainCommand->add_flag("--signatures", maintain.signatures,
                            "signers; prune behind signed editions");
  maintainCommand->add_flag("--retention", maintain.retention, "keep the store within its quota");

  CLI::App* status = app.add_subcommand("status", "the store and what it holds");

  orv::tool::ProtectOptions protect;
  std::vector<std::string> protectDirectories;
  CLI::App* protectCommand = app.add_subcommand(
      "protect", "live protection (root): copy files in DIR... before processes change them");
  protectCommand->add_option("DIR", protectDirectories)->required()->check(CLI::ExistingDirectory);
  protectCommand->add_option("--max-copy-size", protect.maxCopySize,
                             "files larger than this are not copied (default 1 GiB)");

  CLI11_PARSE(app, argc, argv);
  options.store = store;
  options.policy = policy;
  if (*logOption) options.logLevel = logLevel;

  // With --json, the document keeps the real standard output to itself; what
  // the engine prints (retention lines) goes to standard error.
  FILE* jsonOut = stdout;
  if (options.json) {
    std::fflush(stdout);
    const int saved = ::dup(1);
    ::dup2(2, 1);
    jsonOut = ::fdopen(saved, "w");
  }
  nlohmann::json document = nlohmann::json::object();
  orv::tool::Output out{options.json, &document};
  try {
    if (*files) orv::tool::RunFiles(options, pattern, out);
    if (*versionsCommand) orv::tool::RunVersions(options, versions, out);
    if (*cat) orv::tool::RunCat(options, edition);
    if (*path) orv::tool::RunPath(options, edition, out);
    if (*restoreCommand) orv::tool::RunRestore(options, restore, out);
    if (*replay) orv::tool::RunReplay(options, trace, out);
    if (*maintainCommand) orv::tool::RunMaintain(options, maintain, out);
    if (*status) orv::tool::RunStatus(options, out);
    if (*protectCommand) {
      for (const std::string& directory : protectDirectories)
        protect.directories.emplace_back(directory);
      return orv::tool::RunProtect(options, protect);
    }
  } catch (const orv::tool::ToolError& error) {
    std::cerr << "orv: " << error.what() << "\n";
    return error.exitCode();
  } catch (const std::exception& error) {
    std::cerr << "orv: " << error.what() << "\n";
    return 1;
  }
  if (options.json) {
    std::fputs((document.dump(2) + "\n").c_str(), jsonOut);
    std::fflush(jsonOut);
  }
  return 0;
}
