// The policy kit: every loaded filter, in the order the evaluation consults
// them (ascending order key; equal keys in insertion order).
#ifndef ORV_POLICY_FILTER_KIT_H_
#define ORV_POLICY_FILTER_KIT_H_

#include <orv/orv.h>

#include <cstdint>
#include <map>
#include <memory>

#include "policy/filter.h"

namespace orv {

class CFilterKit {
 public:
  CFilterKit() = default;
  virtual ~CFilterKit() = default;
  CFilterKit(const CFilterKit&) = delete;
  CFilterKit& operator=(const CFilterKit&) = delete;

  // Inserts behind every filter with an equal order key; the kit owns it. The
  // filter stays where it is while the caller goes on adding its values.
  CFilter& AddFilter(std::unique_ptr<CFilter> filter);

  // The policy verdict: the first answer that is not Next, walking in order;
  // Next when no filter decides. Takes no lock and allocates nothing; safe
  // from many threads while the kit is not being filled.
  PolicyAction Evaluate(const FileEventRecord& event) const;
  PolicyAction Evaluate(const EventPath& path) const;

  void Clear() { filters_.clear(); }
  size_t size() const { return filters_.size(); }
  bool empty() const { return filters_.empty(); }

 private:
  std::multimap<uint32_t, std::unique_ptr<CFilter>> filters_;
};

}  // namespace orv

#endif  // ORV_POLICY_FILTER_KIT_H_
