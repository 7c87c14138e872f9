#include "edition_argument.h"

#include "tool_error.h"

namespace orv::tool {

bool IsEditionNumber(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

std::optional<uint32_t> ParseEditionNumber(const std::string& text) {
  if (!IsEditionNumber(text)) return std::nullopt;
  uint64_t number = 0;
  for (const char digit : text) {
    number = number * 10 + static_cast<uint64_t>(digit - '0');
    if (number > 0xFFFFFFFFull) return std::nullopt;
  }
  return static_cast<uint32_t>(number);
}

uint32_t EditionArgument(const std::string& text) {
  if (!IsEditionNumber(text)) {
    throw ToolError("'" + text + "' is not an edition number (decimal digits)");
  }
  const std::optional<uint32_t> number = ParseEditionNumber(text);
  if (!number) throw ToolError("no edition " + text + " in the store");
  return *number;
}

}  // namespace orv::tool
