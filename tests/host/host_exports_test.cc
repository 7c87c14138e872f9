// The library exports exactly what the public header declares: a name missing
// from the version script would leave hosts with an unresolved symbol, and an
// extra one would leak the core's internals.
#ifndef _WIN32
#include <dlfcn.h>
#endif

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "host/loaded_library.h"

namespace orv::testing {
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(HostExportsTest, EveryDeclaredExportResolvesAndTheScriptNamesNoOther) {
  const std::string header = ReadAll(std::string(ORV_SOURCE_DIR) + "/include/orv/orv.h");
  const std::regex declaration(R"(^ORV_EXPORT\s+[^;(]*?\b([A-Za-z]\w*)\s*\()",
                               std::regex::multiline);
  std::set<std::string> declared;
  for (auto it = std::sregex_iterator(header.begin(), header.end(), declaration);
       it != std::sregex_iterator(); ++it) {
    declared.insert((*it)[1]);
  }
  ASSERT_GT(declared.size(), 30u) << "the header's declarations were not found";

  LoadedLibrary orv;
  for (const std::string& name : declared) {
    EXPECT_NE(orv.Symbol(name.c_str()), nullptr) << name << " is declared but not exported";
  }

  const std::string script = ReadAll(std::string(ORV_SOURCE_DIR) + "/src/engine/exports.map");
  const std::regex entry(R"(^\s+([A-Za-z]\w*);)", std::regex::multiline);
  std::set<std::string> listed;
  for (auto it = std::sregex_iterator(script.begin(), script.end(), entry);
       it != std::sregex_iterator(); ++it) {
    listed.insert((*it)[1]);
  }
  EXPECT_EQ(listed, declared) << "the version script and the header disagree";
}

}  // namespace
}  // namespace orv::testing
