#include "protect_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <string_view>

#include "fd_io.h"
#include "platform/unique_fd.h"
#include "tool_error.h"

namespace orv::tool {
namespace {

std::string_view Trim(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::optional<uint64_t> ParseNumber(std::string_view text) {
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::optional<bool> ParseYesNo(std::string_view text) {
  for (const char* yes : {"yes", "true", "on", "1"}) {
    if (EqualsIgnoringCase(text, yes)) return true;
  }
  for (const char* no : {"no", "false", "off", "0"}) {
    if (EqualsIgnoringCase(text, no)) return false;
  }
  return std::nullopt;
}

// Refuses, as root, a file or directory another user could change.
void CheckOwnedByRoot(const std::filesystem::path& file, const struct stat& st) {
  if (::geteuid() != 0) return;
  std::string why;
  if (st.st_uid != 0) {
    why = "it belongs to uid " + std::to_string(st.st_uid);
  } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    why = "others may write it";
  }
  if (!why.empty()) {
    throw ToolError(file.string() + " may be changed by another user (" + why +
                    "); as root, orv reads a configuration only root can change");
  }
}

}  // namespace

std::optional<uint64_t> ParseSize(std::string_view text) {
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  const std::optional<uint64_t> number = ParseNumber(text.substr(0, digits));
  if (!number) return std::nullopt;
  std::string_view unit = text.substr(digits);
  unsigned shift = 0;
  if (!unit.empty()) {
    const std::string_view letters = "KMGT";
    const size_t found = letters.find(static_cast<char>(unit[0] >= 'a' ? unit[0] - 32 : unit[0]));
    if (found == std::string_view::npos) return std::nullopt;
    shift = 10 * static_cast<unsigned>(found + 1);
    unit.remove_prefix(1);
    if (!unit.empty() && !EqualsIgnoringCase(unit, "ib") && !EqualsIgnoringCase(unit, "b")) {
      return std::nullopt;
    }
  }
  if (shift != 0 && *number > (std::numeric_limits<uint64_t>::max() >> shift)) return std::nullopt;
  return *number << shift;
}

std::string FormatSize(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(units)) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  // One decimal below 10, unless the size is a whole number of its unit.
  const bool whole = bytes % (1ull << (10 * (unit + 1))) == 0;
  std::snprintf(text, sizeof(text), value < 10 && !whole ? "%.1f %s" : "%.0f %s", value,
                units[unit]);
  return text;
}

ProtectConfig ParseProtectConfig(std::string_view text, const std::string& source) {
  ProtectConfig config;
  std::vector<std::string> seen;
  size_t lineNumber = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++lineNumber;
    if (line.empty() || line[0] == '#') continue;
    const auto fail = [&](const std::string& why) {
      throw ToolError(source + ":" + std::to_string(lineNumber) + ": " + why);
    };
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) fail("expected \"name = value\"");
    const std::string name(Trim(line.substr(0, equals)));
    const std::string_view value = Trim(line.substr(equals + 1));
    if (value.empty()) fail(name + " has no value");
    if (name != "tree") {
      for (const std::string& earlier : seen) {
        if (earlier == name) fail(name + " is set twice");
      }
      seen.push_back(name);
    }
    const auto path = [&]() {
      const std::filesystem::path given{std::string(value)};
      if (!given.is_absolute()) fail(name + " must be an absolute path: " + std::string(value));
      return given;
    };
    const auto size = [&]() {
      const std::optional<uint64_t> parsed = ParseSize(value);
      if (!parsed || *parsed == 0) {
        fail(name + " is not a size (bytes, or a number with K, M, G or T): " + std::string(value));
      }
      return *parsed;
    };
    if (name == "tree") {
      config.trees.push_back(path());
    } else if (name == "store") {
      config.store = path();
    } else if (name == "quota") {
      config.quota = size();
    } else if (name == "max-copy-size") {
      config.maxCopySize = size();
    } else if (name == "max-copies-per-minute" || name == "max-rows-per-minute") {
      const std::optional<uint64_t> count = ParseNumber(value);
      if (!count) fail(name + " is not a number: " + std::string(value));
      (name == "max-rows-per-minute" ? config.maxRowsPerMinute : config.maxCopiesPerMinute) = count;
    } else if (name == "max-copy-bytes-per-minute") {
      config.maxCopyBytesPerMinute = size();
    } else if (name == "pre-content") {
      config.preContent = ParseYesNo(value);
      if (!config.preContent) fail("pre-content is yes or no, not " + std::string(value));
    } else if (name == "log-level") {
      const std::optional<uint64_t> level = ParseNumber(value);
      if (!level || *level > std::numeric_limits<uint32_t>::max()) {
        fail("log-level is not a number: " + std::string(value));
      }
      config.logLevel = static_cast<uint32_t>(*level);
    } else {
      fail("unknown setting " + name);
    }
  }
  return config;
}

ProtectConfig ReadProtectConfig(const std::filesystem::path& file) {
  const auto unreadable = [&](int error) {
    return ToolError("cannot read the configuration " + file.string() + ": " +
                     std::strerror(error));
  };
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) throw unreadable(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw unreadable(errno);
  if (!S_ISREG(st.st_mode)) throw ToolError(file.string() + " is not a regular file");
  CheckOwnedByRoot(file, st);
  struct stat parent {};
  const std::filesystem::path directory = std::filesystem::absolute(file).parent_path();
  if (::stat(directory.c_str(), &parent) == 0) CheckOwnedByRoot(directory, parent);
  constexpr off_t kLimit = 1 << 20;  // a configuration is a few lines
  if (st.st_size > kLimit) throw ToolError(file.string() + " is too large for a configuration");
  std::string text;
  if (!ReadUpTo(fd.get(), static_cast<size_t>(st.st_size), &text)) throw unreadable(errno);
  return ParseProtectConfig(text, file.string());
}

}  // namespace orv::tool
