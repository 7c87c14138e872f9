// The policy orv protect writes for its trees, judged by the engine's own
// policy walk: every file in a tree, whatever its name, but the short list.
#include "protect/tree_policy.h"

#include <gtest/gtest.h>

#include "capture/backup_module.h"
#include "support/fake_env.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

TEST(TreePolicyTest, EveryFileInATreeIsProtectedButTheBuiltInList) {
  testing::FakeEnv env;
  testing::ScopedEnv scoped(&env);
  testing::TempDir dir;
  tool::WriteTreePolicy(dir / "policy", {"/home/ann", "/srv/R&D"}, {"/home/ann/.orv-shadows"});
  CBackupModule module;
  const std::string policy = (dir / "policy").string();
  module.SetPolicyDirectory(std::u16string(policy.begin(), policy.end()));
  ASSERT_EQ(module.Start(), ENG_OK);

  const std::pair<const char16_t*, PolicyAction> cases[] = {
      {u"/home/ann/Documents/report.docx", PolicyAction::Backup},
      {u"/home/ann/notes", PolicyAction::Backup},
      {u"/home/ann/vault.kdbx", PolicyAction::Backup},
      {u"/home/ann/report.docx.locked", PolicyAction::Backup},
      {u"/home/ann/src/Cargo.lock", PolicyAction::Backup},
      {u"/home/ann/Makefile", PolicyAction::Backup},
      {u"/srv/R&D/plan.odt", PolicyAction::Backup},
      {u"/home/ann/Documents/.report.docx.swp", PolicyAction::Ignore},
      {u"/home/ann/src/.git/index.lock", PolicyAction::Ignore},
      {u"/home/ann/src/.git/HEAD.lock", PolicyAction::Ignore},
      {u"/home/ann/Documents/4913", PolicyAction::Ignore},
      {u"/home/ann/.cache/thumbnails/x.png", PolicyAction::Ignore},
      {u"/home/ann/.orv-shadows/0100000012", PolicyAction::Ignore},
      {u"/home/annex/report.docx", PolicyAction::Ignore},
      {u"/etc/passwd", PolicyAction::Ignore},
  };
  for (const auto& [path, verdict] : cases) {
    FileEventRecord record{};
    record.FilePath = path;
    EXPECT_EQ(module.policyKit().Evaluate(record), verdict)
        << std::string(path, path + std::char_traits<char16_t>::length(path));
  }
}

}  // namespace
}  // namespace orv
