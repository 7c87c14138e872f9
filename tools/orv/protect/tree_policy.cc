#include "protect/tree_policy.h"

#include <fstream>

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

namespace {

// One value element per text, escaped.
std::string Values(const std::vector<std::string>& texts) {
  std::string values;
  for (const std::string& text : texts)
    values += "      <value v=\"" + XmlAttribute(text) + "\"/>\n";
  return values;
}

std::vector<std::string> DirectoryPrefixes(const std::vector<std::filesystem::path>& directories,
                                           const char* below = "") {
  std::vector<std::string> prefixes;
  for (const auto& directory : directories) {
    std::string prefix = directory.string();
    if (prefix.empty() || prefix.back() != '/') prefix += '/';
    prefixes.push_back(prefix + below);
  }
  return prefixes;
}

}  // namespace

std::string TreePolicy(const std::vector<std::filesystem::path>& trees,
                       const std::vector<std::filesystem::path>& excluded) {
  // Extensions are consulted first, then locations, then base names; the
  // base-name filter gives the last answer, so that a name it lists is left
  // out wherever it lies in a tree.
  std::string document =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!-- Written by orv protect: every regular file in the protected trees is kept,\n"
      "     except what is listed here as never worth keeping. To use another,\n"
      "     give orv's policy option a directory holding your own lpolicy.xml. -->\n"
      "<policy>\n"
      "  <extensions>\n"
      "    <!-- editors' swap files (vim: .name.swp, .swo, ...) -->\n"
      "    <filter name=\"Extension\" type=\"Object\" hitaction=\"Ignore\" missaction=\"Next\">\n" +
      Values({"swp", "swo", "swn", "swx"}) +
      "    </filter>\n"
      "  </extensions>\n"
      "  <locations>\n"
      "    <!-- caches inside a tree, and the daemon's own shadow links -->\n"
      "    <filter name=\"Location\" type=\"Object\" hitaction=\"Ignore\" missaction=\"Next\">\n";
  std::vector<std::string> ignored = DirectoryPrefixes(trees, ".cache/");
  for (const std::string& prefix : DirectoryPrefixes(excluded)) ignored.push_back(prefix);
  document +=
      Values(ignored) +
      "    </filter>\n"
      "    <!-- the protected trees; anything outside them is not kept -->\n"
      "    <filter name=\"Location\" type=\"Object\" hitaction=\"Next\" "
      "missaction=\"Ignore\">\n" +
      Values(DirectoryPrefixes(trees)) +
      "    </filter>\n"
      "  </locations>\n"
      "  <basenames>\n"
      "    <!-- git's lock files, and the file vim makes to see whether it may write -->\n"
      "    <filter name=\"BaseName\" type=\"Object\" hitaction=\"Ignore\" "
      "missaction=\"Backup\">\n" +
      Values({"index.lock", "HEAD.lock", "ORIG_HEAD.lock", "FETCH_HEAD.lock", "MERGE_HEAD.lock",
              "config.lock", "packed-refs.lock", "shallow.lock", "4913"}) +
      "    </filter>\n"
      "  </basenames>\n"
      "</policy>\n";
  return document;
}

void WriteTreePolicy(const std::filesystem::path& policy,
                     const std::vector<std::filesystem::path>& trees,
                     const std::vector<std::filesystem::path>& excluded) {
  const std::string document = TreePolicy(trees, excluded);
  std::filesystem::create_directories(policy);
  std::ofstream out(policy / "lpolicy.xml");
  out << document;
  out.close();
  if (!out) throw ToolError("cannot write the policy in " + policy.string());
}

}  // namespace orv::tool
