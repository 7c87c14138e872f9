#include "capture/notify_event.h"

#include <exception>
#include <new>
#include <system_error>

#include "capture/backup_module.h"
#include "engine/lifecycle.h"
#include "engine/log.h"
#include "platform/text.h"

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

// Runs handle; false when a fault inside the engine (memory ran out, a lock
// the system refused) cost the event, which is logged: it never reaches the
// host's call.
template <typename Call>
bool WithoutFault(const FileEventRecord& record, Call handle) noexcept {
  try {
    handle();
    return true;
  } catch (const std::bad_alloc&) {
    LogLostEvent(record, u"out of memory");
  } catch (const std::system_error&) {
    LogLostEvent(record, u"a system resource was refused");
  } catch (...) {
    LogLostEvent(record, u"an internal fault");
  }
  return false;
}

uint32_t Handle(const FileEventRecord* record, intptr_t lentHandle, bool lent) noexcept {
  if (EngineState() != STATE_STARTED) return ENG_E_WRONG_STATE;
  if (record == nullptr) return ENG_E_INVALID_ARGUMENT;
  if (lent && lentHandle < 0) return ENG_E_INVALID_ARGUMENT;
  // The host's operation goes on whatever became of its event.
  WithoutFault(*record, [&] { TheBackupModule().Dispatch(*record, lentHandle); });
  return ENG_OK;
}

}  // namespace

uint32_t HandleNotifyEvent(const FileEventRecord* record) noexcept {
  return Handle(record, Env::kNoLentHandle, false);
}

uint32_t HandleNotifyEventWithFile(const FileEventRecord* record, intptr_t lentHandle) noexcept {
  return Handle(record, lentHandle, true);
}

uint32_t HandleNotifyKeptFile(const FileEventRecord* record, const char16_t* keptFile) noexcept {
  if (EngineState() != STATE_STARTED) return ENG_E_WRONG_STATE;
  if (record == nullptr || record->FilePath == nullptr || keptFile == nullptr ||
      record->RecordType != RECORD_TYPE_FILE ||
      (record->FileOperation != FILE_OP_DELETE && record->FileOperation != FILE_OP_RENAME)) {
    return ENG_E_INVALID_ARGUMENT;
  }
  // Unlike a plain event, the host learns whether the content was taken: it
  // is about to remove the only other copy of it.
  uint32_t result = ORV_E_NOT_KEPT;
  WithoutFault(*record, [&] {
    result =
        TheBackupModule().RecordKept(*record, std::u16string_view(keptFile, Utf16Length(keptFile)));
  });
  return result;
}

}  // namespace orv
