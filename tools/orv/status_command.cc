// orv status: the store and what it holds.
#include <CLI/CLI.hpp>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>

#include "catalog_time.h"
#include "command.h"
#include "platform/display_text.h"
#include "store_reader.h"

namespace orv::tool {
namespace {

// The time stamp of the newest edition; nothing when there is none.
std::optional<int32_t> LastEditionTime() {
  FileEditionInfo info;
  void* handle = FindFirstFileEditionEx(nullptr, 1, nullptr, nullptr, &info);
  if (handle == nullptr) return std::nullopt;
  FindFileEditionClose(handle);
  return info.TimeStamp;
}

void RunStatus(const GlobalOptions& options, Output& out) {
  StoreReader reader(options);
  const OrvStoreInfo info = StoreInfo();
  const bool snapshotsMissing = (info.Flags & ORV_STORE_NO_SNAPSHOTS) != 0;
  const std::optional<int32_t> lastEdition = LastEditionTime();
  if (out.json) {
    *out.document = {{"store", reader.store().string()},
                     {"catalogBytes", info.CatalogBytes},
                     {"copies", info.Copies},
                     {"copyBytes", info.CopyBytes},
                     {"quota", options.quota},
                     {"files", info.Files},
                     {"editions", info.Editions},
                     {"undigested", info.Undigested},
                     {"unverified", info.Unverified}};
    (*out.document)["lastEdition"] =
        lastEdition ? nlohmann::json(FormatCatalogTime(*lastEdition)) : nlohmann::json();
    (*out.document)["lastEditionTimeStamp"] =
        lastEdition ? nlohmann::json(*lastEdition) : nlohmann::json();
    if (snapshotsMissing) (*out.document)["snapshotDirectoryMissing"] = true;
    return;
  }
  std::cout << "store       " << DisplayText(reader.store().string()) << "\n"
            << "catalog     " << info.CatalogBytes << " bytes\n"
            << "copies      " << info.Copies << " (" << info.CopyBytes << " of " << options.quota
            << " bytes of quota)" << (snapshotsMissing ? "; the copies' directory is missing" : "")
            << "\n"
            << "files       " << info.Files << "\n"
            << "editions    " << info.Editions << " (" << info.Undigested << " undigested, "
            << info.Unverified << " unverified)\n"
            << "last edition " << (lastEdition ? FormatCatalogTime(*lastEdition) : "none") << "\n";
}

DefinedCommand Define(CLI::App& app) {
  CLI::App* command = app.add_subcommand("status", "the store and what it holds");
  return {command, [](const GlobalOptions& options, Output& out) {
            RunStatus(options, out);
            return 0;
          }};
}

const CommandRegistration kStatus(80, Define);

}  // namespace
}  // namespace orv::tool
