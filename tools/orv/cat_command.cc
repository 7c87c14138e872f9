// orv cat N: an edition's content on standard output.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <vector>

#include "command.h"
#include "edition_argument.h"
#include "safe_path.h"
#include "store_reader.h"
#include "tool_error.h"

namespace orv::tool {
namespace {

void RunCat(const GlobalOptions& options, uint32_t edition) {
  StoreReader reader(options);
  const std::string path = ExistingContentPath(edition);
  // Only a regular file, never through another user's link, and never an
  // open that blocks (a renamed file's content lies where its owner keeps it).
  const UniqueFd in = OpenRegularFile(path);
  std::vector<char> buffer(1 << 16);
  while (true) {
    const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw ToolError("cannot read " + path + ": " + std::strerror(errno));
    if (n == 0) break;
    std::cout.write(buffer.data(), n);
  }
  std::cout.flush();
  if (!std::cout) throw ToolError("cannot write the content to standard output");
}

DefinedCommand Define(CLI::App& app) {
  auto edition = std::make_shared<std::string>();
  CLI::App* command = app.add_subcommand("cat", "an edition's content on standard output");
  command->add_option("EDITION", *edition)->required();
  return {command, [edition](const GlobalOptions& options, Output&) {
            RunCat(options, EditionArgument(*edition));
            return 0;
          }};
}

const CommandRegistration kCat(30, Define);

}  // namespace
}  // namespace orv::tool
