// The exported C interface of libOrv.so: thin shells over the core that never
// let an exception cross into the host.
#include <orv/orv.h>

#include "capture/notify_event.h"
#include "engine/configure_manager.h"
#include "engine/export_guard.h"
#include "engine/lifecycle.h"

namespace {

template <typename Call>
uint32_t Guarded(Call call) noexcept {
  return orv::Guarded(ENG_E_OUT_OF_MEMORY, call);
}

}  // namespace

extern "C" {

ORV_EXPORT uint32_t Initialize(void) { return Guarded(orv::EngineInitialize); }
ORV_EXPORT uint32_t Start(void) { return Guarded(orv::EngineStart); }
ORV_EXPORT uint32_t Stop(void) { return Guarded(orv::EngineStop); }
ORV_EXPORT uint32_t Finalize(void) { return Guarded(orv::EngineFinalize); }

ORV_EXPORT uint32_t ChangeConfigure(uint32_t item, void* value) {
  return Guarded([&] { return orv::TheConfiguration().Change(item, value); });
}

ORV_EXPORT uint32_t QueryConfigure(uint32_t item, void* value) {
  return Guarded([&] { return orv::TheConfiguration().Query(item, value); });
}

ORV_EXPORT uint32_t NotifyEvent(const FileEventRecord* record) {
  return Guarded([&] { return orv::HandleNotifyEvent(record); });
}

ORV_EXPORT uint32_t OrvNotifyOpenedFile(const FileEventRecord* record, int descriptor) {
  return Guarded([&] { return orv::HandleNotifyEventWithFile(record, descriptor); });
}

ORV_EXPORT uint32_t OrvNotifyKeptFile(const FileEventRecord* record, const char16_t* keptFile) {
  return Guarded([&] { return orv::HandleNotifyKeptFile(record, keptFile); });
}

}  // extern "C"
