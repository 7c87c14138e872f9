#include "engine/lifecycle.h"

#include <orv/orv.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture/notify_event.h"
#include "engine/log.h"
#include "support/engine_config.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

using testing::LogMessages;
using testing::SetNumberItem;
using testing::SetStringItem;
using testing::TempDir;

// Brings the engine from a fresh load to the given state.
void DriveTo(uint32_t state) {
  ASSERT_EQ(EngineState(), STATE_UNINITIALIZED);
  if (state == STATE_UNINITIALIZED) return;
  ASSERT_EQ(EngineInitialize(), ENG_OK);
  if (state == STATE_INITIALIZED) return;
  ASSERT_EQ(EngineStart(), ENG_OK);
  if (state == STATE_STARTED) return;
  ASSERT_EQ(EngineStop(), ENG_OK);
}

struct Transition {
  const char* call;
  std::function<uint32_t()> run;
  // Resulting state from each of the four states; kWrong when refused.
  uint32_t next[4];
};

constexpr uint32_t kWrong = 0xFFFFFFFF;

TEST(LifecycleTest, StateTable) {
  FileEventRecord record{};
  const Transition transitions[] = {
      {"Initialize", EngineInitialize, {STATE_INITIALIZED, kWrong, kWrong, kWrong}},
      {"Start", EngineStart, {kWrong, STATE_STARTED, kWrong, kWrong}},
      {"Stop", EngineStop, {kWrong, kWrong, STATE_STOPPED, kWrong}},
      {"Finalize", EngineFinalize, {kWrong, STATE_UNINITIALIZED, kWrong, STATE_UNINITIALIZED}},
      {"NotifyEvent",
       [&] { return HandleNotifyEvent(&record); },
       {kWrong, kWrong, STATE_STARTED, kWrong}},
  };
  for (uint32_t from = STATE_UNINITIALIZED; from <= STATE_STOPPED; ++from) {
    for (const Transition& t : transitions) {
      // Walk back to a fresh state through the legal calls, then to `from`.
      while (EngineState() != STATE_UNINITIALIZED) {
        if (EngineState() == STATE_STARTED) EngineStop();
        if (EngineState() == STATE_INITIALIZED) EngineStart();
        if (EngineState() == STATE_STOPPED) EngineFinalize();
      }
      DriveTo(from);
      const uint32_t result = t.run();
      if (t.next[from] == kWrong) {
        EXPECT_EQ(result, ENG_E_WRONG_STATE) << t.call << " from " << from;
        EXPECT_EQ(EngineState(), from) << t.call << " from " << from;
      } else {
        EXPECT_EQ(result, ENG_OK) << t.call << " from " << from;
        EXPECT_EQ(EngineState(), t.next[from]) << t.call << " from " << from;
      }
    }
  }
}

TEST(LifecycleTest, RepeatedCyclesStartClean) {
  TempDir logs;
  ASSERT_EQ(SetStringItem(CONFIG_LOG_DIRECTORY, logs.u16()), ENG_OK);
  for (int cycle = 0; cycle < 3; ++cycle) {
    ASSERT_EQ(EngineInitialize(), ENG_OK);
    ASSERT_EQ(EngineFinalize(), ENG_OK);
    ASSERT_EQ(EngineInitialize(), ENG_OK);
    ASSERT_EQ(EngineStart(), ENG_OK);
    ASSERT_EQ(EngineStart(), ENG_E_WRONG_STATE);
    ASSERT_EQ(EngineStop(), ENG_OK);
    ASSERT_EQ(EngineFinalize(), ENG_OK);
  }
  // One stop note per cycle: nothing is doubled by a restart.
  std::vector<std::string> messages = LogMessages(logs / "orv.log");
  ASSERT_EQ(messages.size(), 3u);
  for (const std::string& m : messages) EXPECT_EQ(m, "[Backup Module] Stopped");
}

TEST(LifecycleTest, StartWithNothingConfiguredStillStartsAndStops) {
  ASSERT_EQ(EngineInitialize(), ENG_OK);
  ASSERT_EQ(EngineStart(), ENG_OK);
  EXPECT_EQ(EngineState(), STATE_STARTED);
  ASSERT_EQ(EngineStop(), ENG_OK);
  EXPECT_EQ(EngineState(), STATE_STOPPED);
}

TEST(LifecycleTest, StopWritesItsNoteAtLifecycleLevel) {
  for (const auto& [level, written] : {std::pair{16u, true}, std::pair{17u, false}}) {
    TempDir logs;
    ASSERT_EQ(SetStringItem(CONFIG_LOG_DIRECTORY, logs.u16()), ENG_OK);
    ASSERT_EQ(SetNumberItem(CONFIG_LOG_LEVEL, level), ENG_OK);
    ASSERT_EQ(EngineInitialize(), ENG_OK);
    ASSERT_EQ(EngineStart(), ENG_OK);
    ASSERT_EQ(EngineStop(), ENG_OK);
    ASSERT_EQ(EngineFinalize(), ENG_OK);
    const std::string text = testing::ReadFileText(logs / "orv.log");
    EXPECT_EQ(text.find("\t[Backup Module] Stopped\n\n") != std::string::npos, written) << level;
  }
}

}  // namespace
}  // namespace orv
