// Cost of WriteLog: a line below the threshold must cost next to nothing; a
// written line costs a size check, one write and one flush.
#include <benchmark/benchmark.h>
#include <orv/orv.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "engine/configure_manager.h"
#include "engine/lifecycle.h"
#include "engine/log.h"

namespace {

class EngineWithLog {
 public:
  explicit EngineWithLog(uint32_t level) {
    std::string pattern = (std::filesystem::temp_directory_path() / "orv-bench-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
    const std::u16string dir(dir_.begin(), dir_.end());
    const char16_t* text = dir.c_str();
    orv::TheConfiguration().Change(CONFIG_LOG_DIRECTORY, &text);
    orv::TheConfiguration().Change(CONFIG_LOG_LEVEL, &level);
    orv::EngineInitialize();
    orv::EngineStart();
  }
  ~EngineWithLog() {
    orv::EngineStop();
    orv::EngineFinalize();
    std::filesystem::remove_all(dir_);
  }

 private:
  std::string dir_;
};

void BM_WriteLogBelowThreshold(benchmark::State& state) {
  EngineWithLog engine(orv::kLogStoreFault);
  const std::u16string name(120, u'n');
  for (auto _ : state) {
    orv::WriteLog(orv::kLogTrace, u"DbmBindField, ID = %d, Type = STR, Value = %s", 3, name);
  }
}
BENCHMARK(BM_WriteLogBelowThreshold);

void BM_WriteLogWritten(benchmark::State& state) {
  EngineWithLog engine(0);
  const std::u16string name(120, u'n');
  for (auto _ : state) {
    orv::WriteLog(orv::kLogTrace, u"DbmBindField, ID = %d, Type = STR, Value = %s", 3, name);
  }
}
BENCHMARK(BM_WriteLogWritten);

}  // namespace
