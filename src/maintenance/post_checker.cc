#include "maintenance/post_checker.h"

#include <algorithm>
#include <numeric>
#include <utility>

#include "catalog/database_manager.h"
#include "engine/log.h"
#include "engine/timings.h"
#include "platform/module_hold.h"

namespace orv {
namespace {

// The wait result Stop reports when the thread outlived its wait.
constexpr uint32_t kWaitTimedOut = 0x102;

}  // namespace

CPostChecker::~CPostChecker() {
  // At a process's end on Windows the thread is gone already, maybe holding
  // the lock: nothing is left to wait for.
  if (ProcessIsEnding() && thread_.joinable()) {
    thread_.detach();
    return;
  }
  RequestStop();
  if (thread_.joinable()) thread_.join();
}

void CPostChecker::AddTask(std::function<void()> callback, uint32_t priority, uint32_t interval,
                           uint32_t id) {
  if (!callback) return;
  tasks_.push_back({std::move(callback), priority, interval, 0, id});
}

bool CPostChecker::RunNow(uint32_t ids) {
  std::unique_lock guard(lock_);
  if (!running_ || StopRequested()) return false;
  requested_ |= ids;
  const uint64_t serial = ++requestSerial_;
  changed_.notify_all();
  // The tasks may take long; the wait ends when they are done or the thread ends.
  while (!changed_.wait_for(guard, std::chrono::seconds(1),
                            [&] { return doneSerial_ >= serial || !running_; })) {
  }
  return doneSerial_ >= serial;
}

void CPostChecker::ClearTasks() { tasks_.clear(); }

void CPostChecker::JoinFinishedThread() {
  // A thread that outlived the last Stop's wait ends at its task's next check.
  if (thread_.joinable()) thread_.join();
}

uint32_t CPostChecker::Start() {
  {
    std::lock_guard guard(lock_);
    if (running_ && !stopRequested_.load()) {
      WriteLog(kLogLifecycle, u"Post Checker has already started.\n");
      return 1;
    }
  }
  JoinFinishedThread();
  std::vector<PostCheckTask> tasks = tasks_;
  // Within a tick the thread walks from the end: highest priority first and,
  // among equals, the one registered last first.
  std::stable_sort(tasks.begin(), tasks.end(), [](const PostCheckTask& a, const PostCheckTask& b) {
    return a.priority < b.priority;
  });
  uint32_t tick = 0;
  for (const PostCheckTask& task : tasks) tick = std::gcd(tick, task.interval);
  if (tick == 0) {
    // Nothing could ever fall due: a thread would only spin.
    WriteLog(kLogLifecycle, u"Post Checker exited.\n");
    return 0;
  }
  stopRequested_.store(false, std::memory_order_release);
  {
    std::lock_guard guard(lock_);
    running_ = true;
  }
  thread_ = std::thread(
      [this, tasks = std::move(tasks), tick]() mutable { Run(std::move(tasks), tick); });
  WriteLog(kLogLifecycle, u"Post Checker starting ...\n");
  return 1;
}

void CPostChecker::RequestStop() {
  {
    // Set under the lock: a thread that has just found no stop request must
    // be waiting, not about to wait, when the notification comes, or it
    // would sleep a whole tick.
    std::lock_guard guard(lock_);
    stopRequested_.store(true, std::memory_order_release);
  }
  changed_.notify_all();
}

void CPostChecker::Stop() {
  RequestStop();
  if (thread_.joinable()) {
    std::unique_lock guard(lock_);
    const bool ended = changed_.wait_for(guard, CurrentTimings().postCheckerStopWait,
                                         [this] { return !running_; });
    guard.unlock();
    if (ended) {
      thread_.join();
    } else {
      WriteLog(kLogThreadTimeout, u"Post Checker maybe not finished, dwWait = %08X!\n",
               kWaitTimedOut);
    }
  }
  WriteLog(kLogLifecycle, u"Post Checker exited.\n");
}

void CPostChecker::Run(std::vector<PostCheckTask> tasks, uint32_t tick) {
  WriteLog(kLogLifecycle, u"Post Checker started.\n");
  const auto tickLength = CurrentTimings().postCheckerSecond * tick;
  auto tickEnd = std::chrono::steady_clock::now() + tickLength;
  while (true) {
    uint32_t requested = 0;
    uint64_t serial = 0;
    {
      std::unique_lock guard(lock_);
      const bool woken = changed_.wait_until(guard, tickEnd,
                                             [this] { return StopRequested() || requested_ != 0; });
      if (StopRequested()) break;
      if (woken) {
        requested = std::exchange(requested_, 0);
        serial = requestSerial_;
      }
    }
    if (requested != 0) {
      // A run on request: not a tick, and the schedule's clock keeps going.
      for (auto task = tasks.rbegin(); task != tasks.rend(); ++task) {
        if ((task->id & requested) == 0) continue;
        const std::shared_ptr<CatalogConnection> lease = DbmLeaseConnection();
        task->callback();
        DbmDisconnect();
      }
      std::lock_guard guard(lock_);
      doneSerial_ = serial;
      changed_.notify_all();
      continue;
    }
    for (auto task = tasks.rbegin(); task != tasks.rend(); ++task) {
      task->elapsed += tick;
      if (task->elapsed < task->interval) continue;
      task->elapsed = 0;
      // Held for the task: a Stop that gives up waiting and closes every
      // connection leaves this one open until the task returns.
      const std::shared_ptr<CatalogConnection> lease = DbmLeaseConnection();
      task->callback();
      // The next run opens the catalog afresh: one made again meanwhile (a
      // store removed, an unreadable catalog replaced) is the one it must use.
      DbmDisconnect();
    }
    // The next wait begins once the due tasks have returned: a tick counts
    // waiting time, so time the tasks took is never caught up.
    tickEnd = std::chrono::steady_clock::now() + tickLength;
  }
  // The thread closes its own connection; nobody else may once it runs late.
  DbmDisconnect();
  WriteLog(kLogLifecycle, u"Post Checker stopped.\n");
  std::lock_guard guard(lock_);
  running_ = false;
  changed_.notify_all();
}

CPostChecker& ThePostChecker() {
  static CPostChecker checker;
  return checker;
}

}  // namespace orv
