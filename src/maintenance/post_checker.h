// The post checker: the engine's maintenance thread. It sleeps one tick (the
// greatest common divisor of the tasks' intervals) at a time and then runs
// every task whose interval has run out, highest priority first.
#ifndef ORV_MAINTENANCE_POST_CHECKER_H_
#define ORV_MAINTENANCE_POST_CHECKER_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace orv {

struct PostCheckTask {
  std::function<void()> callback;
  uint32_t priority = 0;  // larger runs earlier within a tick
  uint32_t interval = 0;  // seconds
  uint32_t elapsed = 0;   // seconds waited since it last ran
  uint32_t id = 0;        // for runs on request: a bit of its own, or 0
};

class CPostChecker {
 public:
  CPostChecker() = default;
  // Stops the thread and waits for it: unloading never leaves it running.
  virtual ~CPostChecker();
  CPostChecker(const CPostChecker&) = delete;
  CPostChecker& operator=(const CPostChecker&) = delete;

  // Only while no thread runs. A null callback is not added.
  void AddTask(std::function<void()> callback, uint32_t priority, uint32_t interval,
               uint32_t id = 0);
  // Forgets every task, so that a restart registers them once.
  void ClearTasks();

  // 1 when the thread runs (now or already), 0 when it could not be started.
  uint32_t Start();
  // Asks the thread to stop and waits for it a while (never kills it): a task
  // that is still running ends at its next check of StopRequested(), and the
  // thread is joined by the next Start or at unload.
  void Stop();
  // True when the last Stop left the thread running (a task that did not end
  // in time): the library must stay loaded until it has been joined.
  bool ThreadLeftRunning() const { return thread_.joinable(); }

  size_t taskCount() const { return tasks_.size(); }

  // Runs the tasks whose id is in ids on the thread, at once and in the
  // schedule's order, and waits for them. False when the thread is not
  // running or stops first.
  bool RunNow(uint32_t ids);

  // Tasks check this between files and inside long loops.
  bool StopRequested() const { return stopRequested_.load(std::memory_order_acquire); }

 private:
  void Run(std::vector<PostCheckTask> tasks, uint32_t tick);
  void JoinFinishedThread();
  void RequestStop();

  std::vector<PostCheckTask> tasks_;
  std::thread thread_;
  std::atomic<bool> stopRequested_{false};
  std::mutex lock_;
  std::condition_variable changed_;
  bool running_ = false;        // guarded by lock_: a thread was started and has not ended
  uint32_t requested_ = 0;      // guarded by lock_: ids asked for by RunNow
  uint64_t requestSerial_ = 0;  // guarded by lock_
  uint64_t doneSerial_ = 0;     // guarded by lock_
};

// The process-wide post checker.
CPostChecker& ThePostChecker();

}  // namespace orv

#endif  // ORV_MAINTENANCE_POST_CHECKER_H_
