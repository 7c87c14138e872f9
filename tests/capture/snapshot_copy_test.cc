#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

#include "capture/backup_module.h"
#include "catalog/database_manager.h"
#include "support/engine_fixture.h"
#include "support/fake_env.h"

namespace orv {
namespace {

using testing::U16;

class SnapshotCopyTest : public testing::EngineFixture {
 protected:
  void SetUp() override {
    env_.SetLocalTime({2010, 4, 2, 6, 8, 6, 45, 123});
    StartEngine();
  }
  std::u16string Copy(const std::filesystem::path& source) {
    return TheBackupModule().backuper().SnapshotCopy(U16(source));
  }
  std::filesystem::path Snapshots() const { return store_ / "Backup"; }
  size_t SnapshotCount() const {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(Snapshots()),
                                             std::filesystem::directory_iterator()));
  }

  testing::FakeEnv env_;
  testing::ScopedEnv scoped_{&env_};
  testing::TempDir files_;
};

TEST_F(SnapshotCopyTest, CopiesContentAndModeUnderAStampedName) {
  const auto source = files_ / "report.doc";
  testing::WriteFileText(source, "the old content");
  ASSERT_EQ(::chmod(source.c_str(), 06644), 0);
  const std::u16string name = Copy(source);
  ASSERT_EQ(name, u"report.doc20100406080645123");
  const auto copy = Snapshots() / "report.doc20100406080645123";
  EXPECT_EQ(testing::ReadFileText(copy), "the old content");
  struct stat st {};
  ASSERT_EQ(::stat(copy.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u) << "permission bits only, never set-id";

  // The same base name in the same millisecond takes the next millisecond.
  const auto other = files_ / "sub";
  std::filesystem::create_directory(other);
  testing::WriteFileText(other / "report.doc", "another file");
  EXPECT_EQ(Copy(other / "report.doc"), u"report.doc20100406080645124");
  EXPECT_EQ(testing::ReadFileText(Snapshots() / "report.doc20100406080645124"), "another file");
  EXPECT_EQ(testing::ReadFileText(copy), "the old content");
}

TEST_F(SnapshotCopyTest, WhatIsNotARegularFileIsNeverCopied) {
  const auto fifo = files_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto target = files_ / "target";
  testing::WriteFileText(target, "secret");
  std::filesystem::create_symlink(target, files_ / "link");
  std::filesystem::create_symlink(files_ / "missing", files_ / "dangling");
  std::filesystem::create_directory(files_ / "dir");
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = (files_ / "sock").string();
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);

  for (const char* name : {"fifo", "link", "dangling", "dir", "sock", "vanished"}) {
    EXPECT_EQ(Copy(files_ / name), u"") << name;
  }
  EXPECT_EQ(Copy("/dev/null"), u"");
  EXPECT_EQ(TheBackupModule().backuper().SnapshotCopy(u"no-separator"), u"");
  EXPECT_EQ(TheBackupModule().backuper().SnapshotCopy(u"/ends/with/"), u"");
  // The text a policy matched must be the file: no dot, dot-dot or empty step.
  std::filesystem::create_directory(files_ / "sub");
  for (const char16_t* tail : {u"/sub/../target", u"/./target", u"//target"}) {
    EXPECT_EQ(TheBackupModule().backuper().SnapshotCopy(U16(files_.path()) + tail), u"");
  }
  std::u16string invalid = U16(target);
  invalid.push_back(0xDC00);
  EXPECT_EQ(TheBackupModule().backuper().SnapshotCopy(invalid), u"");
  ::close(sock);
  EXPECT_EQ(SnapshotCount(), 0u) << "no partial copy is left behind";
}

TEST_F(SnapshotCopyTest, ALinkOnThePathIsFollowedOnlyWhenItsOwnerIsTrusted) {
  std::filesystem::create_directories(files_ / "real");
  testing::WriteFileText(files_ / "real" / "secret", "content");
  std::filesystem::create_directory_symlink(files_ / "real", files_ / "mine");
  std::filesystem::create_directory_symlink("real/../real", files_ / "relative");
  EXPECT_NE(Copy(files_ / "mine" / "secret"), u"") << "the process's own link";
  EXPECT_NE(Copy(files_ / "relative" / "secret"), u"") << "relative targets and dot-dot";

  if (::geteuid() != 0) GTEST_SKIP() << "a link of another user's needs root to make";
  std::filesystem::create_directory_symlink(files_ / "real", files_ / "theirs");
  ASSERT_EQ(::lchown((files_ / "theirs").c_str(), 4242, 4242), 0);
  EXPECT_EQ(Copy(files_ / "theirs" / "secret"), u"");
  EXPECT_EQ(SnapshotCount(), 2u);
}

TEST_F(SnapshotCopyTest, AMissingSnapshotDirectoryFailsTheCopyOnly) {
  testing::WriteFileText(files_ / "a", "x");
  std::filesystem::remove_all(Snapshots());
  EXPECT_EQ(Copy(files_ / "a"), u"");
}

}  // namespace
}  // namespace orv
