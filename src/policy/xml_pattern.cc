#include "policy/xml_pattern.h"

#include <tinyxml2.h>

#include "engine/result_codes.h"
#include "platform/env.h"
#include "platform/text.h"
#include "policy/ascii_keyword.h"
#include "policy/filter_factory.h"

namespace orv {
namespace {

PolicyAction ParseAction(std::string_view text) {
  if (IsKeyword(text, "Ignore")) return PolicyAction::Ignore;
  if (IsKeyword(text, "Backup")) return PolicyAction::Backup;
  if (IsKeyword(text, "Next")) return PolicyAction::Next;
  return PolicyAction::None;
}

FilterType ParseType(std::string_view text) {
  if (IsKeyword(text, "Object")) return FilterType::Object;
  if (IsKeyword(text, "Subject")) return FilterType::Subject;
  return FilterType::None;
}

// Reads one filter element: a filter in the kit with its values, or nothing.
void LoadFilterElement(const tinyxml2::XMLElement& element, const CFilterFactory& factory,
                       CFilterKit& kit) {
  std::unique_ptr<CFilter> filter;
  FilterType type = FilterType::None;
  PolicyAction hit = PolicyAction::None;
  PolicyAction miss = PolicyAction::None;
  for (const tinyxml2::XMLAttribute* attribute = element.FirstAttribute(); attribute != nullptr;
       attribute = attribute->Next()) {
    const std::string_view name = attribute->Name();
    const std::string_view value = attribute->Value();
    if (IsKeyword(name, "name")) {
      filter = factory.CreateFilter(value);
    } else if (IsKeyword(name, "type")) {
      type = ParseType(value);
    } else if (IsKeyword(name, "hitaction")) {
      hit = ParseAction(value);
    } else if (IsKeyword(name, "missaction")) {
      miss = ParseAction(value);
    }
  }
  if (!filter) return;
  filter->SetActions(type, hit, miss);
  CFilter& added = kit.AddFilter(std::move(filter));

  std::u16string text;
  for (const tinyxml2::XMLElement* valueElement = element.FirstChildElement();
       valueElement != nullptr; valueElement = valueElement->NextSiblingElement()) {
    const tinyxml2::XMLAttribute* first = valueElement->FirstAttribute();
    if (first == nullptr) continue;
    // A value that is not valid UTF-8 cannot be converted and is skipped.
    if (!Utf8ToUtf16(first->Value(), &text)) continue;
    added.AddValue(text);
  }
}

}  // namespace

uint32_t CXMLPattern::Load(const std::u16string& path, CFilterKit& kit) {
  const std::optional<std::string> document =
      CurrentEnv()->ReadSmallFile(path, kMaxPolicyDocumentBytes);
  if (!document) return ENG_E_NO_POLICY;
  return LoadText(*document, kit);
}

uint32_t CXMLPattern::LoadText(std::string_view document, CFilterKit& kit) {
  tinyxml2::XMLDocument xml;
  if (xml.Parse(document.data(), document.size()) != tinyxml2::XML_SUCCESS) {
    return ENG_E_NO_POLICY;
  }
  const tinyxml2::XMLElement* root = xml.FirstChildElement();
  if (root == nullptr) return ENG_E_NO_POLICY;

  const CFilterFactory factory;
  for (const tinyxml2::XMLElement* group = root->FirstChildElement(); group != nullptr;
       group = group->NextSiblingElement()) {
    for (const tinyxml2::XMLElement* element = group->FirstChildElement(); element != nullptr;
         element = element->NextSiblingElement()) {
      LoadFilterElement(*element, factory, kit);
    }
  }
  return ENG_OK;
}

}  // namespace orv
