// Loading of policy documents into the policy kit.
//
// A document is a tree read by depth alone, element names being free:
//   level 1  the document element
//   level 2  group elements
//   level 3  filter elements: attributes name, type, hitaction, missaction
//   level 4  value elements: the first attribute's value is one value
// Nothing below level 4 is read.
#ifndef ORV_POLICY_XML_PATTERN_H_
#define ORV_POLICY_XML_PATTERN_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "policy/filter_kit.h"

namespace orv {

// Documents larger than this are not read.
inline constexpr uint64_t kMaxPolicyDocumentBytes = 16u << 20;

class CPattern {
 public:
  virtual ~CPattern() = default;
  // Adds the filters of the document at path to kit. ENG_OK when the document
  // was read (even if it yielded no filter), ENG_E_NO_POLICY when it was not.
  virtual uint32_t Load(const std::u16string& path, CFilterKit& kit) = 0;
};

class CXMLPattern final : public CPattern {
 public:
  uint32_t Load(const std::u16string& path, CFilterKit& kit) override;
  // The same from a document already in memory (UTF-8 XML).
  uint32_t LoadText(std::string_view document, CFilterKit& kit);
};

class CPatternFactory {
 public:
  virtual ~CPatternFactory() = default;
  std::unique_ptr<CPattern> CreatePattern() const { return std::make_unique<CXMLPattern>(); }
};

}  // namespace orv

#endif  // ORV_POLICY_XML_PATTERN_H_
