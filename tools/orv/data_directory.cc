#include "data_directory.h"

#include <system_error>

#include "tool_error.h"

namespace orv::tool {

std::filesystem::path DefaultPolicyDirectory() {
  std::error_code error;
  const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error)
    throw ToolError("cannot find the default policy: " + error.message() + "; give --policy");
  const std::filesystem::path bin = executable.parent_path();
  const std::filesystem::path installed = bin / ORV_DATA_FROM_BINARY / "policy";
  const std::filesystem::path built = bin / "share" / "orv" / "policy";
  for (const std::filesystem::path& candidate : {installed, built}) {
    if (std::filesystem::is_directory(candidate, error)) return candidate.lexically_normal();
  }
  throw ToolError("the default policy is missing (looked in " +
                  installed.lexically_normal().string() + " and " + built.string() +
                  "); give --policy DIR or reinstall orv");
}

}  // namespace orv::tool
