#include "policy/filter_factory.h"

#include "policy/ascii_keyword.h"

namespace orv {

std::unique_ptr<CFilter> CFilterFactory::CreateFilter(std::string_view name) const {
  if (IsKeyword(name, "Extension")) return std::make_unique<CExtensionFilter>();
  if (IsKeyword(name, "FileName")) return std::make_unique<CFileNameFilter>();
  if (IsKeyword(name, "BaseName")) return std::make_unique<CFileBaseNameFilter>();
  if (IsKeyword(name, "Location")) return std::make_unique<CPathFilter>();
  return nullptr;
}

}  // namespace orv
