// orv maintain: the maintenance tasks, now, with what they changed.
#include <orv/orv.h>

#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>

#include "catalog_reader.h"
#include "commands.h"
#include "engine_host.h"
#include "tool_error.h"

namespace orv::tool {
namespace {

int64_t CopyCount(const std::filesystem::path& store) {
  int64_t copies = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(store / "Backup", error)) {
    copies += entry.is_regular_file(error) ? 1 : 0;
  }
  return copies;
}

}  // namespace

void RunMaintain(const GlobalOptions& options, const MaintainOptions& maintain, Output& out) {
  uint32_t tasks = (maintain.digest ? ORV_TASK_DIGEST : 0) |
                   (maintain.signatures ? ORV_TASK_SIGNATURES : 0) |
                   (maintain.retention ? ORV_TASK_RETENTION : 0);
  if (tasks == 0) tasks = ORV_TASK_DIGEST | ORV_TASK_SIGNATURES | ORV_TASK_RETENTION;
  EngineHost host(options, EngineHost::Mode::kReadOnly);
  CatalogReader reader(host.catalog());
  const StoreCounts before = reader.Counts();
  const int64_t copiesBefore = CopyCount(host.store());
  if (OrvRunMaintenance(tasks) != ENG_OK) throw ToolError("the maintenance tasks could not run");
  const StoreCounts after = reader.Counts();
  const int64_t copiesAfter = CopyCount(host.store());
  const int64_t removed = before.editions - after.editions;
  const int64_t digested = before.undigested - after.undigested;
  const int64_t verified = before.unverified - after.unverified;
  if (out.json) {
    *out.document = {{"editionsRemoved", removed},
                     {"copiesRemoved", copiesBefore - copiesAfter},
                     {"digestsRecorded", digested},
                     {"signaturesRecorded", verified},
                     {"editions", after.editions}};
    return;
  }
  std::cout << "editions removed     " << removed << "\n"
            << "copies removed       " << copiesBefore - copiesAfter << "\n"
            << "digests recorded     " << (digested > 0 ? digested : 0) << "\n"
            << "signatures recorded  " << (verified > 0 ? verified : 0) << "\n"
            << "editions left        " << after.editions << "\n";
}

}  // namespace orv::tool
