// orv files [PATTERN]: the protected files with their edition counts.
#include <orv/orv.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "command.h"
#include "platform/display_text.h"
#include "platform/text.h"
#include "store_reader.h"

namespace orv::tool {
namespace {

void RunFiles(const GlobalOptions& options, const std::string& pattern, Output& out) {
  StoreReader reader(options);
  const std::u16string like = Utf8ToUtf16Lossy(pattern);
  nlohmann::json files = nlohmann::json::array();
  BackupFileInfo info;
  void* handle = OrvFindFirstBackupFileEx(pattern.empty() ? nullptr : like.c_str(), &info);
  if (handle != nullptr) {
    do {
      const std::string name = WholeFileName(info);
      const uint32_t editions = OrvGetFileEditionCountById(info.ID);
      if (out.json) {
        files.push_back({{"id", info.ID}, {"file", name}, {"editions", editions}});
      } else {
        std::cout << editions << "\t" << DisplayText(name) << "\n";
      }
    } while (FindNextBackupFile(handle, &info) == 1);
    FindBackupFileClose(handle);
  }
  if (out.json) (*out.document)["files"] = files;
}

DefinedCommand Define(CLI::App& app) {
  auto pattern = std::make_shared<std::string>();
  CLI::App* command = app.add_subcommand("files", "protected files with their edition counts");
  command->add_option("PATTERN", *pattern, "SQL LIKE pattern on the full path, e.g. '/home/ann/%'");
  return {command, [pattern](const GlobalOptions& options, Output& out) {
            RunFiles(options, *pattern, out);
            return 0;
          }};
}

const CommandRegistration kFiles(10, Define);

}  // namespace
}  // namespace orv::tool
