// orv replay: a recorded trace of file events fed to the engine, as a host
// would report them.
//
// One JSON object a line:
//   {"op": "open", "path": "/home/ann/a.txt", "access": ["write"], "time":
//   "2026-12-07T10:00:00.250"}
//   {"op": "close", "path": "/home/ann/a.txt", "changed": true}
//   {"op": "rename", "path": "/home/ann/a.txt", "target": "/home/ann/b.txt"}
// op: open, commit, close, rename, delete (or the numeric code); access: a
// number or names among read, write, append, delete, synchronize (default for
// an open: write); options: a number or ["delete-on-close"]; time: local time
// of the event (default: now). Blank lines and lines starting with "#" are
// skipped.
#include <orv/orv.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "catalog_time.h"
#include "command.h"
#include "engine_host.h"
#include "option_checks.h"
#include "platform/text.h"
#include "safe_path.h"
#include "tool_error.h"

namespace orv::tool {
namespace {

struct TraceEvent {
  uint32_t operation = 0;
  std::u16string path, target;
  uint32_t access = 0, options = 0;
  bool changed = false;
  FileEventTime time{};
};

uint32_t Operation(const nlohmann::json& op) {
  if (op.is_number_unsigned()) return op.get<uint32_t>();
  const std::string name = op.get<std::string>();
  if (name == "open") return FILE_OP_OPEN;
  if (name == "commit") return FILE_OP_COMMIT;
  if (name == "close") return FILE_OP_CLOSE;
  if (name == "rename") return FILE_OP_RENAME;
  if (name == "delete") return FILE_OP_DELETE;
  throw std::invalid_argument("unknown op '" + name + "'");
}

uint32_t Flags(const nlohmann::json& value,
               std::initializer_list<std::pair<const char*, uint32_t>> names) {
  if (value.is_number_unsigned()) return value.get<uint32_t>();
  uint32_t flags = 0;
  for (const auto& item : value) {
    const std::string name = item.get<std::string>();
    bool known = false;
    for (const auto& [candidate, bit] : names) {
      if (name == candidate) {
        flags |= bit;
        known = true;
      }
    }
    if (!known) throw std::invalid_argument("unknown flag '" + name + "'");
  }
  return flags;
}

FileEventTime EventTime(const nlohmann::json* value) {
  std::tm t{};
  int milliseconds = 0;
  if (value == nullptr) {
    const auto now = std::chrono::system_clock::now();
    const time_t seconds = std::chrono::system_clock::to_time_t(now);
    ::localtime_r(&seconds, &t);
    milliseconds = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
  } else {
    const std::string text = value->get<std::string>();
    const std::optional<WallClock> clock = ParseWallClock(text);
    if (!clock) throw std::invalid_argument("time '" + text + "' is not YYYY-MM-DDThh:mm:ss[.mmm]");
    t = clock->tm;
    milliseconds = clock->milliseconds;
    t.tm_isdst = -1;
    ::mktime(&t);  // fills the day of the week
  }
  return {static_cast<uint16_t>(t.tm_year + 1900), static_cast<uint16_t>(t.tm_mon + 1),
          static_cast<uint16_t>(t.tm_wday),        static_cast<uint16_t>(t.tm_mday),
          static_cast<uint16_t>(t.tm_hour),        static_cast<uint16_t>(t.tm_min),
          static_cast<uint16_t>(t.tm_sec),         static_cast<uint16_t>(milliseconds)};
}

TraceEvent ParseEvent(const std::string& line) {
  const nlohmann::json json = nlohmann::json::parse(line);
  if (!json.is_object()) throw std::invalid_argument("not a JSON object");
  TraceEvent event;
  event.operation = Operation(json.at("op"));
  event.path = FileNameToUtf16(json.at("path").get<std::string>());
  if (event.path.empty()) throw std::invalid_argument("empty path");
  if (json.contains("target")) event.target = FileNameToUtf16(json["target"].get<std::string>());
  if (event.operation == FILE_OP_RENAME && event.target.empty()) {
    throw std::invalid_argument("a rename needs a target");
  }
  event.access = json.contains("access")
                     ? Flags(json["access"], {{"read", 0x80000000u},
                                              {"write", ORV_GENERIC_WRITE},
                                              {"append", ORV_FILE_APPEND_DATA},
                                              {"delete", ORV_DELETE},
                                              {"synchronize", ORV_SYNCHRONIZE}})
                     : (event.operation == FILE_OP_OPEN ? ORV_GENERIC_WRITE : 0);
  if (json.contains("options")) {
    event.options = Flags(json["options"], {{"delete-on-close", ORV_FILE_DELETE_ON_CLOSE}});
  }
  event.changed = json.value("changed", false);
  event.time = EventTime(json.contains("time") ? &json["time"] : nullptr);
  return event;
}

// The bytes of the trace at path. Only a regular file is opened, and never
// in a way that blocks: a FIFO or a device given as a trace is refused
// without being opened.
std::string TraceText(const std::string& path) {
  const UniqueFd in = OpenRegularFile(std::filesystem::absolute(path));
  std::string text;
  char buffer[1 << 16];
  while (true) {
    const ssize_t n = ::read(in.get(), buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw ToolError("cannot read the trace " + path + ": " + std::strerror(errno));
    if (n == 0) return text;
    text.append(buffer, static_cast<size_t>(n));
  }
}

// The whole trace, checked before anything is replayed: a bad line changes nothing.
std::vector<TraceEvent> ReadTrace(const std::string& path) {
  std::istringstream in(TraceText(path));
  std::vector<TraceEvent> events;
  std::string line;
  for (size_t number = 1; std::getline(in, line); ++number) {
    if (line.find_first_not_of(" \t\r") == std::string::npos || line[0] == '#') continue;
    try {
      events.push_back(ParseEvent(line));
    } catch (const std::exception& error) {
      throw ToolError(path + ": line " + std::to_string(number) + ": " + error.what());
    }
  }
  return events;
}

void RunReplay(const GlobalOptions& options, const std::string& trace, Output& out) {
  const std::vector<TraceEvent> events = ReadTrace(trace);
  const auto start = std::chrono::steady_clock::now();
  {
    EngineHost host(options, EngineHost::Mode::kCapture);
    for (const TraceEvent& event : events) {
      FileEventRecord record{};
      record.RecordType = RECORD_TYPE_FILE;
      record.EventTime = event.time;
      record.FilePath = event.path.c_str();
      record.TargetPath = event.target.c_str();
      record.DesiredAccess = event.access;
      record.CreateOptions = event.options;
      record.FileOperation = event.operation;
      record.CloseFlags = event.changed ? ORV_CLOSE_FLAG_CHANGED : 0;
      if (NotifyEvent(&record) != ENG_OK) throw ToolError("the engine refused an event");
    }
  }  // Stop writes every confirmed edition
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (out.json) {
    *out.document = {{"events", events.size()}, {"seconds", seconds}};
  } else {
    std::cout << "replayed " << events.size() << " events in " << seconds << " s\n";
  }
}

DefinedCommand Define(CLI::App& app) {
  auto trace = std::make_shared<std::string>();
  CLI::App* command =
      app.add_subcommand("replay", "feed a trace of file events (JSON lines) to the engine");
  command->add_option("TRACE", *trace)->required()->check(ExistingFileOption());
  return {command, [trace](const GlobalOptions& options, Output& out) {
            RunReplay(options, *trace, out);
            return 0;
          }};
}

const CommandRegistration kReplay(60, Define);

}  // namespace
}  // namespace orv::tool
