// Checks and conversions of option values, each failing with one line that
// says what was wrong with which text.
#ifndef ORV_TOOLS_ORV_OPTION_CHECKS_H_
#define ORV_TOOLS_ORV_OPTION_CHECKS_H_

#include <CLI/CLI.hpp>
#include <filesystem>
#include <string>
#include <system_error>

#include "protect_config.h"

namespace orv::tool {

// A CLI11 transform that turns a size (ParseSize) into its bytes, so that
// an option bound to an integer takes "10G"; a zero or malformed size is a
// usage error.
inline CLI::Validator SizeOption() {
  return CLI::Validator(
      [](std::string& text) {
        const std::optional<uint64_t> bytes = ParseSize(text);
        if (!bytes) return "not a size (bytes, or a number with K, M, G or T): " + text;
        if (*bytes == 0) return std::string("must be more than 0");
        text = std::to_string(*bytes);
        return std::string();
      },
      "");  // the option's type name says SIZE
}

// A CLI11 check that the text names an existing directory ("no such
// directory: X", "not a directory: X"), or, with directory false, a file to
// read ("no such file: X", "X is a directory").
inline CLI::Validator ExistingPathOption(bool directory) {
  return CLI::Validator(
      [directory](std::string& text) {
        std::error_code error;
        const std::filesystem::file_status status = std::filesystem::status(text, error);
        if (!std::filesystem::exists(status)) {
          return (directory ? "no such directory: " : "no such file: ") + text;
        }
        if (std::filesystem::is_directory(status) != directory) {
          return directory ? "not a directory: " + text : text + " is a directory";
        }
        return std::string();
      },
      directory ? "DIR" : "FILE");
}
inline CLI::Validator ExistingDirectoryOption() { return ExistingPathOption(true); }
inline CLI::Validator ExistingFileOption() { return ExistingPathOption(false); }

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_OPTION_CHECKS_H_
