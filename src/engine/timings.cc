#include "engine/timings.h"

#include <atomic>

namespace orv {
namespace {

struct AtomicTimings {
  std::atomic<int64_t> catalogBusyTimeoutMs{EngineTimings{}.catalogBusyTimeout.count()};
  std::atomic<int64_t> writerPeriodMs{EngineTimings{}.writerPeriod.count()};
  std::atomic<int64_t> pendingExpiryMs{EngineTimings{}.pendingExpiry.count()};
  std::atomic<int64_t> postCheckerSecondMs{EngineTimings{}.postCheckerSecond.count()};
  std::atomic<int64_t> postCheckerStopWaitMs{EngineTimings{}.postCheckerStopWait.count()};
  std::atomic<bool> syncCopiesBeforeCommit{EngineTimings{}.syncCopiesBeforeCommit};
};

AtomicTimings g_timings;

}  // namespace

EngineTimings CurrentTimings() {
  EngineTimings timings;
  timings.catalogBusyTimeout = std::chrono::milliseconds(g_timings.catalogBusyTimeoutMs.load());
  timings.writerPeriod = std::chrono::milliseconds(g_timings.writerPeriodMs.load());
  timings.pendingExpiry = std::chrono::milliseconds(g_timings.pendingExpiryMs.load());
  timings.postCheckerSecond = std::chrono::milliseconds(g_timings.postCheckerSecondMs.load());
  timings.postCheckerStopWait = std::chrono::milliseconds(g_timings.postCheckerStopWaitMs.load());
  timings.syncCopiesBeforeCommit = g_timings.syncCopiesBeforeCommit.load();
  return timings;
}

void SetTimingsForTesting(const EngineTimings& timings) {
  g_timings.catalogBusyTimeoutMs.store(timings.catalogBusyTimeout.count());
  g_timings.writerPeriodMs.store(timings.writerPeriod.count());
  g_timings.pendingExpiryMs.store(timings.pendingExpiry.count());
  g_timings.postCheckerSecondMs.store(timings.postCheckerSecond.count());
  g_timings.postCheckerStopWaitMs.store(timings.postCheckerStopWait.count());
  g_timings.syncCopiesBeforeCommit.store(timings.syncCopiesBeforeCommit);
}

}  // namespace orv
