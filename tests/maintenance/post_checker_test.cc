#include "maintenance/post_checker.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/lifecycle.h"
#include "engine/timings.h"
#include "support/engine_fixture.h"

namespace orv {
namespace {

// Records which task ran, tick by tick, with a schedule in milliseconds.
class Schedule {
 public:
  explicit Schedule(std::chrono::milliseconds second = std::chrono::milliseconds(1)) {
    EngineTimings timings;
    timings.postCheckerSecond = second;
    timings.postCheckerStopWait = std::chrono::milliseconds(100);
    SetTimingsForTesting(timings);
  }
  ~Schedule() { SetTimingsForTesting(EngineTimings{}); }

  std::function<void()> Task(const std::string& name) {
    return [this, name] {
      std::lock_guard guard(lock_);
      runs_ += name;
      changed_.notify_all();
    };
  }
  // Waits until the record holds at least length characters.
  std::string WaitFor(size_t length) {
    std::unique_lock guard(lock_);
    changed_.wait_for(guard, std::chrono::seconds(20), [&] { return runs_.size() >= length; });
    return runs_.substr(0, length);
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::string runs_;
};

TEST(PostCheckerTest, TasksRunByTickAndPriority) {
  Schedule schedule;
  CPostChecker checker;
  // The engine's 300/300/3600 schedule, in milliseconds; "." marks each tick.
  checker.AddTask(schedule.Task("D"), 120, 3);
  checker.AddTask(schedule.Task("S"), 80, 3);
  checker.AddTask(schedule.Task("R"), 0, 36);
  checker.AddTask(nullptr, 200, 3);  // not added
  ASSERT_EQ(checker.Start(), 1u);
  std::string expected;
  for (int tick = 1; tick <= 24; ++tick) expected += tick % 12 == 0 ? "DSR" : "DS";
  EXPECT_EQ(schedule.WaitFor(expected.size()), expected);
  EXPECT_EQ(checker.Start(), 1u) << "already running: no second thread";
  checker.Stop();
}

TEST(PostCheckerTest, TheTickIsTheGreatestCommonDivisorAndEqualsRunInReverse) {
  Schedule schedule;
  CPostChecker checker;
  checker.AddTask(schedule.Task("."), 0, 1);  // the lowest: closes every tick
  checker.AddTask(schedule.Task("a"), 50, 2);
  checker.AddTask(schedule.Task("b"), 60, 3);
  checker.AddTask(schedule.Task("x"), 10, 6);
  checker.AddTask(schedule.Task("y"), 10, 6);  // same priority, registered later: first
  ASSERT_EQ(checker.Start(), 1u);
  EXPECT_EQ(schedule.WaitFor(13), ".a.b.a..bayx.");
  checker.Stop();
}

TEST(PostCheckerTest, StopEndsAWaitAtOnceAndOutwaitsNoTask) {
  Schedule schedule(std::chrono::milliseconds(1000));
  CPostChecker checker;
  bool ran = false;
  checker.AddTask([&] { ran = true; }, 0, 3600);
  ASSERT_EQ(checker.Start(), 1u);
  const auto before = std::chrono::steady_clock::now();
  checker.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
  EXPECT_FALSE(ran);

  // A task that ignores the stop request for longer than Stop waits: Stop
  // returns anyway, and the next Start joins the old thread first.
  Schedule fast;
  CPostChecker slow;
  std::atomic<bool> release{false};
  std::atomic<int> runs{0};
  slow.AddTask(
      [&] {
        ++runs;
        while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      },
      0, 1);
  ASSERT_EQ(slow.Start(), 1u);
  while (runs.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  slow.Stop();  // gives up after its 100 ms wait
  release.store(true);
  ASSERT_EQ(slow.Start(), 1u);
  slow.Stop();
}

// A task that takes four ticks delays the next wait by as much: the wait
// begins when the task returns, and the missed ticks are never caught up.
TEST(PostCheckerTest, TheNextWaitBeginsOnlyAfterTheDueTasksReturn) {
  using Clock = std::chrono::steady_clock;
  const std::chrono::milliseconds tick(100);
  Schedule schedule(tick);
  std::mutex lock;
  std::condition_variable changed;
  std::vector<Clock::time_point> starts, ends;
  CPostChecker checker;
  checker.AddTask(
      [&] {
        const Clock::time_point start = Clock::now();
        if (starts.empty()) std::this_thread::sleep_for(4 * tick);
        std::lock_guard guard(lock);
        starts.push_back(start);
        ends.push_back(Clock::now());
        changed.notify_all();
      },
      0, 1);
  ASSERT_EQ(checker.Start(), 1u);
  {
    std::unique_lock guard(lock);
    ASSERT_TRUE(
        changed.wait_for(guard, std::chrono::seconds(20), [&] { return starts.size() >= 3; }));
  }
  checker.Stop();
  EXPECT_GE(starts[1] - ends[0], tick) << "a whole tick after the long run returned";
  EXPECT_GE(starts[2] - ends[1], tick);
}

TEST(PostCheckerTest, TasksRunOnRequestInScheduleOrder) {
  Schedule schedule(std::chrono::milliseconds(1000));  // no tick comes during the test
  CPostChecker checker;
  checker.AddTask(schedule.Task("R"), 0, 3600, 4);
  checker.AddTask(schedule.Task("D"), 120, 300, 1);
  checker.AddTask(schedule.Task("S"), 80, 300, 2);
  EXPECT_FALSE(checker.RunNow(7)) << "no thread yet";
  ASSERT_EQ(checker.Start(), 1u);
  ASSERT_TRUE(checker.RunNow(4 | 1));
  EXPECT_EQ(schedule.WaitFor(2), "DR");
  ASSERT_TRUE(checker.RunNow(2));
  EXPECT_EQ(schedule.WaitFor(3), "DRS");
  checker.Stop();
  EXPECT_FALSE(checker.RunNow(1));
}

TEST(PostCheckerTest, AScheduleWithNothingDueNeverStarts) {
  CPostChecker checker;
  EXPECT_EQ(checker.Start(), 0u);
  checker.AddTask([] {}, 0, 0);
  EXPECT_EQ(checker.Start(), 0u);
}

class EngineScheduleTest : public testing::EngineFixture {};

TEST_F(EngineScheduleTest, EachStartRegistersTheTasksOnce) {
  StartEngine();
  EXPECT_EQ(ThePostChecker().taskCount(), 3u);
  StopEngine();
  StartEngine();
  EXPECT_EQ(ThePostChecker().taskCount(), 3u);
  StopEngine();
  const std::vector<std::string> all = testing::AllLogMessages(logs_ / "orv.log");
  EXPECT_EQ(std::count(all.begin(), all.end(), "Post Checker exited."), 2);
  EXPECT_EQ(std::count(all.begin(), all.end(), "Post Checker stopped."), 2);
}

}  // namespace
}  // namespace orv
