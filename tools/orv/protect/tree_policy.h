// The policy orv protect loads when none is given: the shipped one, with the
// protected trees as its protected locations instead of the home directory.
#ifndef ORV_TOOLS_ORV_PROTECT_TREE_POLICY_H_
#define ORV_TOOLS_ORV_PROTECT_TREE_POLICY_H_

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace orv::tool {

// text as an XML attribute value: a directory named "R&D" must not make the
// policy a document that fails to load (and protects nothing).
std::string XmlAttribute(std::string_view text);

// shipped (a policy document) with its home-directory location replaced by
// one location per tree. Throws ToolError when shipped has no such location.
std::string TreePolicy(std::string shipped, const std::vector<std::filesystem::path>& trees);

// Writes the shipped policy, made a tree policy, as lpolicy.xml in directory
// policy (created when missing). Throws ToolError when it cannot be written:
// without its policy the daemon would run and protect nothing.
void WriteTreePolicy(const std::filesystem::path& policy,
                     const std::vector<std::filesystem::path>& trees);

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_PROTECT_TREE_POLICY_H_
