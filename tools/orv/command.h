// The tool's commands. Each command's file declares its subcommand, with its
// own options, and registers it with a CommandRegistration; main only parses
// the global options, sets up the output and turns errors into exit codes.
#ifndef ORV_TOOLS_ORV_COMMAND_H_
#define ORV_TOOLS_ORV_COMMAND_H_

#include <nlohmann/json_fwd.hpp>

#include <cstdio>
#include <functional>
#include <vector>

#include "options.h"

namespace CLI {
class App;
}

namespace orv::tool {

// Where a command writes its result: text on standard output, or, with
// --json, fields of the one JSON document main prints when the command ends.
struct Output {
  bool json = false;
  nlohmann::json* document = nullptr;  // when json
  // Where the JSON document goes. A command whose document is too large to
  // build in memory writes it there itself and sets written.
  FILE* jsonStream = nullptr;
  bool written = false;
};

// Runs a parsed command and returns its exit status; failures throw ToolError.
using CommandAction = std::function<int(const GlobalOptions&, Output&)>;

// A command's subcommand, and what runs it once the whole command line is
// parsed (global options included).
struct DefinedCommand {
  CLI::App* subcommand = nullptr;
  CommandAction run;
};

// Adds the command's subcommand, with its options, to app.
using CommandDefinition = DefinedCommand (*)(CLI::App& app);

// Registers a command at program start, for a namespace-scope object in the
// command's own file. Commands are listed in help by rank.
class CommandRegistration {
 public:
  CommandRegistration(int rank, CommandDefinition define);
};

struct RegisteredCommand {
  int rank;
  CommandDefinition define;
};
// Every registered command, by rank.
std::vector<RegisteredCommand> RegisteredCommands();

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_COMMAND_H_
