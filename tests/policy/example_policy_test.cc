// The shipped example policy and the one orv protect writes for its trees,
// each judged by the engine's own policy walk on representative paths.
#include <gtest/gtest.h>

#include "capture/backup_module.h"
#include "protect/tree_policy.h"
#include "support/fake_env.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

using Verdicts = std::vector<std::pair<const char16_t*, PolicyAction>>;

// Loads the policy documents in directory and checks each path's verdict.
void ExpectVerdicts(const std::string& directory, const Verdicts& cases) {
  CBackupModule module;
  module.SetPolicyDirectory(std::u16string(directory.begin(), directory.end()));
  ASSERT_EQ(module.Start(), ENG_OK);
  for (const auto& [path, verdict] : cases) {
    FileEventRecord record{};
    record.FilePath = path;
    EXPECT_EQ(module.policyKit().Evaluate(record), verdict)
        << std::string(path, path + std::char_traits<char16_t>::length(path));
  }
}

TEST(ExamplePolicyTest, ProtectsDocumentsInTheHomeDirectoryOnly) {
  testing::FakeEnv env;
  env.SetVariable(u"HOME", u"/home/ann");
  testing::ScopedEnv scoped(&env);
  ExpectVerdicts(ORV_SOURCE_DIR "/examples/policy",
                 {
                     {u"/home/ann/Documents/report.docx", PolicyAction::Backup},
                     {u"/home/ann/Report.PDF", PolicyAction::Backup},
                     {u"/home/ann/src/engine/main.cpp", PolicyAction::Backup},
                     {u"/home/ann/Pictures/2026/IMG_0001.JPG", PolicyAction::Backup},
                     {u"/home/ann/archive.tar.gz", PolicyAction::Backup},
                     {u"/home/ann/.cache/thumbnails/report.docx", PolicyAction::Ignore},
                     {u"/home/ann/.local/share/Trash/files/report.docx", PolicyAction::Ignore},
                     {u"/home/ann/.mozilla/firefox/x/prefs.json", PolicyAction::Ignore},
                     {u"/home/ann/Documents/.report.docx.swp", PolicyAction::Ignore},
                     {u"/home/ann/Downloads/big.iso.part", PolicyAction::Ignore},
                     {u"/home/ann/src/engine/main.o", PolicyAction::Ignore},
                     {u"/home/ann/Music/song.mp3", PolicyAction::Ignore},
                     {u"/home/ann/Makefile", PolicyAction::Ignore},
                     {u"/etc/hosts.txt", PolicyAction::Ignore},
                     {u"/home/bob/Documents/report.docx", PolicyAction::Ignore},
                     {u"/home/annex/report.docx", PolicyAction::Ignore},
                 });
}

// The policy orv protect writes: every file in a tree, whatever its name, but
// the short list.
TEST(TreePolicyTest, EveryFileInATreeIsProtectedButTheBuiltInList) {
  testing::FakeEnv env;
  testing::ScopedEnv scoped(&env);
  testing::TempDir dir;
  tool::WriteTreePolicy(dir / "policy", {"/home/ann", "/srv/R&D"}, {"/home/ann/.orv-shadows"});
  ExpectVerdicts((dir / "policy").string(),
                 {
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
                 });
}

}  // namespace
}  // namespace orv
