// The entry point of host events.
#ifndef ORV_CAPTURE_NOTIFY_EVENT_H_
#define ORV_CAPTURE_NOTIFY_EVENT_H_

#include <orv/orv.h>

#include <cstdint>

#include "platform/env.h"

namespace orv {

// Accepts an event only while the engine is started (checked first) and only
// with a record; reads nothing of the record otherwise. Returns ENG_OK for
// every accepted event, whatever becomes of it: a fault while it is handled is
// logged, never returned.
uint32_t HandleNotifyEvent(const FileEventRecord* record) noexcept;

// The same, for an event whose file the host holds open under lentHandle (a
// native handle, lent for this call): an open's copy reads that file, never its
// path opened again. ENG_E_INVALID_ARGUMENT for a negative handle, after the state
// and record checks.
uint32_t HandleNotifyEventWithFile(const FileEventRecord* record, intptr_t lentHandle) noexcept;

// A deletion or replacement whose old content the host kept in keptFile (see
// CBackupModule::RecordKept for what is returned). ENG_E_WRONG_STATE unless
// started (checked first); ENG_E_INVALID_ARGUMENT for a null record, FilePath
// or keptFile, a record type but RECORD_TYPE_FILE, or an operation but
// FILE_OP_DELETE or FILE_OP_RENAME. A fault while it is handled is logged and
// answers ORV_E_NOT_KEPT.
uint32_t HandleNotifyKeptFile(const FileEventRecord* record, const char16_t* keptFile) noexcept;

}  // namespace orv

#endif  // ORV_CAPTURE_NOTIFY_EVENT_H_
