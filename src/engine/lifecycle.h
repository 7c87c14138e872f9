// The engine's life: Initialize, Start, Stop, Finalize move EngineState through
// its four states; Start and Stop bring every subsystem up and down in a fixed
// order.
#ifndef ORV_ENGINE_LIFECYCLE_H_
#define ORV_ENGINE_LIFECYCLE_H_

#include <cstdint>
#include <string>

namespace orv {

// STATE_UNINITIALIZED .. STATE_STOPPED; readable from any thread without a lock.
uint32_t EngineState();

uint32_t EngineInitialize();
uint32_t EngineStart();
uint32_t EngineStop();
uint32_t EngineFinalize();

// Opens an existing store for the queries, read-only, in any state but
// started (ENG_E_WRONG_STATE then); the ORV_E_* reason when it cannot be read.
// Start and Finalize close it.
uint32_t EngineOpenStoreReadOnly(const std::u16string& store);
uint32_t EngineCloseStore();

}  // namespace orv

#endif  // ORV_ENGINE_LIFECYCLE_H_
