#include "protect/worker_pool.h"

#include <utility>

namespace orv::tool {

WorkerPool::WorkerPool(unsigned workers, size_t limit, Handler handle, QueueDeadline deadline)
    : limit_(limit), handle_(std::move(handle)), deadline_(std::move(deadline)) {
  for (unsigned i = 0; i < workers; ++i) workers_.emplace_back([this] { Work(); });
}

WorkerPool::~WorkerPool() { Drain(); }

bool WorkerPool::TryPush(const HeldOpen& held) {
  {
    std::lock_guard guard(lock_);
    if (draining_ || queue_.size() >= limit_) return false;
    queue_.push_back({held, deadline_.clock()});
  }
  changed_.notify_one();
  return true;
}

void WorkerPool::Drain() {
  {
    std::lock_guard guard(lock_);
    draining_ = true;
  }
  changed_.notify_all();
  for (std::thread& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
}

void WorkerPool::Work() {
  while (true) {
    Queued next;
    {
      std::unique_lock guard(lock_);
      changed_.wait(guard, [this] { return !queue_.empty() || draining_; });
      if (queue_.empty()) return;  // draining and nothing left
      next = queue_.front();
      queue_.pop_front();
    }
    if (deadline_.late && deadline_.clock() - next.since > deadline_.maxWait) {
      deadline_.late(next.held);
    } else {
      handle_(next.held);
    }
  }
}

}  // namespace orv::tool
