#include "policy/filter_kit.h"

namespace orv {

CFilter& CFilterKit::AddFilter(std::unique_ptr<CFilter> filter) {
  CFilter& added = *filter;
  // A multimap inserts at the end of the range of equal keys.
  filters_.emplace(added.OrderKey(), std::move(filter));
  return added;
}

PolicyAction CFilterKit::Evaluate(const FileEventRecord& event) const {
  return Evaluate(EventPath::Of(event));
}

PolicyAction CFilterKit::Evaluate(const EventPath& path) const {
  for (const auto& [key, filter] : filters_) {
    const PolicyAction verdict = filter->Match(path);
    if (verdict != PolicyAction::Next) return verdict;
  }
  return PolicyAction::Next;
}

}  // namespace orv
