// orv path N: where an edition's content lies.
#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "command.h"
#include "edition_argument.h"
#include "platform/display_text.h"
#include "store_reader.h"
#include "tool_error.h"

namespace orv::tool {
namespace {

void RunPath(const GlobalOptions& options, uint32_t edition, Output& out) {
  StoreReader reader(options);
  const std::optional<std::string> path = ContentPath(edition);
  if (!path) throw ToolError("no content for edition " + std::to_string(edition));
  if (out.json) {
    (*out.document)["content"] = *path;
  } else {
    std::cout << DisplayText(*path) << "\n";
  }
}

DefinedCommand Define(CLI::App& app) {
  auto edition = std::make_shared<std::string>();
  CLI::App* command = app.add_subcommand("path", "where an edition's content lies");
  command->add_option("EDITION", *edition)->required();
  return {command, [edition](const GlobalOptions& options, Output& out) {
            RunPath(options, EditionArgument(*edition), out);
            return 0;
          }};
}

const CommandRegistration kPath(40, Define);

}  // namespace
}  // namespace orv::tool
