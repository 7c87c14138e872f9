// Where the tool's shipped read-only data (the default policy) lies.
#ifndef ORV_TOOLS_ORV_DATA_DIRECTORY_H_
#define ORV_TOOLS_ORV_DATA_DIRECTORY_H_

#include <filesystem>

namespace orv::tool {

// The directory of the default policy documents, found beside the running
// executable: <bin>/../share/orv/policy once installed (wherever the prefix
// is), <build>/share/orv/policy in a build tree. No absolute path is compiled
// in, so an installed or relocated orv never reads from its build tree.
// Throws ToolError naming the places looked at when neither exists.
std::filesystem::path DefaultPolicyDirectory();

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_DATA_DIRECTORY_H_
