#include "capture/notify_event.h"

#include <exception>
#include <new>
#include <system_error>

#include "capture/backup_module.h"
#include "engine/lifecycle.h"
#include "engine/log.h"

namespace orv {
namespace {

// Says which event a fault inside the engine cost. Reads nothing of the record
// but its operation code: the fault may have come from anywhere in it.
void LogLostEvent(const FileEventRecord& record, const char16_t* why) noexcept {
  try {
    WriteLog(kLogStoreFault, u"[Backup Module] an event (operation %d) was lost: %s\n",
             record.FileOperation, why);
  } catch (...) {
    // Nowhere left to tell: the host's call still succeeds.
  }
}

}  // namespace

namespace {

uint32_t Handle(const FileEventRecord* record, intptr_t lentHandle, bool lent) noexcept {
  if (EngineState() != STATE_STARTED) return ENG_E_WRONG_STATE;
  if (record == nullptr) return ENG_E_INVALID_ARGUMENT;
  if (lent && lentHandle < 0) return ENG_E_INVALID_ARGUMENT;
  // The host's operation goes on whatever became of its event: a fault inside
  // the engine (memory ran out, a lock the system refused) loses the event,
  // never the host's call.
  try {
    TheBackupModule().Dispatch(*record, lentHandle);
  } catch (const std::bad_alloc&) {
    LogLostEvent(*record, u"out of memory");
  } catch (const std::system_error&) {
    LogLostEvent(*record, u"a system resource was refused");
  } catch (...) {
    LogLostEvent(*record, u"an internal fault");
  }
  return ENG_OK;
}

}  // namespace

uint32_t HandleNotifyEvent(const FileEventRecord* record) noexcept {
  return Handle(record, Env::kNoLentHandle, false);
}

uint32_t HandleNotifyEventWithFile(const FileEventRecord* record, intptr_t lentHandle) noexcept {
  return Handle(record, lentHandle, true);
}

}  // namespace orv
