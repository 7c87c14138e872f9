// orv maintain: the maintenance tasks, now, with what they changed.
#include <orv/orv.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "command.h"
#include "engine_host.h"
#include "store_reader.h"
#include "tool_error.h"

namespace orv::tool {
namespace {

struct MaintainOptions {
  bool digest = false, signatures = false, retention = false;  // none: all three
};

int64_t Difference(uint64_t before, uint64_t after) {
  return static_cast<int64_t>(before) - static_cast<int64_t>(after);
}

void RunMaintain(const GlobalOptions& options, const MaintainOptions& maintain, Output& out) {
  uint32_t tasks = (maintain.digest ? ORV_TASK_DIGEST : 0) |
                   (maintain.signatures ? ORV_TASK_SIGNATURES : 0) |
                   (maintain.retention ? ORV_TASK_RETENTION : 0);
  if (tasks == 0) tasks = ORV_TASK_DIGEST | ORV_TASK_SIGNATURES | ORV_TASK_RETENTION;
  EngineHost host(options, EngineHost::Mode::kExisting);
  const OrvStoreInfo before = StoreInfo();
  if (OrvRunMaintenance(tasks) != ENG_OK) throw ToolError("the maintenance tasks could not run");
  const OrvStoreInfo after = StoreInfo();
  const int64_t removed = Difference(before.Editions, after.Editions);
  const int64_t copiesRemoved = Difference(before.Copies, after.Copies);
  const int64_t digested = Difference(before.Undigested, after.Undigested);
  const int64_t verified = Difference(before.Unverified, after.Unverified);
  if (out.json) {
    *out.document = {{"editionsRemoved", removed},
                     {"copiesRemoved", copiesRemoved},
                     {"digestsRecorded", digested},
                     {"signaturesRecorded", verified},
                     {"editions", after.Editions}};
    return;
  }
  std::cout << "editions removed     " << removed << "\n"
            << "copies removed       " << copiesRemoved << "\n"
            << "digests recorded     " << (digested > 0 ? digested : 0) << "\n"
            << "signatures recorded  " << (verified > 0 ? verified : 0) << "\n"
            << "editions left        " << after.Editions << "\n";
}

DefinedCommand Define(CLI::App& app) {
  auto maintain = std::make_shared<MaintainOptions>();
  CLI::App* command =
      app.add_subcommand("maintain", "run the maintenance tasks now (all by default)");
  command->add_flag("--digest", maintain->digest, "digests; drop duplicate editions");
  command->add_flag("--signatures", maintain->signatures, "signers; prune behind signed editions");
  command->add_flag("--retention", maintain->retention, "keep the store within its quota");
  return {command, [maintain](const GlobalOptions& options, Output& out) {
            RunMaintain(options, *maintain, out);
            return 0;
          }};
}

const CommandRegistration kMaintain(70, Define);

}  // namespace
}  // namespace orv::tool
