// The answers of the backup policy.
#ifndef ORV_POLICY_POLICY_ACTION_H_
#define ORV_POLICY_POLICY_ACTION_H_

#include <cstdint>

namespace orv {

// A filter's hit or miss action, and the verdict of a whole evaluation. Every
// value but Next ends the walk over the filters; only Backup leads to a copy.
enum class PolicyAction : uint32_t {
  None = 0,  // an action that was absent or not recognised
  Ignore = 1,
  Backup = 2,
  Next = 3,
};

// Takes part only in the order in which filters are consulted.
enum class FilterType : uint32_t {
  None = 0,
  Object = 1,
  Subject = 2,
};

}  // namespace orv

#endif  // ORV_POLICY_POLICY_ACTION_H_
