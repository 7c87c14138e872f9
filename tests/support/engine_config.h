// Configuration shortcuts for core tests.
#ifndef ORV_TESTS_SUPPORT_ENGINE_CONFIG_H_
#define ORV_TESTS_SUPPORT_ENGINE_CONFIG_H_

#include <orv/orv.h>

#include <string>

#include "engine/configure_manager.h"

namespace orv::testing {

inline uint32_t SetStringItem(uint32_t item, const std::u16string& value) {
  ConfigStringBuffer request{const_cast<char16_t*>(value.c_str()), nullptr};
  return TheConfiguration().Change(item, &request);
}

inline uint32_t SetNumberItem(uint32_t item, uint32_t value) {
  return TheConfiguration().Change(item, &value);
}

}  // namespace orv::testing

#endif  // ORV_TESTS_SUPPORT_ENGINE_CONFIG_H_
