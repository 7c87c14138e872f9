// orv: browse, restore, replay and maintain an Orv backup store. Each command
// lives in its own file and declares its own options (command.h); main holds
// the global options, the JSON output and the turning of errors into one line
// and an exit status.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "command.h"
#include "option_checks.h"
#include "platform/display_text.h"
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

// A mistake on the command line: one line naming it and where help is, and
// the usual exit status of a usage error.
int UsageError(const CLI::App& app, const CLI::ParseError& error,
               const std::string& unknownCommand) {
  std::string message = error.what();
  for (size_t at = message.find('\n'); at != std::string::npos; at = message.find('\n', at)) {
    message.replace(at, 1, "; ");
  }
  std::string command = "orv";
  // A global option's help is orv's, wherever it stood.
  const std::string option = message.substr(0, message.find(':'));
  if (option.rfind("--", 0) != 0 || app.get_option_no_throw(option) == nullptr) {
    for (const CLI::App* sub : app.get_subcommands()) command += " " + sub->get_name();
  }
  // CLI11 calls a misspelt command a missing one: name it.
  if (app.get_subcommands().empty() && !unknownCommand.empty()) {
    message = "unknown command " + unknownCommand;
  }
  std::cerr << "orv: " << orv::DisplayText(message) << " (see " << command << " --help)\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(kDescription, "orv");
  app.require_subcommand(1);
  app.fallthrough();
  app.set_version_flag("--version", std::string("orv ") + ORV_VERSION,
                       "print the version and exit");
  GlobalOptions options;
  std::string store, policy;
  app.add_option("--store", store,
                 "backup store (default: ~/.local/share/orv; /var/lib/orv as root)")
      ->type_name("DIR");
  app.add_option("--policy", policy,
                 "policy directory (default: <store>/policy for replay; for protect, every "
                 "file in its trees)")
      ->type_name("DIR");
  uint32_t logLevel = 0;
  CLI::Option* logOption = app.add_option(
      "--log-level", logLevel, "write orv.log in the store at this level (commands that write)");
  app.add_flag("--json", options.json, "one JSON document on standard output");
  app.add_option("--quota", options.quota,
                 "retention quota: the copies' size beyond which the oldest editions are "
                 "removed, in bytes or with K, M, G, T (default: " +
                     orv::tool::FormatSize(orv::tool::kToolRetentionQuota) + ")")
      ->transform(orv::tool::SizeOption())
      ->type_name("SIZE");

  std::vector<orv::tool::DefinedCommand> commands;
  for (const orv::tool::RegisteredCommand& command : orv::tool::RegisteredCommands()) {
    commands.push_back(command.define(app));
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& request) {  // --help, --version
    return app.exit(request);
  } catch (const CLI::ParseError& error) {
    return UsageError(app, error, app.remaining().empty() ? "" : app.remaining().front());
  }
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
  orv::tool::Output out{options.json, &document, jsonOut};
  int status = 0;
  try {
    for (const orv::tool::DefinedCommand& command : commands) {
      if (*command.subcommand) status = command.run(options, out);
    }
  } catch (const orv::tool::ToolError& error) {
    // Messages quote names and paths: escaped, they cannot forge a line.
    std::cerr << "orv: " << orv::DisplayText(error.what()) << "\n";
    return error.exitCode();
  } catch (const std::exception& error) {
    std::cerr << "orv: " << orv::DisplayText(error.what()) << "\n";
    return 1;
  }
  if (options.json && status == 0 && !out.written) {
    std::fputs(
        (document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n").c_str(),
        jsonOut);
    std::fflush(jsonOut);
  }
  return status;
}
