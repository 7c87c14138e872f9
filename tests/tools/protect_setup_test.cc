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

TEST(TreePolicyTest, TreeNamesAreEscapedAndThePolicyIsWritten) {
  const std::string policy = tool::TreePolicy({"/srv/R&D <\"x\">", "/data/it's"});
  EXPECT_NE(policy.find("<value v=\"/srv/R&amp;D &lt;&quot;x&quot;&gt;/\"/>"), std::string::npos)
      << policy;
  EXPECT_NE(policy.find("<value v=\"/data/it&apos;s/\"/>"), std::string::npos) << policy;
  EXPECT_EQ(policy.find("--"), policy.find("<!--") + 2) << "no -- inside a comment";
  testing::TempDir dir;
  tool::WriteTreePolicy(dir / "policy", {"/srv/R&D"});
  EXPECT_EQ(testing::ReadFileText(dir / "policy" / "lpolicy.xml"), tool::TreePolicy({"/srv/R&D"}));
}

}  // namespace
}  // namespace orv
