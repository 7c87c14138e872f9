// Set-up shared by the benchmarks.
#ifndef ORV_BENCH_BENCH_SUPPORT_H_
#define ORV_BENCH_BENCH_SUPPORT_H_

#include <orv/orv.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "engine/configure_manager.h"
#include "engine/lifecycle.h"
#include "engine/timings.h"

namespace orv::bench {

inline std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// A new directory beside the build, on the file system a store would use.
inline std::filesystem::path MakeDirectory() {
  std::string pattern = (std::filesystem::current_path() / "orv-bench-XXXXXX").string();
  return ::mkdtemp(pattern.data());
}

// A started engine with the shipped example policy and a store of its own,
// whose engine threads never run during a measurement.
class StartedEngine {
 public:
  StartedEngine() : dir_(MakeDirectory()) { Start(); }
  ~StartedEngine() {
    EngineStop();
    EngineFinalize();
    std::filesystem::remove_all(dir_);
  }
  // Stops and finalizes the engine, calls meanwhile, and starts it again on
  // the same store, as a host's restart would. Returns what EngineStart
  // returned.
  template <typename Call>
  uint32_t Restart(Call meanwhile) {
    EngineStop();
    EngineFinalize();
    meanwhile();
    return Start();
  }
  const std::filesystem::path& dir() const { return dir_; }
  std::filesystem::path snapshots() const { return dir_ / "store" / "Backup"; }

 private:
  uint32_t Start() {
    EngineTimings timings;
    timings.writerPeriod = std::chrono::hours(1);
    timings.postCheckerSecond = std::chrono::hours(1);
    SetTimingsForTesting(timings);
    const std::u16string store = U16((dir_ / "store").string());
    const std::u16string policy = U16(ORV_SOURCE_DIR "/examples/policy");
    const char16_t* text = store.c_str();
    TheConfiguration().Change(CONFIG_BACKUP_STORE, &text);
    text = policy.c_str();
    TheConfiguration().Change(CONFIG_POLICY_DIRECTORY, &text);
    EngineInitialize();
    return EngineStart();
  }

  std::filesystem::path dir_;
};

}  // namespace orv::bench

#endif  // ORV_BENCH_BENCH_SUPPORT_H_
