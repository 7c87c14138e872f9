// The shipped example policy, judged on representative paths.
#include <gtest/gtest.h>

#include "capture/backup_module.h"
#include "support/fake_env.h"

namespace orv {
namespace {

TEST(ExamplePolicyTest, ProtectsDocumentsInTheHomeDirectoryOnly) {
  testing::FakeEnv env;
  env.SetVariable(u"HOME", u"/home/ann");
  testing::ScopedEnv scoped(&env);
  CBackupModule module;
  const std::string dir = ORV_SOURCE_DIR "/examples/policy";
  module.SetPolicyDirectory(std::u16string(dir.begin(), dir.end()));
  ASSERT_EQ(module.Start(), ENG_OK);

  const std::pair<const char16_t*, PolicyAction> cases[] = {
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
