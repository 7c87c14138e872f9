// Sizes on the command line as in the configuration file: "10G", "512MiB".
#ifndef ORV_TOOLS_ORV_SIZE_OPTION_H_
#define ORV_TOOLS_ORV_SIZE_OPTION_H_

#include <CLI/CLI.hpp>
#include <string>

#include "protect_config.h"

namespace orv::tool {

// A CLI11 transform that turns a size (ParseSize) into its bytes, so that
// an option bound to an integer takes "10G"; a zero or malformed size is a
// usage error.
inline CLI::Validator SizeOption() {
  return CLI::Validator(
      [](std::string& text) {
        const std::optional<uint64_t> bytes = ParseSize(text);
        if (!bytes || *bytes == 0) {
          return "not a size (bytes, or a number with K, M, G or T): " + text;
        }
        text = std::to_string(*bytes);
        return std::string();
      },
      "SIZE");
}

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_SIZE_OPTION_H_
