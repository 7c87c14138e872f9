// The pre-content guard: which system call a blocked thread is in, and, as
// root on a file system that allows pre-content events, that a truncate by
// path is seen with the old content still readable while reads, writes and
// ftruncate pass without a call.
#include "protect/pre_content.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/unique_fd.h"
#include "protect/stop_signal.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

TEST(PreContentTest, OnlyATruncateByPathGivesALength) {
  EXPECT_EQ(tool::TruncateLength("76 0x7ffd2c1e4f10 0xc350 0x0 0x0 0x0 0x0 0x7ffd2c1e4e08 "
                                 "0x7f3b1a2f0b7b\n"),
            50000u);
  EXPECT_EQ(tool::TruncateLength("76 0x55d0 0x0 0x0 0x0 0x0 0x0 0x7ffd 0x7f3b\n"), 0u);
  // ftruncate, pread64, write: the same range, another call.
  EXPECT_FALSE(tool::TruncateLength("77 0x3 0xc350 0x0 0x0 0x0 0x0 0x7ffd 0x7f3b\n"));
  EXPECT_FALSE(tool::TruncateLength("17 0x3 0x7ffd 0xa 0xc350 0x0 0x0 0x7ffd 0x7f3b\n"));
  EXPECT_FALSE(tool::TruncateLength("1 0x3 0x7ffd 0x10 0x0 0x0 0x0 0x7ffd 0x7f3b\n"));
  // Not in a system call, running, unreadable, or cut short.
  EXPECT_FALSE(tool::TruncateLength("-1 0x7ffd 0x7f3b\n"));
  EXPECT_FALSE(tool::TruncateLength("running\n"));
  EXPECT_FALSE(tool::TruncateLength(""));
  EXPECT_FALSE(tool::TruncateLength("76 0x7ffd2c1e4f10"));
  EXPECT_FALSE(tool::TruncateLength("760 0x7ffd 0xc350"));
}

// The readers' wait: a readable descriptor ends it, and so does a stop
// requested from another thread while nothing is readable.
TEST(PreContentTest, AStopWakesAWaitingReader) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  tool::StopSignal stop;
  ASSERT_EQ(::write(ends[1], "x", 1), 1);
  EXPECT_TRUE(stop.WaitReadable(ends[0]));
  char byte;
  ASSERT_EQ(::read(ends[0], &byte, 1), 1);
  std::thread waiter([&] { EXPECT_FALSE(stop.WaitReadable(ends[0])); });
  stop.Request();
  waiter.join();
  EXPECT_FALSE(stop.WaitReadable(ends[0]));  // stays requested
  ::close(ends[0]);
  ::close(ends[1]);
}

struct Truncation {
  std::string oldContent;
  pid_t tid;
  uint64_t length;
};

std::string ReadAll(int fd) {
  std::string content;
  char buffer[4096];
  for (off_t at = 0;; at += 4096) {
    const ssize_t n = ::pread(fd, buffer, sizeof(buffer), at);
    if (n <= 0) return content;
    content.append(buffer, static_cast<size_t>(n));
  }
}

TEST(PreContentTest, ATruncateByPathIsSeenBeforeTheOldContentGoes) {
  if (::geteuid() != 0) GTEST_SKIP() << "pre-content events need root";
  std::string why;
  if (!tool::PreContentGuard::Supported(&why)) GTEST_SKIP() << why;
  testing::TempDir dir;
  const std::string file = (dir / "doc.txt").string();
  const std::string old(10000, 'o');
  testing::WriteFileText(file, old);

  tool::PreContentGuard guard;
  // Marked through a descriptor, as a walk that opened the directory does.
  const UniqueFd directory(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const UniqueFd regular(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(directory.valid() && regular.valid());
  if (const int error = guard.Mark(directory.get()); error != 0) {
    GTEST_SKIP() << "cannot mark " << dir.path() << ": " << std::strerror(error)
                 << " (tmpfs has no pre-content events)";
  }
  EXPECT_EQ(guard.Mark(regular.get()), ENOTDIR);
  EXPECT_EQ(guard.Mark((dir / "doc.txt").string()), ENOTDIR);
  std::mutex lock;
  std::vector<Truncation> seen;
  std::thread reader([&] {
    guard.Read([&](int fd, pid_t tid, uint64_t length) {
      const std::lock_guard<std::mutex> hold(lock);
      seen.push_back({ReadAll(fd), tid, length});
    });
  });

  // Reads, a write in place and an ftruncate: asked about, never a truncate
  // by path (the ftruncate's open is the content group's to copy).
  EXPECT_EQ(testing::ReadFileText(file), old);
  {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::pwrite(fd, "new", 3, 5000), 3);
    EXPECT_EQ(::ftruncate(fd, 9000), 0);
    ::close(fd);
  }
  const std::string written = old.substr(0, 5000) + "new" + old.substr(5003, 9000 - 5003);
  ASSERT_EQ(::truncate(file.c_str(), 3), 0);
  ASSERT_EQ(::truncate(file.c_str(), 8192), 0);  // grows, on a page boundary
  const uint64_t events = guard.EventCount();
  guard.RequestStop();
  reader.join();

  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].oldContent, written);
  EXPECT_EQ(seen[0].length, 3u);
  EXPECT_EQ(seen[0].tid, static_cast<pid_t>(::syscall(SYS_gettid)));
  EXPECT_EQ(seen[1].oldContent, "ooo");
  EXPECT_EQ(seen[1].length, 8192u);
  EXPECT_EQ(guard.TruncateCount(), 2u);
  EXPECT_GE(events, 5u);  // the read, the write, the ftruncate and both truncates
  // Not read: with the reader stopped, a read waits until the guard goes.
  EXPECT_EQ(std::filesystem::file_size(file), 8192u);
}

}  // namespace
}  // namespace orv
