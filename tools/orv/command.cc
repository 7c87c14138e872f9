#include "command.h"

#include <algorithm>

namespace orv::tool {
namespace {

// A function-local list: registrations run during static initialisation, in
// whatever order the linker gives the files.
std::vector<RegisteredCommand>& Registry() {
  static std::vector<RegisteredCommand> commands;
  return commands;
}

}  // namespace

CommandRegistration::CommandRegistration(int rank, CommandDefinition define) {
  Registry().push_back({rank, define});
}

std::vector<RegisteredCommand> RegisteredCommands() {
  std::vector<RegisteredCommand> commands = Registry();
  std::stable_sort(
      commands.begin(), commands.end(),
      [](const RegisteredCommand& a, const RegisteredCommand& b) { return a.rank < b.rank; });
  return commands;
}

}  // namespace orv::tool
