// What orv protect checks and writes before it watches anything: the kernel
// release and the policy naming the trees.
#include <string>

#include <gtest/gtest.h>

#include "protect/kernel_check.h"
#include "protect/tree_policy.h"
#include "support/files.h"
#include "support/temp_dir.h"
#include "tool_error.h"

namespace orv {
namespace {

TEST(KernelCheckTest, ReleasesFrom517OnAreTaken) {
  EXPECT_TRUE(tool::KernelSupportsProtection("5.17.0"));
  EXPECT_TRUE(tool::KernelSupportsProtection("6.1.0-13-amd64"));
  EXPECT_TRUE(tool::KernelSupportsProtection("10.0"));
  EXPECT_FALSE(tool::KernelSupportsProtection("5.16.20"));
  EXPECT_FALSE(tool::KernelSupportsProtection("4.19.0"));
  EXPECT_FALSE(tool::KernelSupportsProtection("garbage"));
  EXPECT_FALSE(tool::KernelSupportsProtection(""));
}

TEST(TreePolicyTest, TheTreesReplaceTheHomeDirectoryEscaped) {
  const std::string shipped = "<a>\n      <value v=\"%HOME%/\"/>\n    </a>";
  const std::string policy = tool::TreePolicy(shipped, {"/srv/R&D <\"x\">", "/data/it's"});
  EXPECT_EQ(policy,
            "<a>\n      <value v=\"/srv/R&amp;D &lt;&quot;x&quot;&gt;/\"/>\n      "
            "<value v=\"/data/it&apos;s/\"/>\n      \n    </a>");
  EXPECT_THROW(tool::TreePolicy("<a/>", {"/srv"}), tool::ToolError);
}

TEST(TreePolicyTest, TheShippedPolicyIsWrittenWithTheTrees) {
  testing::TempDir dir;
  tool::WriteTreePolicy(dir / "policy", {"/srv/R&D"});
  const std::string written = testing::ReadFileText(dir / "policy" / "lpolicy.xml");
  EXPECT_NE(written.find("<value v=\"/srv/R&amp;D/\"/>"), std::string::npos) << written;
  EXPECT_EQ(written.find("<value v=\"%HOME%/\"/>"), std::string::npos) << "the home directory";
}

}  // namespace
}  // namespace orv
