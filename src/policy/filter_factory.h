// Makes the empty filter that a policy document's "name" attribute asks for.
#ifndef ORV_POLICY_FILTER_FACTORY_H_
#define ORV_POLICY_FILTER_FACTORY_H_

#include <memory>
#include <string_view>

#include "policy/filter.h"

namespace orv {

class CFilterFactory {
 public:
  virtual ~CFilterFactory() = default;

  // "Extension", "FileName", "BaseName" or "Location", ASCII case ignored;
  // null for anything else ("MaxFileSize" included: no filter compares sizes).
  // name is the attribute's UTF-8 text.
  std::unique_ptr<CFilter> CreateFilter(std::string_view name) const;
};

}  // namespace orv

#endif  // ORV_POLICY_FILTER_FACTORY_H_
