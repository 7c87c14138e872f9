// The worker pool: every queued open is handled, the queue is bounded, and a
// drained pool takes nothing more.
#include "protect/worker_pool.h"

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <set>

#include <gtest/gtest.h>

namespace orv {
namespace {

using tool::HeldOpen;

TEST(WorkerPoolTest, DrainHandlesEveryQueuedOpenThenRefusesMore) {
  std::mutex lock;
  std::multiset<int> handled;
  tool::WorkerPool pool(3, 100, [&](const HeldOpen& held) {
    std::lock_guard guard(lock);
    handled.insert(held.fd);
  });
  std::multiset<int> pushed;
  for (int fd = 0; fd < 50; ++fd) {
    ASSERT_TRUE(pool.TryPush({fd, 1}));
    pushed.insert(fd);
  }
  pool.Drain();
  EXPECT_EQ(handled, pushed);
  EXPECT_FALSE(pool.TryPush({99, 1})) << "the caller answers it";
  pool.Drain();  // a second drain is harmless
}

TEST(WorkerPoolTest, AFullQueueRefusesAnOpen) {
  constexpr size_t kLimit = 4;
  std::promise<void> started, release;
  std::shared_future<void> released = release.get_future().share();
  std::mutex lock;
  std::set<int> handled;
  tool::WorkerPool pool(1, kLimit, [&](const HeldOpen& held) {
    if (held.fd == 0) {
      started.set_value();
      released.wait();
    }
    std::lock_guard guard(lock);
    handled.insert(held.fd);
  });
  ASSERT_TRUE(pool.TryPush({0, 1}));
  started.get_future().wait();  // the only worker is busy; the queue is empty
  for (int fd = 1; fd <= static_cast<int>(kLimit); ++fd) EXPECT_TRUE(pool.TryPush({fd, 1}));
  EXPECT_FALSE(pool.TryPush({100, 1}));
  release.set_value();
  pool.Drain();
  EXPECT_EQ(handled, (std::set<int>{0, 1, 2, 3, 4}));
}

// Opens queued behind a slow copy are answered by the late handler once they
// waited too long, and the rest are handled as ever.
TEST(WorkerPoolTest, AnOpenThatWaitedTooLongGoesToTheLateHandler) {
  std::atomic<int64_t> now{0};
  std::promise<void> started, release;
  std::shared_future<void> released = release.get_future().share();
  std::mutex lock;
  std::set<int> handled, late;
  tool::QueueDeadline deadline;
  deadline.maxWait = std::chrono::seconds(30);
  deadline.clock = [&] { return std::chrono::steady_clock::time_point(std::chrono::seconds(now)); };
  deadline.late = [&](const HeldOpen& held) {
    std::lock_guard guard(lock);
    late.insert(held.fd);
  };
  tool::WorkerPool pool(
      1, 10,
      [&](const HeldOpen& held) {
        if (held.fd == 0) {
          started.set_value();
          released.wait();
        }
        std::lock_guard guard(lock);
        handled.insert(held.fd);
      },
      deadline);
  ASSERT_TRUE(pool.TryPush({0, 1}));
  started.get_future().wait();
  ASSERT_TRUE(pool.TryPush({1, 1}));  // queued at 0 s
  now = 20;
  ASSERT_TRUE(pool.TryPush({2, 1}));  // queued at 20 s
  now = 31;                           // 1 waited 31 s, 2 only 11 s
  release.set_value();
  pool.Drain();
  EXPECT_EQ(handled, (std::set<int>{0, 2}));
  EXPECT_EQ(late, (std::set<int>{1}));
}

}  // namespace
}  // namespace orv
