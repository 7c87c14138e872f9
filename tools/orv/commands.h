// The tool's commands. Each writes its result as text on stdout, or into the
// JSON document when --json is given, and throws ToolError on failure.
#ifndef ORV_TOOLS_ORV_COMMANDS_H_
#define ORV_TOOLS_ORV_COMMANDS_H_

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>

#include "options.h"

namespace orv::tool {

struct Output {
  bool json = false;
  nlohmann::json* document = nullptr;  // when json
};

void RunFiles(const GlobalOptions& options, const std::string& pattern, Output& out);

struct VersionsOptions {
  std::string target;  // a path, or a LIKE pattern holding "%"
  std::optional<std::string> since, until;
  bool oldestFirst = false;
};
void RunVersions(const GlobalOptions& options, const VersionsOptions& versions, Output& out);

void RunCat(const GlobalOptions& options, uint32_t edition);
void RunPath(const GlobalOptions& options, uint32_t edition, Output& out);

struct RestoreOptions {
  std::string target;  // an edition number, or a path
  std::optional<std::string> at;
  std::optional<std::string> to;
  bool inPlace = false;
  bool force = false;
};
void RunRestore(const GlobalOptions& options, const RestoreOptions& restore, Output& out);

void RunReplay(const GlobalOptions& options, const std::string& trace, Output& out);

struct MaintainOptions {
  bool digest = false, signatures = false, retention = false;  // none: all three
};
void RunMaintain(const GlobalOptions& options, const MaintainOptions& maintain, Output& out);

void RunStatus(const GlobalOptions& options, Output& out);

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_COMMANDS_H_
