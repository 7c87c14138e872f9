// Maintenance tasks on large stores: the digest check against sha1sum, the
// retention cleanup's listing against find | sort.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "catalog/database_manager.h"
#include "maintenance/digest_check.h"
#include "maintenance/retention_cleanup.h"
#include "platform/env.h"

namespace {

using orv::bench::StartedEngine;

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// 1,000 copies of 1 MiB (1 GiB), each an undigested edition of its own file.
void BM_DigestCheckVersusSha1sum(benchmark::State& state) {
  constexpr int kCopies = 1000;
  StartedEngine engine;
  std::vector<char> block(1 << 20);
  sqlite3* db = orv::DbmConnect()->db();
  sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr);
  for (int i = 0; i < kCopies; ++i) {
    for (size_t b = 0; b < block.size(); b += 4096) block[b] = static_cast<char>(i + b);
    const std::string name = "copy" + std::to_string(i);
    std::ofstream(engine.snapshots() / name, std::ios::binary).write(block.data(), block.size());
    const std::string sql =
        "Insert Into BackupFile (ID, FileName) Values (" + std::to_string(i + 1) + ", '/f" +
        std::to_string(i) + "'); Insert Into Edition (FileID, " +
        "TimeStamp, BackupName) Values (" + std::to_string(i + 1) + ", 1, '" + name + "');";
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  }
  sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
  const std::string sha1sum = "sha1sum " + engine.snapshots().string() + "/copy* > /dev/null";

  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    if (std::system(sha1sum.c_str()) != 0) state.SkipWithError("sha1sum failed");
    const double baseline = Seconds(std::chrono::steady_clock::now() - start);
    start = std::chrono::steady_clock::now();
    orv::DigestCheckTask({});
    const double firstRun = Seconds(std::chrono::steady_clock::now() - start);
    start = std::chrono::steady_clock::now();
    orv::DigestCheckTask({});
    const double secondRun = Seconds(std::chrono::steady_clock::now() - start);
    state.counters["sha1sum_MiB_per_s"] = kCopies / baseline;
    state.counters["task_MiB_per_s"] = kCopies / firstRun;
    state.counters["task_over_sha1sum"] = baseline / firstRun;
    state.counters["task_s"] = firstRun;
    state.counters["second_run_s"] = secondRun;
  }
}
BENCHMARK(BM_DigestCheckVersusSha1sum)->Iterations(1)->Unit(benchmark::kMillisecond);

// Console lines are formatted as always, then dropped.
class DiscardOutputEnv : public orv::EnvWrapper {
 public:
  DiscardOutputEnv() : EnvWrapper(orv::Env::Default()) {}
  void WriteStandardOutput(std::string_view) override {}
};

// 100,000 copies of 16 bytes: within the quota, so nothing is deleted.
void BM_RetentionVersusFindSort(benchmark::State& state) {
  constexpr int kCopies = 100000;
  StartedEngine engine;
  for (int i = 0; i < kCopies; ++i) {
    std::ofstream(engine.snapshots() / ("copy" + std::to_string(i))) << "0123456789abcdef";
  }
  const std::string find = "find " + engine.snapshots().string() +
                           " -maxdepth 1 -type f -printf '%s %T@\\n' | sort -n > /dev/null";
  DiscardOutputEnv env;
  orv::SetEnvForTesting(&env);
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    if (std::system(find.c_str()) != 0) state.SkipWithError("find failed");
    const double baseline = Seconds(std::chrono::steady_clock::now() - start);
    start = std::chrono::steady_clock::now();
    orv::RetentionCleanupTask({});
    const double task = Seconds(std::chrono::steady_clock::now() - start);
    state.counters["find_sort_ms"] = baseline * 1000;
    state.counters["task_ms"] = task * 1000;
    state.counters["task_over_find_sort"] = task / baseline;
  }
  orv::SetEnvForTesting(nullptr);
}
BENCHMARK(BM_RetentionVersusFindSort)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
