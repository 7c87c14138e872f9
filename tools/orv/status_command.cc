// orv status: the store, what it holds, the room it has, and the daemon that
// writes it.
#include <sys/statvfs.h>

#include <CLI/CLI.hpp>
#include <ctime>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>

#include "catalog_time.h"
#include "command.h"
#include "daemon_record.h"
#include "platform/display_text.h"
#include "protect_config.h"
#include "store_reader.h"

namespace orv::tool {
namespace {

// Copies past this share of the quota are near the point where retention
// starts removing the oldest editions.
constexpr double kQuotaWarningShare = 0.9;

// The time stamp of the newest edition; nothing when there is none.
std::optional<int32_t> LastEditionTime() {
  FileEditionInfo info;
  void* handle = FindFirstFileEditionEx(nullptr, 1, nullptr, nullptr, &info);
  if (handle == nullptr) return std::nullopt;
  FindFileEditionClose(handle);
  return info.TimeStamp;
}

std::string LocalTime(int64_t seconds) {
  const time_t time = static_cast<time_t>(seconds);
  struct tm local {};
  if (::localtime_r(&time, &local) == nullptr) return std::to_string(seconds);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &local);
  return text;
}

struct Room {
  uint64_t quota = 0;
  const char* quotaSource = "";  // "daemon", "option" or "default"
  uint64_t used = 0;             // the copies' bytes
  std::optional<uint64_t> free;  // the file system's, for this user
  std::optional<uint64_t> size;
  std::vector<std::string> warnings;
};

Room RoomOf(const GlobalOptions& options, const std::optional<DaemonState>& daemon,
            const std::filesystem::path& store, const OrvStoreInfo& info) {
  Room room;
  if (daemon && daemon->running) {
    room.quota = daemon->record.quota;
    room.quotaSource = "daemon";
  } else {
    room.quota = options.quota;
    room.quotaSource = options.quota == kToolRetentionQuota ? "default" : "option";
  }
  room.used = info.CopyBytes;
  struct statvfs fs {};
  if (::statvfs(store.c_str(), &fs) == 0) {
    room.free = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    room.size = static_cast<uint64_t>(fs.f_blocks) * fs.f_frsize;
  }
  const std::string raise =
      daemon ? std::string(" (quota in ") + kServiceConfig + ", or orv protect --quota)"
             : std::string(" (--quota)");
  if (static_cast<double>(room.used) >= kQuotaWarningShare * static_cast<double>(room.quota)) {
    room.warnings.push_back(
        "the copies take " + std::to_string(room.used * 100 / std::max<uint64_t>(room.quota, 1)) +
        "% of the quota: past it the oldest editions are removed; raise it if they matter" + raise);
  }
  if (room.free && room.quota > room.used + *room.free) {
    room.warnings.push_back("the quota (" + FormatSize(room.quota) +
                            ") is more than the copies can take on this file system (" +
                            FormatSize(room.used) + " taken, " + FormatSize(*room.free) +
                            " free): it fills up before any edition is removed; lower it" + raise +
                            " or free space");
  }
  return room;
}

nlohmann::json DaemonDocument(const std::optional<DaemonState>& daemon) {
  if (!daemon) return {{"running", false}};
  nlohmann::json trees = nlohmann::json::array();
  for (const auto& tree : daemon->record.trees) trees.push_back(tree.string());
  return {{"running", daemon->running},
          {"pid", daemon->record.pid},
          {"started", LocalTime(daemon->record.started)},
          {"startedTime", daemon->record.started},
          {"trees", trees},
          {"quota", daemon->record.quota}};
}

std::string DaemonLine(const std::optional<DaemonState>& daemon) {
  if (!daemon) return "not running";
  std::string trees;
  for (const auto& tree : daemon->record.trees) {
    trees += (trees.empty() ? "" : ", ") + tree.string();
  }
  if (!daemon->running) {
    return "not running (the last one, pid " + std::to_string(daemon->record.pid) + ", started " +
           LocalTime(daemon->record.started) +
           ", did not stop cleanly; its next start records what it missed)";
  }
  return "running since " + LocalTime(daemon->record.started) + " (pid " +
         std::to_string(daemon->record.pid) + "), protecting " + trees;
}

void RunStatus(const GlobalOptions& options, Output& out) {
  StoreReader reader(options);
  const OrvStoreInfo info = StoreInfo();
  const bool snapshotsMissing = (info.Flags & ORV_STORE_NO_SNAPSHOTS) != 0;
  const std::optional<int32_t> lastEdition = LastEditionTime();
  const std::optional<DaemonState> daemon = ReadDaemonRecord(reader.store());
  const Room room = RoomOf(options, daemon, reader.store(), info);
  if (out.json) {
    *out.document = {{"store", reader.store().string()},
                     {"catalogBytes", info.CatalogBytes},
                     {"copies", info.Copies},
                     {"copyBytes", info.CopyBytes},
                     {"quota", room.quota},
                     {"quotaSource", room.quotaSource},
                     {"files", info.Files},
                     {"editions", info.Editions},
                     {"undigested", info.Undigested},
                     {"unverified", info.Unverified},
                     {"daemon", DaemonDocument(daemon)},
                     {"warnings", room.warnings}};
    (*out.document)["freeBytes"] = room.free ? nlohmann::json(*room.free) : nlohmann::json();
    (*out.document)["fileSystemBytes"] = room.size ? nlohmann::json(*room.size) : nlohmann::json();
    (*out.document)["lastEdition"] =
        lastEdition ? nlohmann::json(FormatCatalogTime(*lastEdition)) : nlohmann::json();
    (*out.document)["lastEditionTimeStamp"] =
        lastEdition ? nlohmann::json(*lastEdition) : nlohmann::json();
    if (snapshotsMissing) (*out.document)["snapshotDirectoryMissing"] = true;
    return;
  }
  const char* source = std::string_view(room.quotaSource) == "daemon"   ? "the daemon's"
                       : std::string_view(room.quotaSource) == "option" ? "--quota"
                                                                        : "the default";
  std::cout << "store       " << DisplayText(reader.store().string()) << "\n"
            << "daemon      " << DisplayText(DaemonLine(daemon)) << "\n"
            << "quota       " << FormatSize(room.quota) << " (" << source << ")\n"
            << "catalog     " << info.CatalogBytes << " bytes\n"
            << "copies      " << info.Copies << " (" << FormatSize(info.CopyBytes) << ", "
            << info.CopyBytes * 100 / std::max<uint64_t>(room.quota, 1) << "% of the quota)"
            << (snapshotsMissing ? "; the copies' directory is missing" : "") << "\n";
  if (room.free && room.size) {
    std::cout << "space       " << FormatSize(*room.free) << " free of " << FormatSize(*room.size)
              << " on the store's file system\n";
  }
  std::cout << "files       " << info.Files << "\n"
            << "editions    " << info.Editions << " (" << info.Undigested << " undigested, "
            << info.Unverified << " unverified)\n"
            << "last edition " << (lastEdition ? FormatCatalogTime(*lastEdition) : "none") << "\n";
  for (const std::string& warning : room.warnings) {
    std::cerr << "orv: warning: " << DisplayText(warning) << "\n";
  }
}

DefinedCommand Define(CLI::App& app) {
  CLI::App* command =
      app.add_subcommand("status", "the store, its room, and whether orv protect writes it");
  return {command, [](const GlobalOptions& options, Output& out) {
            RunStatus(options, out);
            return 0;
          }};
}

const CommandRegistration kStatus(80, Define);

}  // namespace
}  // namespace orv::tool
