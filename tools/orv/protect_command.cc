// orv protect DIR...: live protection of directory trees (the daemon).
#include <CLI/CLI.hpp>
#include <memory>

#include "command.h"
#include "option_checks.h"
#include "protect/protect_daemon.h"
#include "protect_config.h"

namespace orv::tool {
namespace {

// What the options given on the command line leave unset is taken from the
// configuration file: the command line wins, so the service's settings can
// be overridden by hand.
struct GivenOptions {
  CLI::App* app;
  CLI::Option* maxCopySize;
  CLI::Option* copies;
  CLI::Option* copyBytes;
  CLI::Option* rows;
  CLI::Option* preContent;
};

void ApplyConfig(const ProtectConfig& config, const GivenOptions& given, GlobalOptions* options,
                 ProtectOptions* protect) {
  if (protect->directories.empty()) protect->directories = config.trees;
  if (options->store.empty() && config.store) options->store = *config.store;
  if (given.app->get_option("--quota")->count() == 0 && config.quota) {
    options->quota = *config.quota;
  }
  if (!options->logLevel && config.logLevel) options->logLevel = *config.logLevel;
  const auto take = [](CLI::Option* option, const auto& value, auto* target) {
    if (option->count() == 0 && value) *target = *value;
  };
  take(given.maxCopySize, config.maxCopySize, &protect->maxCopySize);
  take(given.copies, config.maxCopiesPerMinute, &protect->budget.copies);
  take(given.copyBytes, config.maxCopyBytesPerMinute, &protect->budget.copyBytes);
  take(given.rows, config.maxRowsPerMinute, &protect->budget.rows);
  take(given.preContent, config.preContent, &protect->preContent);
}

DefinedCommand Define(CLI::App& app) {
  auto protect = std::make_shared<ProtectOptions>();
  auto directories = std::make_shared<std::vector<std::string>>();
  auto config = std::make_shared<std::string>();
  CLI::App* command = app.add_subcommand(
      "protect", "live protection (root): copy files in DIR... before processes change them");
  command->add_option("DIR", *directories, "directory trees to protect (or the config's trees)")
      ->check(ExistingDirectoryOption());
  command->add_option("--config", *config,
                      "read trees, store, quota and limits from FILE (the service's "
                      "/etc/orv/protect.conf); options given here win");
  GivenOptions given{&app, nullptr, nullptr, nullptr, nullptr, nullptr};
  // The defaults said are the ones in effect: read from a fresh set of options.
  const ProtectOptions defaults;
  given.maxCopySize = command
                          ->add_option("--max-copy-size", protect->maxCopySize,
                                       "files larger than this are not copied (default " +
                                           FormatSize(defaults.maxCopySize) + ")")
                          ->transform(SizeOption())
                          ->type_name("SIZE");
  given.copies =
      command->add_option("--max-copies-per-minute", protect->budget.copies,
                          "copies one user may cause a minute (default " +
                              std::to_string(defaults.budget.copies) + "; root is not charged)");
  given.copyBytes = command
                        ->add_option("--max-copy-bytes-per-minute", protect->budget.copyBytes,
                                     "bytes one user's copies may take a minute (default " +
                                         FormatSize(defaults.budget.copyBytes) + ")")
                        ->transform(SizeOption())
                        ->type_name("SIZE");
  given.rows = command->add_option("--max-rows-per-minute", protect->budget.rows,
                                   "renames of one user reported a minute (default " +
                                       std::to_string(defaults.budget.rows) + ")");
  given.preContent =
      command->add_flag("--pre-content", protect->preContent,
                        "also copy before truncate(2) by path (Linux 6.14 or later; every read and "
                        "write of a protected file then waits for the daemon: cat 5x, grep -r 9x "
                        "slower)");
  return {command, [protect, directories, config, given](const GlobalOptions& options, Output&) {
            GlobalOptions effective = options;
            ProtectOptions resolved = *protect;
            for (const std::string& directory : *directories) {
              resolved.directories.emplace_back(directory);
            }
            if (!config->empty()) {
              ApplyConfig(ReadProtectConfig(*config), given, &effective, &resolved);
            }
            return RunProtect(effective, resolved);
          }};
}

const CommandRegistration kProtect(90, Define);

}  // namespace
}  // namespace orv::tool
