// The workers that handle held opens: a bounded queue, so that a burst of
// opens never makes the daemon grow without limit, and a fixed set of threads.
#ifndef ORV_TOOLS_ORV_PROTECT_WORKER_POOL_H_
#define ORV_TOOLS_ORV_PROTECT_WORKER_POOL_H_

#include <sys/types.h>

#include <chrono>
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

// How long a held open may wait in the queue before a worker takes it, and
// what handles one that waited longer. The clock is the pool's time source.
struct QueueDeadline {
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  std::chrono::milliseconds maxWait = std::chrono::seconds(30);
  std::function<void(const HeldOpen&)> late;  // must answer the open
  Clock clock = [] { return std::chrono::steady_clock::now(); };
};

class WorkerPool {
 public:
  using Handler = std::function<void(const HeldOpen&)>;

  // Starts workers threads, each calling handle for one queued open at a time
  // (handle answers it). At most limit opens wait in the queue. With a
  // deadline, an open that waited longer than its maxWait goes to its late
  // handler instead: the opener is never held for the copies queued before it
  // without bound.
  WorkerPool(unsigned workers, size_t limit, Handler handle, QueueDeadline deadline = {});
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

  struct Queued {
    HeldOpen held;
    std::chrono::steady_clock::time_point since;
  };

  const size_t limit_;
  const Handler handle_;
  const QueueDeadline deadline_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Queued> queue_;
  bool draining_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_PROTECT_WORKER_POOL_H_
