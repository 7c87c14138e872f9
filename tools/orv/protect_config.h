// The settings of `orv protect` read from a file: what the service
// (orv-protect.service, /etc/orv/protect.conf) protects, where, and how much
// the copies may take.
#ifndef ORV_TOOLS_ORV_PROTECT_CONFIG_H_
#define ORV_TOOLS_ORV_PROTECT_CONFIG_H_

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv::tool {

// What a file says; a setting it leaves out is empty (the command's default).
struct ProtectConfig {
  std::vector<std::filesystem::path> trees;  // "tree", one line each
  std::optional<std::filesystem::path> store;
  std::optional<uint64_t> quota;
  std::optional<uint64_t> maxCopySize;
  std::optional<uint64_t> maxCopiesPerMinute;
  std::optional<uint64_t> maxCopyBytesPerMinute;
  std::optional<uint64_t> maxRowsPerMinute;
  std::optional<bool> preContent;
  std::optional<uint32_t> logLevel;
};

// A size: decimal digits, optionally followed by K, M, G or T (powers of
// 1024), itself optionally followed by "iB" or "B", case ignored ("10G",
// "512MiB", "4096"). Nothing when the text is anything else or the value
// does not fit 64 bits.
std::optional<uint64_t> ParseSize(std::string_view text);
// A size as a person reads it: "512 bytes", "1.5 MiB", "1 GiB", "20 GiB"
// (powers of 1024, one decimal below 10 unless the size is whole).
std::string FormatSize(uint64_t bytes);

// Parses a configuration's text: lines "name = value" (spaces around both
// trimmed, the value is the rest of the line, so paths keep their inner
// spaces), blank lines and lines starting with '#'. Throws ToolError
// "<source>:<line>: ..." on an unknown name, a bad value, a setting given
// twice (tree excepted), or a relative tree or store path.
ProtectConfig ParseProtectConfig(std::string_view text, const std::string& source);

// Reads and parses file. As root, refuses (ToolError) a file another user
// could change (not root's, or writable by group or others, or in such a
// directory): it decides what a root daemon reads and where it writes.
// Throws ToolError, naming the file, when it cannot be read.
ProtectConfig ReadProtectConfig(const std::filesystem::path& file);

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_PROTECT_CONFIG_H_
