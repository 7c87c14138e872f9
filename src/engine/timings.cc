#include "engine/timings.h"

#include <atomic>

namespace orv {
namespace {

std::atomic<int64_t> g_catalogBusyTimeoutMs{EngineTimings{}.catalogBusyTimeout.count()};

}  // namespace

EngineTimings CurrentTimings() {
  EngineTimings timings;
  timings.catalogBusyTimeout = std::chrono::milliseconds(g_catalogBusyTimeoutMs.load());
  return timings;
}

void SetTimingsForTesting(const EngineTimings& timings) {
  g_catalogBusyTimeoutMs.store(timings.catalogBusyTimeout.count());
}

void ResetTimingsForTesting() { SetTimingsForTesting(EngineTimings{}); }

}  // namespace orv
