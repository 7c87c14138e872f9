// The one rule of every export: no exception crosses into the host. The core
// raises only on resource exhaustion (memory, or a lock the system could not
// provide); an export then gives its documented answer for failure.
#ifndef ORV_ENGINE_EXPORT_GUARD_H_
#define ORV_ENGINE_EXPORT_GUARD_H_

namespace orv {

// call(), or onFailure when it throws.
template <typename Result, typename Call>
Result Guarded(Result onFailure, Call call) noexcept {
  try {
    return call();
  } catch (...) {
    return onFailure;
  }
}

}  // namespace orv

#endif  // ORV_ENGINE_EXPORT_GUARD_H_
