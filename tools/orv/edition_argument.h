// An edition number given on the command line.
#ifndef ORV_TOOLS_ORV_EDITION_ARGUMENT_H_
#define ORV_TOOLS_ORV_EDITION_ARGUMENT_H_

#include <cstdint>
#include <optional>
#include <string>

namespace orv::tool {

// True for a non-empty run of decimal digits.
bool IsEditionNumber(const std::string& text);

// The edition a number names; nothing for a number past 32 bits, which would
// otherwise wrap to another edition's.
std::optional<uint32_t> ParseEditionNumber(const std::string& text);

// The edition a command-line argument names, read as a decimal number (a
// leading 0 is no octal). Throws ToolError for anything but decimal digits,
// and for a number past 32 bits, which names no edition.
uint32_t EditionArgument(const std::string& text);

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_EDITION_ARGUMENT_H_
