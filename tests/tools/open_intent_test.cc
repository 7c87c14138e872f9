// How orv protect tells an open for writing from one for reading.
#include "protect/open_intent.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/files.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

// Runs open in a thread of its own, where it blocks on a FIFO until a reader
// or writer comes; while it waits, check(tid) looks at it.
void WhileBlockedInOpen(const std::filesystem::path& fifo, int peerFlags, long call,
                        const std::function<void()>& open,
                        const std::function<void(pid_t)>& check) {
  std::atomic<pid_t> tid{0};
  std::thread opener([&] {
    tid.store(static_cast<pid_t>(::gettid()));
    open();
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (true) {
    const pid_t id = tid.load();
    if (id != 0 && testing::ReadFileText("/proc/self/task/" + std::to_string(id) + "/syscall")
                           .rfind(std::to_string(call) + " ", 0) == 0) {
      break;
    }
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the open never blocked";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  check(tid.load());
  const int peer = ::open(fifo.c_str(), peerFlags | O_NONBLOCK);
  opener.join();
  if (peer >= 0) ::close(peer);
}

TEST(OpenIntentTest, FlagsInTheOpenersRegistersAreRead) {
  testing::TempDir dir;
  const std::filesystem::path fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  WhileBlockedInOpen(
      fifo, O_WRONLY, SYS_openat,
      [&] {
        const int fd = ::openat(AT_FDCWD, fifo.c_str(), O_RDONLY);
        if (fd >= 0) ::close(fd);
      },
      [](pid_t tid) { EXPECT_FALSE(tool::OpensForWriting(tid)); });
  WhileBlockedInOpen(
      fifo, O_RDONLY, SYS_openat,
      [&] {
        const int fd = ::openat(AT_FDCWD, fifo.c_str(), O_WRONLY);
        if (fd >= 0) ::close(fd);
      },
      [](pid_t tid) { EXPECT_TRUE(tool::OpensForWriting(tid)); });
}

TEST(OpenIntentTest, OnlyAnOpenReadForReadingIsNoWrite) {
  const auto line = [](long call, uint64_t a, uint64_t b, uint64_t c) {
    char text[128];
    std::snprintf(text, sizeof(text), "%ld 0x%llx 0x%llx 0x%llx 0x0 0x0 0x0 0x7ffd 0x7f3b\n", call,
                  static_cast<unsigned long long>(a), static_cast<unsigned long long>(b),
                  static_cast<unsigned long long>(c));
    return std::string(text);
  };
  EXPECT_FALSE(tool::OpensForWriting(line(SYS_openat, 0xffffff9c, 0x55d0, O_RDONLY | O_CLOEXEC)));
  EXPECT_FALSE(tool::OpensForWriting(line(SYS_open, 0x55d0, O_RDONLY, 0)));
  EXPECT_TRUE(tool::OpensForWriting(line(SYS_openat, 0xffffff9c, 0x55d0, O_RDWR)));
  EXPECT_TRUE(tool::OpensForWriting(line(SYS_openat, 0xffffff9c, 0x55d0, O_RDONLY | O_TRUNC)));
  EXPECT_TRUE(tool::OpensForWriting(line(SYS_open, 0x55d0, O_WRONLY | O_APPEND, 0)));
  EXPECT_TRUE(tool::OpensForWriting(line(SYS_creat, 0x55d0, 0644, 0)));
  EXPECT_TRUE(tool::OpensForWriting(line(SYS_openat2, 0xffffff9c, 0x55d0, 0x7ffd)));
  // Whatever cannot be read as an open is taken for a write.
  EXPECT_TRUE(tool::OpensForWriting("-1 0x7ffd 0x7f3b\n"));
  EXPECT_TRUE(tool::OpensForWriting("running\n"));
  EXPECT_TRUE(tool::OpensForWriting(""));
  EXPECT_TRUE(tool::OpensForWriting("257 0xffffff9c 0x55d0"));
  EXPECT_TRUE(tool::OpensForWriting(std::to_string(SYS_read) + " 0x3 0x55d0 0x1000 0x0 0x0 0x0\n"));
}

TEST(OpenIntentTest, AnOpenat2CountsAsAWriteWhateverItsMemorySays) {
  testing::TempDir dir;
  const std::filesystem::path fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // The kernel has read O_WRONLY; another thread of the opener then rewrites
  // the structure, so that a reader of its memory would see a read-only open.
  open_how how{};
  how.flags = O_WRONLY;
  WhileBlockedInOpen(
      fifo, O_RDONLY, SYS_openat2,
      [&] {
        const long fd = ::syscall(SYS_openat2, AT_FDCWD, fifo.c_str(), &how, sizeof(how));
        if (fd >= 0) ::close(static_cast<int>(fd));
      },
      [&](pid_t tid) {
        volatile __u64* flags = &how.flags;
        *flags = O_RDONLY;
        EXPECT_TRUE(tool::OpensForWriting(tid));
      });
}

}  // namespace
}  // namespace orv
