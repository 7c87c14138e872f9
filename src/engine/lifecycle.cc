#include "engine/lifecycle.h"

#include <orv/orv.h>

#include <atomic>
#include <mutex>

#include "capture/backup_module.h"
#include "catalog/database_manager.h"
#include "engine/configure_manager.h"
#include "engine/log.h"
#include "maintenance/digest_check.h"
#include "maintenance/post_checker.h"
#include "maintenance/retention_cleanup.h"
#include "maintenance/signature_check.h"
#include "platform/module_hold.h"

namespace orv {
namespace {

std::atomic<uint32_t> g_engineState{STATE_UNINITIALIZED};

// The host drives the lifecycle from one thread at a time; the lock keeps two
// racing calls from both passing the same state test anyway.
std::mutex g_lifecycleLock;

// Start and Stop never fail once their state test passed: a step that throws
// anything (memory ran out) is abandoned and the sequence goes on with the
// next one.
template <typename Step>
void RunStep(Step step) noexcept {
  try {
    step();
  } catch (...) {
  }
}

void StartSequence() {
  CConfigureManager& config = TheConfiguration();
  RunStep([&] { TheLog().Setup(config.GetLogLevel(), config.GetLogFilePath()); });
  // A catalog that cannot be placed leaves the queries answering "nothing".
  RunStep([&] { DbmInitialize(config.GetBackupStore()); });
  // Registered afresh at each start: a restart never doubles a task.
  RunStep([] {
    CPostChecker& checker = ThePostChecker();
    checker.ClearTasks();
    const auto stop = [&checker] { return checker.StopRequested(); };
    checker.AddTask([stop] { DigestCheckTask(stop); }, 120, 300, ORV_TASK_DIGEST);
    checker.AddTask([stop] { SignatureCheckTask(stop); }, 80, 300, ORV_TASK_SIGNATURES);
    checker.AddTask([stop] { RetentionCleanupTask(stop, RetentionQuota()); }, 0, 3600,
                    ORV_TASK_RETENTION);
  });
  RunStep([&] { TheBackupModule().SetPolicyDirectory(config.GetPolicyDirectory()); });
  // Without a policy the engine still runs: events are accepted, nothing is copied.
  RunStep([] { TheBackupModule().Start(); });
  RunStep([] { ThePostChecker().Start(); });
}

void StopSequence() {
  // The final batch of confirmed editions is written here, before the
  // catalog closes.
  RunStep([] { TheBackupModule().Stop(); });
  RunStep([] { WriteLog(kLogLifecycle, u"[Backup Module] Stopped\n"); });
  RunStep([] { ThePostChecker().Stop(); });
  RunStep([] { DbmFinalize(); });
  RunStep([] { TheLog().TakeDown(); });
}

}  // namespace

uint32_t EngineState() { return g_engineState.load(std::memory_order_acquire); }

uint32_t EngineInitialize() {
  std::lock_guard guard(g_lifecycleLock);
  if (EngineState() != STATE_UNINITIALIZED) return ENG_E_WRONG_STATE;
  g_engineState.store(STATE_INITIALIZED, std::memory_order_release);
  return ENG_OK;
}

uint32_t EngineStart() {
  std::lock_guard guard(g_lifecycleLock);
  if (EngineState() != STATE_INITIALIZED) return ENG_E_WRONG_STATE;
  HoldThisModule();
  StartSequence();
  g_engineState.store(STATE_STARTED, std::memory_order_release);
  return ENG_OK;
}

uint32_t EngineStop() {
  std::lock_guard guard(g_lifecycleLock);
  if (EngineState() != STATE_STARTED) return ENG_E_WRONG_STATE;
  StopSequence();
  g_engineState.store(STATE_STOPPED, std::memory_order_release);
  // A maintenance thread that outlived Stop still runs the library's code.
  if (!ThePostChecker().ThreadLeftRunning()) ReleaseThisModule();
  return ENG_OK;
}

uint32_t EngineFinalize() {
  std::lock_guard guard(g_lifecycleLock);
  const uint32_t state = EngineState();
  if (state != STATE_INITIALIZED && state != STATE_STOPPED) return ENG_E_WRONG_STATE;
  // A restart starts clean: a store opened for reading is closed too.
  if (IsCatalogReadOnly()) DbmFinalize();
  g_engineState.store(STATE_UNINITIALIZED, std::memory_order_release);
  return ENG_OK;
}

uint32_t EngineOpenStoreReadOnly(const std::u16string& store) {
  std::lock_guard guard(g_lifecycleLock);
  if (EngineState() == STATE_STARTED) return ENG_E_WRONG_STATE;
  if (store.empty()) return ENG_E_INVALID_ARGUMENT;
  switch (DbmOpenReadOnly(store)) {
    case ReadOnlyOpen::kOpened:
      return ENG_OK;
    case ReadOnlyOpen::kNoCatalog:
      return ORV_E_NO_CATALOG;
    case ReadOnlyOpen::kAccessDenied:
      return ORV_E_ACCESS_DENIED;
    case ReadOnlyOpen::kNotAFile:
      return ORV_E_NOT_A_FILE;
    case ReadOnlyOpen::kUnreadable:
      return ORV_E_UNREADABLE_CATALOG;
    case ReadOnlyOpen::kBusy:
      return ORV_E_CATALOG_BUSY;
  }
  return ORV_E_UNREADABLE_CATALOG;
}

uint32_t EngineCloseStore() {
  std::lock_guard guard(g_lifecycleLock);
  if (EngineState() == STATE_STARTED) return ENG_E_WRONG_STATE;
  if (IsCatalogReadOnly()) DbmFinalize();
  return ENG_OK;
}

}  // namespace orv
