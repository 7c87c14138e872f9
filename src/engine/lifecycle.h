// The engine's life: Initialize, Start, Stop, Finalize move EngineState through
// its four states; Start and Stop bring every subsystem up and down in a fixed
// order.
#ifndef ORV_ENGINE_LIFECYCLE_H_
#define ORV_ENGINE_LIFECYCLE_H_

#include <cstdint>

namespace orv {

// STATE_UNINITIALIZED .. STATE_STOPPED; readable from any thread without a lock.
uint32_t EngineState();

uint32_t EngineInitialize();
uint32_t EngineStart();
uint32_t EngineStop();
uint32_t EngineFinalize();

}  // namespace orv

#endif  // ORV_ENGINE_LIFECYCLE_H_
