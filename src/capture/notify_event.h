// The entry point of host events.
#ifndef ORV_CAPTURE_NOTIFY_EVENT_H_
#define ORV_CAPTURE_NOTIFY_EVENT_H_

#include <orv/orv.h>

#include <cstdint>

namespace orv {

// Accepts an event only while the engine is started (checked first) and only
// with a record; reads nothing of the record otherwise. Returns ENG_OK for
// every accepted event, whatever becomes of it: a fault while it is handled is
// logged, never returned.
uint32_t HandleNotifyEvent(const FileEventRecord* record) noexcept;

}  // namespace orv

#endif  // ORV_CAPTURE_NOTIFY_EVENT_H_
