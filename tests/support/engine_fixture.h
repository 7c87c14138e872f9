// A started engine on a fresh backup store, with its log in a directory of its
// own, for tests that go through the catalog.
#ifndef ORV_TESTS_SUPPORT_ENGINE_FIXTURE_H_
#define ORV_TESTS_SUPPORT_ENGINE_FIXTURE_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "engine/lifecycle.h"
#include "query/backup_files.h"
#include "support/engine_config.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace orv::testing {

class EngineFixture : public ::testing::Test {
 protected:
  void StartEngine(uint32_t logLevel = 0x10) {
    ASSERT_EQ(SetStringItem(CONFIG_BACKUP_STORE, store_.u16()), ENG_OK);
    ASSERT_EQ(SetStringItem(CONFIG_LOG_DIRECTORY, logs_.u16()), ENG_OK);
    ASSERT_EQ(SetNumberItem(CONFIG_LOG_LEVEL, logLevel), ENG_OK);
    ASSERT_EQ(EngineInitialize(), ENG_OK);
    ASSERT_EQ(EngineStart(), ENG_OK);
  }
  void StopEngine() {
    ASSERT_EQ(EngineStop(), ENG_OK);
    ASSERT_EQ(EngineFinalize(), ENG_OK);
  }
  void TearDown() override {
    if (EngineState() == STATE_STARTED) EngineStop();
    // What the engine said is the first clue to a failure on another system.
    if (HasFailure()) {
      for (const std::string& line : AllLogMessages(logs_ / "orv.log")) {
        std::cerr << "orv.log: " << line << "\n";
      }
    }
  }
  // Configures a policy (written into policyDir) that protects every file
  // under directory.
  void ProtectEverythingUnder(const std::filesystem::path& directory, const TempDir& policyDir) {
    WriteFileText(policyDir / "lpolicy.xml",
                  "<p><g><f name=\"Location\" hitaction=\"Backup\" missaction=\"Ignore\">"
                  "<v v=\"" +
                      (directory / "").string() + "\"/></f></g></p>");
    ASSERT_EQ(SetStringItem(CONFIG_POLICY_DIRECTORY, policyDir.u16()), ENG_OK);
  }

  // Adds a BackupFile row; its ID.
  int AddBackupFile(const std::u16string& name) {
    EXPECT_EQ(query::InsertBackupFile(name.c_str()), 1u);
    return static_cast<int>(query::FindBackupFileId(name.c_str()));
  }

  std::vector<std::string> LogLines() const { return LogMessages(logs_ / "orv.log"); }
  // Whether a line of the log holds text.
  bool LogHas(const std::string& text) const {
    const std::vector<std::string> lines = LogLines();
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find(text) != std::string::npos;
    });
  }
  std::filesystem::path catalogFile() const { return store_ / "BackupDB.s3db"; }

  TempDir store_;
  TempDir logs_;
};

}  // namespace orv::testing

#endif  // ORV_TESTS_SUPPORT_ENGINE_FIXTURE_H_
