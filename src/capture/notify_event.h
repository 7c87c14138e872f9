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

}  // namespace orv

#endif  // ORV_CAPTURE_NOTIFY_EVENT_H_
