// A stop request that wakes a thread waiting on a descriptor: the readers of
// the fanotify groups poll their group and this together.
#ifndef ORV_TOOLS_ORV_PROTECT_STOP_SIGNAL_H_
#define ORV_TOOLS_ORV_PROTECT_STOP_SIGNAL_H_

#include <atomic>

#include "platform/unique_fd.h"

namespace orv::tool {

// Thread-safe.
class StopSignal {
 public:
  // Throws ToolError when its pipe cannot be made.
  StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  // Wakes every WaitReadable and Pause, now and later.
  void Request();

  // True when fd became readable, false once a stop is requested.
  bool WaitReadable(int fd);

  // Waits milliseconds, or less when a stop is requested.
  void Pause(int milliseconds);

 private:
  UniqueFd read_, write_;
  std::atomic<bool> requested_{false};
};

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_PROTECT_STOP_SIGNAL_H_
