// The policy orv protect loads when none is given: every regular file in the
// trees, whatever its name, except a short list of what is never worth
// keeping (editor swap files, version control's lock files, caches, the
// daemon's own shadow directories).
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

// The policy document protecting every file in trees except the built-in
// list and everything below the directories excluded.
std::string TreePolicy(const std::vector<std::filesystem::path>& trees,
                       const std::vector<std::filesystem::path>& excluded = {});

// Writes TreePolicy as lpolicy.xml in directory policy (created when
// missing). Throws ToolError when it cannot be written: without its policy
// the daemon would run and protect nothing.
void WriteTreePolicy(const std::filesystem::path& policy,
                     const std::vector<std::filesystem::path>& trees,
                     const std::vector<std::filesystem::path>& excluded = {});

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_PROTECT_TREE_POLICY_H_
