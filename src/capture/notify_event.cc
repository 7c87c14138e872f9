#include "capture/notify_event.h"

#include "capture/backup_module.h"
#include "engine/lifecycle.h"

namespace orv {

uint32_t HandleNotifyEvent(const FileEventRecord* record) {
  if (EngineState() != STATE_STARTED) return ENG_E_WRONG_STATE;
  if (record == nullptr) return ENG_E_INVALID_ARGUMENT;
  TheBackupModule().Dispatch(*record);
  return ENG_OK;
}

}  // namespace orv
