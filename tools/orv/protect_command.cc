// orv protect DIR...: live protection of directory trees (the daemon).
#include <CLI/CLI.hpp>
#include <memory>

#include "command.h"
#include "protect/protect_daemon.h"

namespace orv::tool {
namespace {

DefinedCommand Define(CLI::App& app) {
  auto protect = std::make_shared<ProtectOptions>();
  auto directories = std::make_shared<std::vector<std::string>>();
  CLI::App* command = app.add_subcommand(
      "protect", "live protection (root): copy files in DIR... before processes change them");
  command->add_option("DIR", *directories)->required()->check(CLI::ExistingDirectory);
  command->add_option("--max-copy-size", protect->maxCopySize,
                      "files larger than this are not copied (default 16 GiB)");
  command->add_option("--max-copies-per-minute", protect->budget.copies,
                      "copies one user may cause a minute (default 60000; root is not charged)");
  command->add_option("--max-copy-bytes-per-minute", protect->budget.copyBytes,
                      "bytes one user's copies may take a minute (default 16 GiB)");
  command->add_option("--max-rows-per-minute", protect->budget.rows,
                      "renames of one user reported a minute (default 60000)");
  command->add_flag("--pre-content", protect->preContent,
                    "also copy before truncate(2) by path (Linux 6.14 or later; every read and "
                    "write of a protected file then waits for the daemon: cat 5x, grep -r 9x "
                    "slower)");
  return {command, [protect, directories](const GlobalOptions& options, Output&) {
            for (const std::string& directory : *directories) {
              protect->directories.emplace_back(directory);
            }
            return RunProtect(options, *protect);
          }};
}

const CommandRegistration kProtect(90, Define);

}  // namespace
}  // namespace orv::tool
