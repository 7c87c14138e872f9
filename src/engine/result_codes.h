// Result codes used inside the engine only; the exported ones are in orv.h.
#ifndef ORV_ENGINE_RESULT_CODES_H_
#define ORV_ENGINE_RESULT_CODES_H_

#include <cstdint>

namespace orv {

// No policy document could be read, or none yielded a filter. Never returned
// by an export.
inline constexpr uint32_t ENG_E_NO_POLICY = 0x80010100;

}  // namespace orv

#endif  // ORV_ENGINE_RESULT_CODES_H_
