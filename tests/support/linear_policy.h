// The policy walk done the plain way: every filter keeps its values in a list
// and compares them one by one. The reference the indexed filters are checked
// against, and the baseline of the policy benchmark.
#ifndef ORV_TESTS_SUPPORT_LINEAR_POLICY_H_
#define ORV_TESTS_SUPPORT_LINEAR_POLICY_H_

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/path.h"
#include "platform/text.h"

namespace orv::testing {

enum class LinearKind { kExtension, kFileName, kBaseName, kLocation };

struct LinearFilter {
  LinearKind kind;
  uint32_t type;  // 0 None, 1 Object, 2 Subject
  uint32_t hit;   // PolicyAction values
  uint32_t miss;
  std::vector<std::u16string> values;  // already expanded

  uint32_t KindNumber() const {
    switch (kind) {
      case LinearKind::kExtension:
        return 1;
      case LinearKind::kBaseName:
        return 4;
      default:
        return 3;
    }
  }
  uint32_t OrderKey() const { return 100 * KindNumber() + 10 * type + hit; }

  uint32_t Match(const char16_t* path) const {
    if (path == nullptr) return miss;
    const std::u16string_view text(path);
    std::u16string_view part = text;
    if (kind == LinearKind::kExtension || kind == LinearKind::kBaseName) {
      const size_t at = text.rfind(kind == LinearKind::kExtension ? u'.' : kPathSeparator);
      if (at == std::u16string_view::npos) return miss;
      part = text.substr(at + 1);
    }
    for (const std::u16string& value : values) {
      const bool equal = kind == LinearKind::kLocation ? part.substr(0, value.size()) == value
                                                       : AsciiEqualIgnoreCase(part, value);
      if (equal) return hit;
    }
    return miss;
  }
};

class LinearPolicy {
 public:
  void Add(LinearFilter filter) {
    filters_.push_back(std::move(filter));
    std::stable_sort(
        filters_.begin(), filters_.end(),
        [](const LinearFilter& a, const LinearFilter& b) { return a.OrderKey() < b.OrderKey(); });
  }

  uint32_t Evaluate(const char16_t* path) const {
    for (const LinearFilter& filter : filters_) {
      const uint32_t verdict = filter.Match(path);
      if (verdict != 3) return verdict;
    }
    return 3;
  }

 private:
  std::vector<LinearFilter> filters_;
};

}  // namespace orv::testing

#endif  // ORV_TESTS_SUPPORT_LINEAR_POLICY_H_
