// Options every command shares.
#ifndef ORV_TOOLS_ORV_OPTIONS_H_
#define ORV_TOOLS_ORV_OPTIONS_H_

#include <cstdint>
#include <filesystem>
#include <optional>

namespace orv::tool {

// The tool's quota: far above the engine's own small default.
inline constexpr uint64_t kToolRetentionQuota = 1ull << 30;

struct GlobalOptions {
  std::filesystem::path store;   // empty: the default store
  std::filesystem::path policy;  // empty: <store>/policy
  std::optional<uint32_t> logLevel;
  bool json = false;
  uint64_t quota = kToolRetentionQuota;
};

// Root's store, and the service's configuration, which may name another.
inline constexpr const char* kRootStore = "/var/lib/orv";
inline constexpr const char* kServiceConfig = "/etc/orv/protect.conf";

// $XDG_DATA_HOME/orv (~/.local/share/orv) for a user, /var/lib/orv for root.
std::filesystem::path DefaultStore();

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_OPTIONS_H_
