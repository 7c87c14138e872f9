// A host's view: the library loaded with dlopen, driven only through exports.
#include <orv/orv.h>

#include <gtest/gtest.h>

#include "host/loaded_library.h"
#include "support/files.h"
#include "support/temp_dir.h"

extern "C" uint32_t OrvCHeaderRecordSizes(uint32_t which);

namespace orv::testing {
namespace {

TEST(HostTest, CViewOfTheRecordsMatchesTheCxxView) {
  EXPECT_EQ(OrvCHeaderRecordSizes(0), sizeof(FileEventRecord));
  EXPECT_EQ(OrvCHeaderRecordSizes(1), sizeof(BackupFileInfo));
  EXPECT_EQ(OrvCHeaderRecordSizes(2), sizeof(FileEditionInfo));
  EXPECT_EQ(OrvCHeaderRecordSizes(3), offsetof(FileEventRecord, TargetPath));
  EXPECT_EQ(OrvCHeaderRecordSizes(4), sizeof(ConfigStringBuffer));
}

TEST(HostTest, OnlyTheInterfaceIsVisible) {
  LoadedLibrary orv;
  for (const char* internal :
       {"_ZN3orv16EngineInitializeEv", "_ZN3orv6TheLogEv",
        "_ZN3orv17HandleNotifyEventEPK15FileEventRecord", "_ZN3orv16TheConfigurationEv"}) {
    EXPECT_EQ(orv.Symbol(internal), nullptr) << internal;
  }
}

TEST(HostTest, FullCycleThroughTheExports) {
  LoadedLibrary orv;
  TempDir logs;
  FileEventRecord record{};
  record.RecordType = RECORD_TYPE_FILE;
  record.FileOperation = FILE_OP_OPEN;
  record.FilePath = u"/nowhere/file.txt";

  EXPECT_EQ(orv.Start(), ENG_E_WRONG_STATE);
  EXPECT_EQ(orv.NotifyEvent(&record), ENG_E_WRONG_STATE);
  ASSERT_EQ(orv.Initialize(), ENG_OK);
  EXPECT_EQ(orv.Initialize(), ENG_E_WRONG_STATE);
  EXPECT_EQ(orv.Stop(), ENG_E_WRONG_STATE);
  ASSERT_EQ(orv.SetString(CONFIG_LOG_DIRECTORY, logs.u16()), ENG_OK);
  ASSERT_EQ(orv.Start(), ENG_OK);
  EXPECT_EQ(orv.Finalize(), ENG_E_WRONG_STATE);
  EXPECT_EQ(orv.NotifyEvent(nullptr), ENG_E_INVALID_ARGUMENT);
  EXPECT_EQ(orv.NotifyEvent(&record), ENG_OK);
  ASSERT_EQ(orv.Stop(), ENG_OK);
  EXPECT_EQ(orv.NotifyEvent(nullptr), ENG_E_WRONG_STATE);
  EXPECT_EQ(orv.Start(), ENG_E_WRONG_STATE) << "a stopped engine restarts only through Initialize";
  ASSERT_EQ(orv.Finalize(), ENG_OK);
  ASSERT_EQ(orv.Initialize(), ENG_OK);
  ASSERT_EQ(orv.Start(), ENG_OK);
  ASSERT_EQ(orv.Stop(), ENG_OK);
  ASSERT_EQ(orv.Finalize(), ENG_OK);

  EXPECT_EQ(LogMessages(logs / "orv.log"),
            (std::vector<std::string>{"[Backup Module] Stopped", "[Backup Module] Stopped"}));
}

TEST(HostTest, UnloadingAStartedEngineIsSafe) {
  TempDir logs;
  {
    LoadedLibrary orv;
    ASSERT_EQ(orv.SetString(CONFIG_LOG_DIRECTORY, logs.u16()), ENG_OK);
    ASSERT_EQ(orv.Initialize(), ENG_OK);
    ASSERT_EQ(orv.Start(), ENG_OK);
  }
  LoadedLibrary again;
#ifdef _WIN32
  // Windows keeps a started engine loaded until it is stopped (its threads run
  // its code, and none can end inside the system's unload): a fresh load finds
  // it running, stops it, and then starts clean.
  EXPECT_EQ(again.Initialize(), ENG_E_WRONG_STATE);
  EXPECT_EQ(again.Stop(), ENG_OK);
  EXPECT_EQ(again.Finalize(), ENG_OK);
  EXPECT_EQ(again.Initialize(), ENG_OK);
  EXPECT_EQ(again.Start(), ENG_OK);
  EXPECT_EQ(again.Stop(), ENG_OK);
  EXPECT_EQ(again.Finalize(), ENG_OK);
#else
  // A fresh load starts from the load-time state.
  uint64_t count = 0;
  char16_t buffer[1];
  ConfigStringBuffer query{buffer, &count};
  EXPECT_EQ(again.QueryConfigure(CONFIG_LOG_DIRECTORY, &query), ENG_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 1u) << "configuration does not survive an unload";
  EXPECT_EQ(again.Initialize(), ENG_OK);
#endif
}

// A host that ends while the engine runs (no Stop, no unload) ends cleanly:
// the test's process would crash or hang at its exit otherwise.
TEST(HostTest, AHostMayEndWithTheEngineStarted) {
  static TempDir logs;
  static LoadedLibrary orv;
  ASSERT_EQ(orv.SetString(CONFIG_LOG_DIRECTORY, logs.u16()), ENG_OK);
  ASSERT_EQ(orv.Initialize(), ENG_OK);
  ASSERT_EQ(orv.Start(), ENG_OK);
}

}  // namespace
}  // namespace orv::testing
