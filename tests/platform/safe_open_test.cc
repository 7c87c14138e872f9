#include "platform/safe_open.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include <gtest/gtest.h>

#include "support/files.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

using Reason = SafeOpenFailure::Reason;
using testing::TempDir;
using testing::WriteFileText;

// True when fd is the directory or file at path (links followed).
bool IsFileAt(const UniqueFd& fd, const std::filesystem::path& path) {
  struct stat opened {
  }, expected{};
  return fd.valid() && ::fstat(fd.get(), &opened) == 0 && ::stat(path.c_str(), &expected) == 0 &&
         opened.st_dev == expected.st_dev && opened.st_ino == expected.st_ino;
}

SafeOpenFailure DirectoryFailure(const std::string& path) {
  SafeOpenFailure failure;
  EXPECT_FALSE(OpenDirectoryWithoutForeignLinks(path, &failure).valid()) << path;
  return failure;
}

SafeOpenFailure FileFailure(const std::string& path) {
  SafeOpenFailure failure;
  struct stat st {};
  EXPECT_FALSE(OpenRegularFileWithoutForeignLinks(path, &st, &failure).valid()) << path;
  return failure;
}

class SafeOpenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_ / "real" / "inner");
    WriteFileText(dir_ / "real" / "inner" / "file", "content");
  }

  std::string At(const std::string& tail) const { return dir_.path().string() + tail; }

  TempDir dir_;
};

TEST_F(SafeOpenTest, LinksOnTheWayLeadWhereTheKernelWouldLeadThem) {
  const auto inner = dir_ / "real" / "inner";
  SafeOpenFailure failure;
  // No link at all (the one-call case), with "." and doubled separators.
  EXPECT_TRUE(IsFileAt(OpenDirectoryWithoutForeignLinks(At("/real//./inner/"), &failure), inner));
  std::filesystem::create_directory_symlink(dir_ / "real", dir_ / "absolute");
  std::filesystem::create_directory_symlink("real/inner/..", dir_ / "relative");
  std::filesystem::create_directory_symlink("absolute", dir_ / "chain");
  // ".." after a link climbs from where the link led, not from the link.
  std::filesystem::create_directory_symlink(inner, dir_ / "deep");
  for (const char* tail :
       {"/absolute/inner", "/relative/inner", "/chain/inner", "/deep/../inner"}) {
    EXPECT_TRUE(IsFileAt(OpenDirectoryWithoutForeignLinks(At(tail), &failure), inner)) << tail;
  }
  struct stat st {};
  const UniqueFd file = OpenRegularFileWithoutForeignLinks(At("/chain/inner/file"), &st, &failure);
  ASSERT_TRUE(IsFileAt(file, inner / "file"));
  EXPECT_EQ(st.st_size, 7);
  char buffer[16];
  EXPECT_EQ(::read(file.get(), buffer, sizeof(buffer)), 7);
}

TEST_F(SafeOpenTest, WhatCannotBeWalkedSaysWhy) {
  EXPECT_EQ(DirectoryFailure("real/inner").reason, Reason::kNotAbsolute);
  EXPECT_EQ(FileFailure("real/inner/file").reason, Reason::kNotAbsolute);
  const auto systemError = [](const SafeOpenFailure& failure) {
    return failure.reason == Reason::kSystemError ? failure.error : 0;
  };
  EXPECT_EQ(systemError(DirectoryFailure(At("/missing"))), ENOENT);
  EXPECT_EQ(systemError(DirectoryFailure(At("/real/inner/file"))), ENOTDIR);
  // The same answers when a link sends the open down the component walk.
  std::filesystem::create_directory_symlink(dir_ / "real", dir_ / "link");
  EXPECT_EQ(systemError(DirectoryFailure(At("/link/missing"))), ENOENT);
  EXPECT_EQ(systemError(DirectoryFailure(At("/link/inner/file"))), ENOTDIR);
  std::filesystem::create_symlink(dir_ / "real" / "inner" / "file", dir_ / "to-file");
  EXPECT_EQ(systemError(DirectoryFailure(At("/to-file"))), ENOTDIR);
  std::filesystem::create_symlink(dir_ / "nowhere", dir_ / "dangling");
  EXPECT_EQ(systemError(DirectoryFailure(At("/dangling"))), ENOENT);
  std::filesystem::create_directory_symlink("loop-b", dir_ / "loop-a");
  std::filesystem::create_directory_symlink("loop-a", dir_ / "loop-b");
  EXPECT_EQ(systemError(DirectoryFailure(At("/loop-a"))), ELOOP);
  EXPECT_EQ(systemError(FileFailure(At("/loop-a/file"))), ELOOP);

  for (const char* tail : {"/real/", "/real/.", "/real/.."}) {
    EXPECT_EQ(FileFailure(At(tail)).reason, Reason::kNotAFileName) << tail;
  }
  EXPECT_EQ(systemError(FileFailure(At("/real/missing"))), ENOENT);
}

TEST_F(SafeOpenTest, NothingButARegularFileIsOpenedOrEvenTouched) {
  const auto fifo = dir_ / "real" / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_symlink(dir_ / "real" / "inner" / "file", dir_ / "real" / "link");
  // An open of the FIFO would show as IN_OPEN, even one that fails at once.
  const UniqueFd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  ASSERT_TRUE(watch.valid());
  ASSERT_GE(::inotify_add_watch(watch.get(), fifo.c_str(), IN_OPEN), 0);

  for (const char* tail : {"/real/fifo", "/real/link", "/real/inner"}) {
    EXPECT_EQ(FileFailure(At(tail)).reason, Reason::kNotRegularFile) << tail;
  }
  EXPECT_EQ(FileFailure("/dev/null").reason, Reason::kNotRegularFile);
  char event[sizeof(inotify_event) + NAME_MAX + 1];
  EXPECT_EQ(::read(watch.get(), event, sizeof(event)), -1) << "the FIFO was opened";
  EXPECT_EQ(errno, EAGAIN);

  // The watch does see an open.
  const UniqueFd opened(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(opened.valid());
  EXPECT_GT(::read(watch.get(), event, sizeof(event)), 0);
}

TEST_F(SafeOpenTest, AnotherUsersLinkIsNeverFollowed) {
  if (::geteuid() != 0) GTEST_SKIP() << "a link of another user's needs root to make";
  std::filesystem::create_directory_symlink(dir_ / "real", dir_ / "theirs");
  ASSERT_EQ(::lchown((dir_ / "theirs").c_str(), 4242, 4242), 0);
  SafeOpenFailure failure = DirectoryFailure(At("/theirs/inner"));
  EXPECT_EQ(failure.reason, Reason::kForeignLink);
  EXPECT_EQ(failure.linkOwner, 4242u);
  EXPECT_EQ(FileFailure(At("/theirs/inner/file")).reason, Reason::kForeignLink);
  // Root's own link leading to theirs: the walk goes on into the target and
  // still refuses it.
  std::filesystem::create_directory_symlink(dir_ / "theirs", dir_ / "mine");
  EXPECT_EQ(DirectoryFailure(At("/mine/inner")).reason, Reason::kForeignLink);

  ASSERT_EQ(::lchown((dir_ / "theirs").c_str(), 0, 0), 0);
  EXPECT_TRUE(
      IsFileAt(OpenDirectoryWithoutForeignLinks(At("/mine/inner"), &failure), dir_ / "real/inner"));
}

}  // namespace
}  // namespace orv
