// The workers that handle held opens: a bounded queue, so that a burst of
// opens never makes the daemon grow without limit, and a fixed set of threads.
#ifndef ORV_TOOLS_ORV_PROTECT_WORKER_POOL_H_
#define ORV_TOOLS_ORV_PROTECT_WORKER_POOL_H_

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace orv::tool {

// An open the kernel holds until it is answered: its descriptor and the
// opening thread.
struct HeldOpen {
  int fd;
  pid_t tid;
};

class WorkerPool {
 public:
  using Handler = std::function<void(const HeldOpen&)>;

  // Starts workers threads, each calling handle for one queued open at a time
  // (handle answers it). At most limit opens wait in the queue.
  WorkerPool(unsigned workers, size_t limit, Handler handle);
  // Drains, unless Drain was called.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues held for a worker. False, with nothing queued, when the queue is
  // full or draining: the caller answers held itself.
  bool TryPush(const HeldOpen& held);

  // Lets the workers handle every open still queued, then joins them. Any
  // later TryPush fails. Idempotent.
  void Drain();

 private:
  void Work();

  const size_t limit_;
  const Handler handle_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<HeldOpen> queue_;
  bool draining_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_PROTECT_WORKER_POOL_H_
