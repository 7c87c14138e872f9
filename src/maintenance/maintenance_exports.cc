// Extension exports for Orv's own tools: maintenance on demand and the quota.
#include <orv/orv.h>

#include "engine/lifecycle.h"
#include "maintenance/post_checker.h"
#include "maintenance/retention_cleanup.h"

extern "C" {

ORV_EXPORT uint32_t OrvRunMaintenance(uint32_t tasks) {
  try {
    constexpr uint32_t kKnown = ORV_TASK_DIGEST | ORV_TASK_SIGNATURES | ORV_TASK_RETENTION;
    if (orv::EngineState() != STATE_STARTED) return ENG_E_WRONG_STATE;
    if ((tasks & kKnown) == 0) return ENG_E_INVALID_ARGUMENT;
    return orv::ThePostChecker().RunNow(tasks & kKnown) ? ENG_OK : ENG_E_WRONG_STATE;
  } catch (...) {
    return ENG_E_OUT_OF_MEMORY;
  }
}

ORV_EXPORT uint32_t OrvSetRetentionQuota(uint64_t bytes) {
  if (bytes == 0) return ENG_E_INVALID_ARGUMENT;
  orv::SetRetentionQuota(bytes);
  return ENG_OK;
}

}  // extern "C"
