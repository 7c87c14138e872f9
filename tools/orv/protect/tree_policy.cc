#include "protect/tree_policy.h"

#include <fstream>
#include <sstream>

#include "tool_error.h"

namespace orv::tool {

std::string XmlAttribute(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&apos;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string TreePolicy(std::string shipped, const std::vector<std::filesystem::path>& trees) {
  const std::string home = "<value v=\"%HOME%/\"/>";
  const size_t at = shipped.find(home);
  if (at == std::string::npos) throw ToolError("the shipped policy is missing");
  std::string values;
  for (const auto& tree : trees) {
    values += "<value v=\"" + XmlAttribute(tree.string() + "/") + "\"/>\n      ";
  }
  shipped.replace(at, home.size(), values);
  return shipped;
}

void WriteTreePolicy(const std::filesystem::path& policy,
                     const std::vector<std::filesystem::path>& trees) {
  std::ifstream in(std::string(ORV_EXAMPLE_POLICY_DIR) + "/lpolicy.xml");
  std::stringstream text;
  text << in.rdbuf();
  const std::string document = TreePolicy(text.str(), trees);
  std::filesystem::create_directories(policy);
  std::ofstream out(policy / "lpolicy.xml");
  out << document;
  out.close();
  if (!out) throw ToolError("cannot write the policy in " + policy.string());
}

}  // namespace orv::tool
