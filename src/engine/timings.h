// The engine's periods. Constants in production; tests shorten them through
// SetTimingsForTesting so that no test waits for the real periods. Never a
// setting of the exported interface.
#ifndef ORV_ENGINE_TIMINGS_H_
#define ORV_ENGINE_TIMINGS_H_

#include <chrono>

namespace orv {

struct EngineTimings {
  // How long a statement waits for another connection's lock on the catalog.
  std::chrono::milliseconds catalogBusyTimeout{2000};
  // The catalog writer's cycle.
  std::chrono::milliseconds writerPeriod{10000};
  // How long after its close a pending deletion waits for a delete event.
  std::chrono::milliseconds pendingExpiry{2000};
  // The length of one second of the post checker's schedule.
  std::chrono::milliseconds postCheckerSecond{1000};
  // How long Stop waits for the post checker to end.
  std::chrono::milliseconds postCheckerStopWait{5000};
  // Whether a batch makes its copies durable before it commits (benchmarks
  // measure the cost by turning it off).
  bool syncCopiesBeforeCommit = true;
};

// The periods in force; read from any thread.
EngineTimings CurrentTimings();

// Replaces the periods (tests only, while the engine is not started).
void SetTimingsForTesting(const EngineTimings& timings);

}  // namespace orv

#endif  // ORV_ENGINE_TIMINGS_H_
