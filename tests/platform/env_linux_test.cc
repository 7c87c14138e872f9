#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <thread>

#include <gtest/gtest.h>

#include "platform/env.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

using testing::U16;

using testing::ReadFileText;
using testing::TempDir;
using testing::WriteFileText;

mode_t Permissions(const std::filesystem::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(LinuxEnvTest, StoreDirectoriesAndFilesAreMadeAndKeptPrivate) {
  TempDir dir;
  Env* env = Env::Default();
  const mode_t oldMask = ::umask(0);  // the modes must not depend on the process's mask
  ASSERT_TRUE(env->CreateDirectories(U16(dir / "new" / "nested")));
  EXPECT_EQ(Permissions(dir / "new"), 0700u);
  EXPECT_EQ(Permissions(dir / "new" / "nested"), 0700u);
  std::filesystem::create_directory(dir / "open");
  ::chmod((dir / "open").c_str(), 0755);
  ASSERT_TRUE(env->CreateDirectories(U16(dir / "open")));
  EXPECT_EQ(Permissions(dir / "open"), 0700u);
  // A link the owner put there is followed; its target is left alone.
  std::filesystem::create_directory(dir / "elsewhere");
  ::chmod((dir / "elsewhere").c_str(), 0755);
  std::filesystem::create_directory_symlink(dir / "elsewhere", dir / "linked");
  EXPECT_TRUE(env->CreateDirectories(U16(dir / "linked")));
  EXPECT_EQ(Permissions(dir / "elsewhere"), 0755u);

  ASSERT_TRUE(env->CreatePrivateFile(U16(dir / "fresh.db")));
  EXPECT_EQ(Permissions(dir / "fresh.db"), 0600u);
  WriteFileText(dir / "shared.db", "content");
  ::chmod((dir / "shared.db").c_str(), 0644);
  ASSERT_TRUE(env->CreatePrivateFile(U16(dir / "shared.db")));
  EXPECT_EQ(Permissions(dir / "shared.db"), 0600u);
  EXPECT_EQ(ReadFileText(dir / "shared.db"), "content");
  ::umask(oldMask);

  // Neither a link nor a FIFO passes for the file, and opening never blocks.
  std::filesystem::create_symlink(dir / "shared.db", dir / "link.db");
  EXPECT_FALSE(env->CreatePrivateFile(U16(dir / "link.db")));
  ASSERT_EQ(::mkfifo((dir / "fifo.db").c_str(), 0600), 0);
  EXPECT_FALSE(env->CreatePrivateFile(U16(dir / "fifo.db")));
}

TEST(LinuxEnvTest, FileSizeRenameAndAppend) {
  TempDir dir;
  Env* env = Env::Default();
  const auto a = dir / "a.txt";
  const auto b = dir / "b.txt";

  EXPECT_FALSE(env->GetFileSize(U16(a)).has_value());
  WriteFileText(a, "12345");
  EXPECT_EQ(env->GetFileSize(U16(a)), 5u);

  WriteFileText(b, "old");
  ASSERT_TRUE(env->RenameReplacing(U16(a), U16(b)));
  EXPECT_EQ(ReadFileText(b), "12345");
  EXPECT_FALSE(std::filesystem::exists(a));
  EXPECT_FALSE(env->RenameReplacing(U16(a), U16(b)));

  auto file = env->OpenAppendText(U16(dir / "log"));
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(file->Append("one\n"));
  ASSERT_TRUE(file->Append("two\n"));
  ASSERT_TRUE(file->Flush());
  EXPECT_EQ(ReadFileText(dir / "log"), "one\ntwo\n");
  struct stat st {};
  ASSERT_EQ(::stat((dir / "log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "the log may name private files";

  // Reopening appends, never truncates.
  file = env->OpenAppendText(U16(dir / "log"));
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(file->Append("three\n"));
  EXPECT_EQ(ReadFileText(dir / "log"), "one\ntwo\nthree\n");
}

TEST(LinuxEnvTest, PathsNoFileCanHaveFailCleanly) {
  TempDir dir;
  Env* env = Env::Default();
  std::u16string loneSurrogate = U16(dir / "x");
  loneSurrogate.push_back(0xD800);
  std::u16string embeddedZero = U16(dir / "x");
  embeddedZero.push_back(u'\0');
  embeddedZero += u"y";
  for (const std::u16string& bad : {std::u16string(), loneSurrogate, embeddedZero}) {
    EXPECT_FALSE(env->GetFileSize(bad).has_value());
    EXPECT_EQ(env->OpenAppendText(bad), nullptr);
    EXPECT_FALSE(env->RenameReplacing(bad, U16(dir / "z")));
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(LinuxEnvTest, AppendOpenRefusesWhatIsNotARegularFileWithoutBlocking) {
  TempDir dir;
  Env* env = Env::Default();
  const auto fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // With no reader, a blocking open of a FIFO would hang here for ever.
  EXPECT_EQ(env->OpenAppendText(U16(fifo)), nullptr);
  EXPECT_EQ(env->OpenAppendText(dir.u16()), nullptr);
}

TEST(LinuxEnvTest, ClocksAndThreadIds) {
  Env* env = Env::Default();
  const uint32_t t0 = env->GetTickCount();
  const uint32_t t1 = env->GetTickCount();
  EXPECT_LT(static_cast<uint32_t>(t1 - t0), 1000u);

  const time_t now = ::time(nullptr);
  tm expected{};
  ::localtime_r(&now, &expected);
  const LocalTime local = env->GetLocalTime();
  EXPECT_EQ(local.year, expected.tm_year + 1900);
  EXPECT_GE(local.month, 1);
  EXPECT_LE(local.month, 12);
  EXPECT_LT(local.milliseconds, 1000);

  const uint32_t mine = env->GetCurrentThreadId();
  EXPECT_EQ(mine, static_cast<uint32_t>(::getpid())) << "gtest runs tests on the main thread";
  uint32_t other = 0;
  std::thread([&] { other = env->GetCurrentThreadId(); }).join();
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, mine);
}

}  // namespace
}  // namespace orv
